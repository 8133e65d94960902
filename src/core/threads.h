#pragma once

#include <QString>
#include <functional>

class QThread;

namespace parlotta {

// Runs work on a thread of its own, named (as `top -H` and debuggers show it);
// the thread ends with the work. Nothing waits for it.
void startThread(const QString &name, std::function<void()> work);

// A thread with an event loop, named, for objects moved onto it; it runs for
// the life of the process.
QThread *startWorkerThread(const QString &name);

} // namespace parlotta

#include "core/threads.h"

#include <QThread>

namespace parlotta {

void startThread(const QString &name, std::function<void()> work)
{
    QThread *thread = QThread::create(std::move(work));
    thread->setObjectName(name);
    // Deleted by the event loop of the thread that started it, once the work is done.
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}

QThread *startWorkerThread(const QString &name)
{
    auto *thread = new QThread;
    thread->setObjectName(name);
    thread->start();
    return thread;
}

} // namespace parlotta

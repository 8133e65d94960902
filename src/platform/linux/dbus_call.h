#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <functional>

class QObject;

namespace parlotta {

// Sends message on bus and returns at once; then, if any, gets the reply (an
// error one after timeoutMs without an answer) on context's thread. Nothing
// waits: every D-Bus question the daemon asks after start-up goes this way.
void callDBus(const QDBusConnection &bus, const QDBusMessage &message, int timeoutMs,
              QObject *context, std::function<void(const QDBusMessage &reply)> then);

} // namespace parlotta

#include "platform/linux/dbus_call.h"

#include <QDBusPendingCallWatcher>

namespace parlotta {

void callDBus(const QDBusConnection &bus, const QDBusMessage &message, int timeoutMs,
              QObject *context, std::function<void(const QDBusMessage &reply)> then)
{
    auto *watcher =
        new QDBusPendingCallWatcher(QDBusConnection(bus).asyncCall(message, timeoutMs), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [then = std::move(then)](QDBusPendingCallWatcher *answer) {
                         answer->deleteLater();
                         if (then)
                             then(answer->reply());
                     });
}

} // namespace parlotta

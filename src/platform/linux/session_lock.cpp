#include "platform/linux/session_lock.h"
#include "platform/linux/dbus_call.h"

#include <QCoreApplication>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QObject>
#include <unistd.h>

namespace parlotta {

namespace {

const QString login = QStringLiteral("org.freedesktop.login1");
const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString managerPath = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");

// logind's answer on the main thread; nothing waits for it.
void callLogind(const QDBusMessage &message, QObject *context,
                std::function<void(const QDBusMessage &)> then)
{
    callDBus(QDBusConnection::systemBus(), message, 2000, context, std::move(then));
}

class SessionLock final : public QObject {
    Q_OBJECT
  public:
    SessionLock(QString path, std::function<void(bool)> onChange)
        : path(std::move(path))
        , onChange(std::move(onChange))
    {
        QDBusConnection::systemBus().connect(login, this->path, properties,
                                             QStringLiteral("PropertiesChanged"), this,
                                             SLOT(changed(QString, QVariantMap, QStringList)));
        read();
    }

  private Q_SLOTS:
    void changed(const QString &interface, const QVariantMap &values, const QStringList &stale)
    {
        if (interface != sessionInterface)
            return;
        if (values.contains(QStringLiteral("LockedHint"))) {
            ++changes;
            onChange(values.value(QStringLiteral("LockedHint")).toBool());
        } else if (stale.contains(QStringLiteral("LockedHint"))) {
            read();
        }
    }

  private:
    void read()
    {
        QDBusMessage get =
            QDBusMessage::createMethodCall(login, path, properties, QStringLiteral("Get"));
        get.setArguments({sessionInterface, QStringLiteral("LockedHint")});
        // An answer that a newer change overtook is stale.
        callLogind(get, this, [this, asked = ++changes](const QDBusMessage &reply) {
            if (asked == changes && reply.type() == QDBusMessage::ReplyMessage &&
                !reply.arguments().isEmpty())
                onChange(qvariant_cast<QDBusVariant>(reply.arguments().first()).variant().toBool());
        });
    }

    const QString path;
    const std::function<void(bool)> onChange;
    quint64 changes = 0;
};

void follow(const QDBusMessage &reply, std::function<void(bool)> onChange)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return;
    new SessionLock(qvariant_cast<QDBusObjectPath>(reply.arguments().first()).path(),
                    std::move(onChange)); // for the life of the process
}

} // namespace

void followSessionLock(std::function<void(bool locked)> onChange)
{
    // The session this process runs in; changes are announced on its own
    // path, not on the "auto" alias.
    QDBusMessage find = QDBusMessage::createMethodCall(login, managerPath, managerInterface,
                                                       QStringLiteral("GetSessionByPID"));
    find.setArguments({uint(getpid())});
    callLogind(find, QCoreApplication::instance(),
               [onChange = std::move(onChange)](const QDBusMessage &reply) {
                   if (reply.type() == QDBusMessage::ReplyMessage ||
                       qEnvironmentVariableIsEmpty("XDG_SESSION_ID"))
                       return follow(reply, onChange);
                   QDBusMessage byId = QDBusMessage::createMethodCall(
                       login, managerPath, managerInterface, QStringLiteral("GetSession"));
                   byId.setArguments({qEnvironmentVariable("XDG_SESSION_ID")});
                   callLogind(byId, QCoreApplication::instance(),
                              [onChange](const QDBusMessage &again) { follow(again, onChange); });
               });
}

} // namespace parlotta

#include "session_lock.moc"

#include "platform/linux/session_lock.h"

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
        if (values.contains(QStringLiteral("LockedHint")))
            onChange(values.value(QStringLiteral("LockedHint")).toBool());
        else if (stale.contains(QStringLiteral("LockedHint")))
            read();
    }

  private:
    void read()
    {
        QDBusMessage get =
            QDBusMessage::createMethodCall(login, path, properties, QStringLiteral("Get"));
        get.setArguments({sessionInterface, QStringLiteral("LockedHint")});
        const QDBusMessage reply = QDBusConnection::systemBus().call(get, QDBus::Block, 2000);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            onChange(qvariant_cast<QDBusVariant>(reply.arguments().first()).variant().toBool());
    }

    const QString path;
    const std::function<void(bool)> onChange;
};

} // namespace

void followSessionLock(std::function<void(bool locked)> onChange)
{
    // The session this process runs in; changes are announced on its own
    // path, not on the "auto" alias.
    QDBusMessage find = QDBusMessage::createMethodCall(
        login, QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("GetSessionByPID"));
    find.setArguments({uint(getpid())});
    QDBusMessage reply = QDBusConnection::systemBus().call(find, QDBus::Block, 2000);
    if (reply.type() != QDBusMessage::ReplyMessage &&
        !qEnvironmentVariableIsEmpty("XDG_SESSION_ID")) {
        find = QDBusMessage::createMethodCall(login, QStringLiteral("/org/freedesktop/login1"),
                                              QStringLiteral("org.freedesktop.login1.Manager"),
                                              QStringLiteral("GetSession"));
        find.setArguments({qEnvironmentVariable("XDG_SESSION_ID")});
        reply = QDBusConnection::systemBus().call(find, QDBus::Block, 2000);
    }
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return;
    new SessionLock(qvariant_cast<QDBusObjectPath>(reply.arguments().first()).path(),
                    std::move(onChange)); // for the life of the process
}

} // namespace parlotta

#include "session_lock.moc"

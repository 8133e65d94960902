#include "platform/wayland/portal_session.h"

#include "core/log.h"
#include "core/preferences.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QRandomGenerator>

namespace parlotta {

namespace {

const QString remoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
// The approval the desktop remembers, so that the user gives it once.
const QString prefRestoreToken = QStringLiteral("remote-desktop-restore-token");
constexpr uint keyboardDevice = 1;
constexpr uint persistUntilRevoked = 2;

} // namespace

PortalSession::PortalSession()
{
    const QString what = QStringLiteral("the remote desktop session for the paste keystroke");
    const auto refused = [](uint response) {
        log(QStringLiteral("ERROR: the desktop refused the remote desktop session for the paste "
                           "keystroke (answer %1): the transcript stays on the clipboard, press "
                           "Ctrl+V to paste it")
                .arg(response));
    };
    call(remoteDesktop, QStringLiteral("CreateSession"),
         {QVariantMap{{QStringLiteral("session_handle_token"), newToken()}}}, what,
         [=, this](uint response, const QVariantMap &results) {
             if (response != 0)
                 return refused(response);
             session = results.value(QStringLiteral("session_handle")).toString();
             QVariantMap options = {{QStringLiteral("types"), keyboardDevice},
                                    {QStringLiteral("persist_mode"), persistUntilRevoked}};
             const QString restore = preferenceString(prefRestoreToken, {});
             if (!restore.isEmpty())
                 options.insert(QStringLiteral("restore_token"), restore);
             call(remoteDesktop, QStringLiteral("SelectDevices"),
                  {QVariant::fromValue(QDBusObjectPath(session)), options}, what,
                  [=, this](uint response, const QVariantMap &) {
                      if (response != 0)
                          return refused(response);
                      call(
                          remoteDesktop, QStringLiteral("Start"),
                          {QVariant::fromValue(QDBusObjectPath(session)), QString(), QVariantMap()},
                          what, [=, this](uint response, const QVariantMap &started) {
                              if (response != 0)
                                  return refused(response);
                              const QString restore =
                                  started.value(QStringLiteral("restore_token")).toString();
                              if (!restore.isEmpty())
                                  setPreference(prefRestoreToken, restore);
                              ready = true;
                          });
                  });
         });
}

bool PortalSession::available()
{
    return portalOffers(remoteDesktop);
}

QDBusConnection portalBus()
{
    static const QDBusConnection bus = [] {
        QDBusConnection connection = QDBusConnection::connectToBus(
            QDBusConnection::SessionBus, QStringLiteral("parlotta-portal"));
        // Portals of 1.19.3 and later learn a program's id from this, before any
        // other call: GNOME binds no shortcut and remembers no approval without
        // one. The id names our installed desktop entry, which the portal looks
        // up. Older portals know no such call.
        QDBusMessage registration = QDBusMessage::createMethodCall(
            portalService, portalPath, QStringLiteral("org.freedesktop.host.portal.Registry"),
            QStringLiteral("Register"));
        registration.setArguments({QStringLiteral(PARLOTTA_BUNDLE_ID), QVariantMap()});
        const QDBusMessage registered = connection.call(registration, QDBus::Block, 5000);
        if (registered.errorName() == QStringLiteral("org.freedesktop.portal.Error.Failed"))
            log(QStringLiteral("ERROR: the desktop portal does not know Parlotta (%1): install "
                               "its desktop entry, com.parlotta.app.desktop, in an applications "
                               "folder")
                    .arg(registered.errorMessage()));
        return connection;
    }();
    return bus;
}

bool portalOffers(const QString &interface)
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        portalService, portalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get.setArguments({interface, QStringLiteral("version")});
    return portalBus().call(get, QDBus::Block, 5000).type() == QDBusMessage::ReplyMessage;
}

bool PortalSession::key(int evdev, bool pressed, QString *error)
{
    if (!ready) {
        *error = QStringLiteral("the desktop has not allowed the remote desktop session (yet)");
        return false;
    }
    QDBusMessage notify = QDBusMessage::createMethodCall(portalService, portalPath, remoteDesktop,
                                                         QStringLiteral("NotifyKeyboardKeycode"));
    notify.setArguments({QVariant::fromValue(QDBusObjectPath(session)), QVariantMap(), evdev,
                         uint(pressed ? 1 : 0)});
    const QDBusMessage reply = portalBus().call(notify, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        *error = reply.errorMessage();
        return false;
    }
    return true;
}

QString PortalRequests::newToken()
{
    return QStringLiteral("parlotta%1").arg(QRandomGenerator::global()->generate());
}

void PortalRequests::call(const QString &interface, const QString &method, QVariantList arguments,
                          const QString &what, std::function<void(uint, const QVariantMap &)> then)
{
    // The answer comes as a signal on a request object whose path the handle
    // token fixes: listen there before asking.
    const QString token = newToken();
    QString sender = portalBus().baseService().mid(1);
    sender.replace(u'.', u'_');
    const QString request = portalPath + QStringLiteral("/request/") + sender + u'/' + token;
    QVariantMap options = arguments.takeLast().toMap();
    options.insert(QStringLiteral("handle_token"), token);
    arguments.append(options);
    pending.insert(request, std::move(then));
    portalBus().connect(portalService, request, QStringLiteral("org.freedesktop.portal.Request"),
                        QStringLiteral("Response"), this,
                        SLOT(answered(uint, QVariantMap, QDBusMessage)));
    QDBusMessage message =
        QDBusMessage::createMethodCall(portalService, portalPath, interface, method);
    message.setArguments(arguments);
    // A portal whose desktop back end cannot do this answers with an error
    // instead of a Response: say so, or it would fail without a word.
    auto *watcher = new QDBusPendingCallWatcher(portalBus().asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, request, what](QDBusPendingCallWatcher *answer) {
                answer->deleteLater();
                if (!answer->isError())
                    return;
                pending.remove(request);
                log(QStringLiteral("ERROR: the desktop portal could not start %1 (%2)")
                        .arg(what, answer->error().message()));
            });
}

void PortalRequests::answered(uint response, const QVariantMap &results,
                              const QDBusMessage &message)
{
    if (const auto then = pending.take(message.path()))
        then(response, results);
}

} // namespace parlotta

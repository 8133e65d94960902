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

const QString portal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString remoteDesktop = QStringLiteral("org.freedesktop.portal.RemoteDesktop");
// The approval the desktop remembers, so that the user gives it once.
const QString prefRestoreToken = QStringLiteral("remote-desktop-restore-token");
constexpr uint keyboardDevice = 1;
constexpr uint persistUntilRevoked = 2;

} // namespace

PortalSession::PortalSession()
{
    const QString token = newToken();
    call(QStringLiteral("CreateSession"),
         {QVariantMap{{QStringLiteral("session_handle_token"), token}}},
         [this](const QVariantMap &results) {
             session = results.value(QStringLiteral("session_handle")).toString();
             QVariantMap options = {{QStringLiteral("types"), keyboardDevice},
                                    {QStringLiteral("persist_mode"), persistUntilRevoked}};
             const QString restore = preferenceString(prefRestoreToken, {});
             if (!restore.isEmpty())
                 options.insert(QStringLiteral("restore_token"), restore);
             call(QStringLiteral("SelectDevices"),
                  {QVariant::fromValue(QDBusObjectPath(session)), options},
                  [this](const QVariantMap &) {
                      call(
                          QStringLiteral("Start"),
                          {QVariant::fromValue(QDBusObjectPath(session)), QString(), QVariantMap()},
                          [this](const QVariantMap &started) {
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
    QDBusMessage get = QDBusMessage::createMethodCall(
        portal, portalPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get.setArguments({remoteDesktop, QStringLiteral("version")});
    return QDBusConnection::sessionBus().call(get, QDBus::Block, 5000).type() ==
           QDBusMessage::ReplyMessage;
}

bool PortalSession::key(int evdev, bool pressed, QString *error)
{
    if (!ready) {
        *error = QStringLiteral("the desktop has not allowed the remote desktop session (yet)");
        return false;
    }
    QDBusMessage notify = QDBusMessage::createMethodCall(portal, portalPath, remoteDesktop,
                                                         QStringLiteral("NotifyKeyboardKeycode"));
    notify.setArguments({QVariant::fromValue(QDBusObjectPath(session)), QVariantMap(), evdev,
                         uint(pressed ? 1 : 0)});
    const QDBusMessage reply = QDBusConnection::sessionBus().call(notify, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        *error = reply.errorMessage();
        return false;
    }
    return true;
}

QString PortalSession::newToken()
{
    return QStringLiteral("parlotta%1").arg(QRandomGenerator::global()->generate());
}

void PortalSession::call(const QString &method, QVariantList arguments,
                         std::function<void(const QVariantMap &)> then)
{
    // The answer comes as a signal on a request object whose path the handle
    // token fixes: listen there before asking.
    const QString token = newToken();
    QString sender = QDBusConnection::sessionBus().baseService().mid(1);
    sender.replace(u'.', u'_');
    const QString request = portalPath + QStringLiteral("/request/") + sender + u'/' + token;
    QVariantMap options = arguments.takeLast().toMap();
    options.insert(QStringLiteral("handle_token"), token);
    arguments.append(options);
    pending.insert(request, std::move(then));
    QDBusConnection::sessionBus().connect(
        portal, request, QStringLiteral("org.freedesktop.portal.Request"),
        QStringLiteral("Response"), this, SLOT(answered(uint, QVariantMap, QDBusMessage)));
    QDBusMessage message =
        QDBusMessage::createMethodCall(portal, portalPath, remoteDesktop, method);
    message.setArguments(arguments);
    // A portal whose desktop back end cannot do this answers with an error
    // instead of a Response: say so, or the paste would fail without a word.
    auto *watcher =
        new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(message), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, request](QDBusPendingCallWatcher *answer) {
                answer->deleteLater();
                if (!answer->isError())
                    return;
                pending.remove(request);
                log(QStringLiteral("ERROR: the desktop portal could not start the remote desktop "
                                   "session for the paste keystroke (%1): the transcript will "
                                   "stay on the clipboard, press Ctrl+V to paste it")
                        .arg(answer->error().message()));
            });
}

void PortalSession::answered(uint response, const QVariantMap &results, const QDBusMessage &message)
{
    const auto then = pending.take(message.path());
    if (response != 0) {
        log(QStringLiteral("ERROR: the desktop refused the remote desktop session for the paste "
                           "keystroke (answer %1): the transcript stays on the clipboard, press "
                           "Ctrl+V to paste it")
                .arg(response));
        return;
    }
    if (then)
        then(results);
}

} // namespace parlotta

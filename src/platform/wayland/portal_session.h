#pragma once

// The desktop portal, private to this folder. Its remote desktop session: one
// for the daemon's life, keyboard only, for the paste keystroke where the
// compositor grants no other way to type (GNOME; KDE without our desktop entry).
#include <QHash>
#include <QObject>
#include <QVariantMap>
#include <atomic>
#include <functional>

class QDBusMessage;
class QDBusConnection;

namespace parlotta {

// Calls to the desktop portal whose answer comes as a Response signal.
class PortalRequests : public QObject {
    Q_OBJECT
  public:
    static QString newToken();
    // Calls a method of the portal's interface whose last argument is its
    // options, and runs then with the answer's code and results. A call the
    // portal refuses outright is logged with what, and then is not run.
    void call(const QString &interface, const QString &method, QVariantList arguments,
              const QString &what, std::function<void(uint, const QVariantMap &)> then);

  private Q_SLOTS:
    void answered(uint response, const QVariantMap &results, const QDBusMessage &message);

  private:
    QHash<QString, std::function<void(uint, const QVariantMap &)>> pending;
};

class PortalSession final : public PortalRequests {
    Q_OBJECT
  public:
    // Asks for the session at once (main thread), so that a desktop that asks
    // the user does so at start-up, not in the middle of a paste; a desktop
    // that remembers the approval is given back the token it handed out.
    PortalSession();
    // Whether the session bus offers the remote desktop portal at all.
    static bool available();
    // One key (evdev code) pressed or released; any thread. False with the
    // reason before the session is approved or when the portal refuses.
    bool key(int evdev, bool pressed, QString *error);

  private:
    QString session;
    std::atomic<bool> ready{false};
};

// The session bus's portal, and the interfaces of it we use.
inline const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
inline const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
// The connection every portal call of ours goes through, our own and
// registered with our application id on first use: the portal fixes a
// connection's id at its first call, and Qt's platform theme asks the portal
// on the shared one before we could register there.
QDBusConnection portalBus();
// Whether the portal offers the interface (with a back end that serves it).
bool portalOffers(const QString &interface);

} // namespace parlotta

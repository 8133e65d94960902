#pragma once

// The desktop portal's remote desktop session, private to this folder: one
// for the daemon's life, keyboard only, for the paste keystroke where the
// compositor grants no other way to type (KDE without our desktop entry).
#include <QHash>
#include <QObject>
#include <QVariantMap>
#include <atomic>
#include <functional>

class QDBusMessage;

namespace parlotta {

class PortalSession final : public QObject {
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

  private Q_SLOTS:
    void answered(uint response, const QVariantMap &results, const QDBusMessage &message);

  private:
    static QString newToken();
    // Calls a portal method whose last argument is its options and runs then
    // with the results of its answer.
    void call(const QString &method, QVariantList arguments,
              std::function<void(const QVariantMap &)> then);

    QHash<QString, std::function<void(const QVariantMap &)>> pending;
    QString session;
    std::atomic<bool> ready{false};
};

} // namespace parlotta

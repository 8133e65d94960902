#include "platform/linux/dbus_call.h"
#include "platform/linux/key_codes.h"
#include "platform/wayland/wayland_connection.h"
#include "platform/wayland/wayland_services.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QObject>
#include <linux/input-event-codes.h>

namespace {

// One key sequence as KDE's service passes it: up to four Qt key codes.
struct KeySequence {
    QList<int> keys;
};

QDBusArgument &operator<<(QDBusArgument &argument, const KeySequence &sequence)
{
    argument.beginStructure();
    argument << sequence.keys;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, KeySequence &sequence)
{
    argument.beginStructure();
    argument >> sequence.keys;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(KeySequence)

namespace parlotta {

namespace {

const QString service = QStringLiteral("org.kde.kglobalaccel");
const QString component = QStringLiteral("parlotta");
const QStringList actionId = {component, QStringLiteral("push-to-talk"), QStringLiteral("Parlotta"),
                              QStringLiteral("Push to talk")};

// Qt's key code for a keysym, as KDE stores shortcuts; 0 for a key it has no code for.
int qtKeyFor(xkb_keysym_t sym)
{
    if (sym >= 0x20 && sym <= 0x7e)
        return int(QChar(char16_t(sym)).toUpper().unicode());
    if (sym >= XKB_KEY_F1 && sym <= XKB_KEY_F35)
        return Qt::Key_F1 + int(sym - XKB_KEY_F1);
    static const QHash<xkb_keysym_t, int> named = {
        {XKB_KEY_Escape, Qt::Key_Escape},
        {XKB_KEY_Tab, Qt::Key_Tab},
        {XKB_KEY_BackSpace, Qt::Key_Backspace},
        {XKB_KEY_Return, Qt::Key_Return},
        {XKB_KEY_Insert, Qt::Key_Insert},
        {XKB_KEY_Delete, Qt::Key_Delete},
        {XKB_KEY_Pause, Qt::Key_Pause},
        {XKB_KEY_Print, Qt::Key_Print},
        {XKB_KEY_Home, Qt::Key_Home},
        {XKB_KEY_End, Qt::Key_End},
        {XKB_KEY_Left, Qt::Key_Left},
        {XKB_KEY_Up, Qt::Key_Up},
        {XKB_KEY_Right, Qt::Key_Right},
        {XKB_KEY_Down, Qt::Key_Down},
        {XKB_KEY_Prior, Qt::Key_PageUp},
        {XKB_KEY_Next, Qt::Key_PageDown},
        {XKB_KEY_Scroll_Lock, Qt::Key_ScrollLock},
        {XKB_KEY_Menu, Qt::Key_Menu},
        {XKB_KEY_KP_Enter, Qt::Key_Enter},
    };
    return named.value(sym, 0);
}

// KDE Plasma: its global shortcut service binds the key and reports the
// press and the release, whichever window has the focus. No dialog asks.
class KdeShortcuts final : public QObject, public ShortcutSource {
    Q_OBJECT
  public:
    explicit KdeShortcuts(WaylandConnection &connection)
        : connection(connection)
    {
        qDBusRegisterMetaType<KeySequence>();
        qDBusRegisterMetaType<QList<KeySequence>>();
    }

    bool bindsModifierAlone() const override
    {
        return false;
    }

    QString setupInstructions(std::int64_t key, std::uint64_t) const override
    {
        if (!isModifierKey(key < 0 ? -1 : evdevFromVirtualKey(key)))
            return {};
        return QStringLiteral(
            "KDE can bind a modifier key alone only as that modifier on both sides, and then "
            "takes it from every application (Alt+letter menus stop working), so it is not "
            "offered here. Choose another key, such as F9.");
    }

    void bind(std::int64_t code, std::uint64_t modifiers, BindDone done) override
    {
        const int evdev = code < 0 ? -1 : evdevFromVirtualKey(code);
        QList<KeySequence> keys;
        if (evdev >= 0) {
            if (isModifierKey(evdev))
                return done(false, QStringLiteral("KDE cannot bind a modifier key alone without "
                                                  "taking it from every application"));
            const int key = qtKeyFor(connection.keysym(evdev));
            if (!key)
                return done(false, QStringLiteral("KDE has no name for this key"));
            int combination = key;
            if (modifiers & flagShift)
                combination |= Qt::SHIFT;
            if (modifiers & flagControl)
                combination |= Qt::CTRL;
            if (modifiers & flagAlt)
                combination |= Qt::ALT;
            if (modifiers & flagSuper)
                combination |= Qt::META;
            keys.append({{combination, 0, 0, 0}});
        }
        // Both calls go out at once, in order on the one bus connection: the
        // action exists by the time its keys are set.
        kglobalaccel(QStringLiteral("doRegister"), {actionId}, {});
        // Flags: set now (2), do not take an earlier setting back (4).
        kglobalaccel(
            QStringLiteral("setShortcutKeys"), {actionId, QVariant::fromValue(keys), 6u},
            [keys, done](const QDBusMessage &reply) {
                if (reply.type() != QDBusMessage::ReplyMessage)
                    return done(false, QStringLiteral("KDE's shortcut service did not answer: %1")
                                           .arg(reply.errorMessage()));
                QList<KeySequence> given;
                if (!reply.arguments().isEmpty())
                    reply.arguments().constFirst().value<QDBusArgument>() >> given;
                const int wanted = keys.isEmpty() ? 0 : keys.constFirst().keys.value(0);
                const int got = given.isEmpty() ? 0 : given.constFirst().keys.value(0);
                if (wanted != got)
                    return done(false, QStringLiteral("KDE has given that shortcut to another "
                                                      "action; free it in System Settings, "
                                                      "Shortcuts, or choose another key"));
                done(true, {});
            });
    }

    void start(const std::function<void(bool pressed)> &handler) override
    {
        onChange = handler;
        kglobalaccel(QStringLiteral("doRegister"), {actionId}, {});
        kglobalaccel(
            QStringLiteral("getComponent"), {component}, [this](const QDBusMessage &reply) {
                const QString path =
                    reply.arguments().isEmpty()
                        ? QStringLiteral("/component/") + component
                        : reply.arguments().constFirst().value<QDBusObjectPath>().path();
                QDBusConnection bus = QDBusConnection::sessionBus();
                const QString interface = QStringLiteral("org.kde.kglobalaccel.Component");
                bus.connect(service, path, interface, QStringLiteral("globalShortcutPressed"), this,
                            SLOT(pressed(QString, QString, qlonglong)));
                bus.connect(service, path, interface, QStringLiteral("globalShortcutReleased"),
                            this, SLOT(released(QString, QString, qlonglong)));
            });
    }

  private Q_SLOTS:
    void pressed(const QString &owner, const QString &action, qlonglong)
    {
        // A held key repeats the press; the listener counts the first.
        if (owner != component || action != actionId[1])
            return;
        onChange(true);
    }
    void released(const QString &owner, const QString &action, qlonglong)
    {
        if (owner != component || action != actionId[1])
            return;
        onChange(false);
    }

  private:
    // Asks KDE's service; then, if any, gets the answer on the main thread
    // (an error after 5 s without one). Nothing waits.
    void kglobalaccel(const QString &method, const QVariantList &arguments,
                      std::function<void(const QDBusMessage &)> then)
    {
        QDBusMessage call =
            QDBusMessage::createMethodCall(service, QStringLiteral("/kglobalaccel"),
                                           QStringLiteral("org.kde.KGlobalAccel"), method);
        call.setArguments(arguments);
        callDBus(QDBusConnection::sessionBus(), call, 5000, this, std::move(then));
    }

    WaylandConnection &connection;
    std::function<void(bool pressed)> onChange;
};

} // namespace

bool isModifierKey(int evdev)
{
    switch (evdev) {
    case KEY_LEFTCTRL:
    case KEY_RIGHTCTRL:
    case KEY_LEFTSHIFT:
    case KEY_RIGHTSHIFT:
    case KEY_LEFTALT:
    case KEY_RIGHTALT:
    case KEY_LEFTMETA:
    case KEY_RIGHTMETA:
        return true;
    default:
        return false;
    }
}

bool kdeShortcutsRun()
{
    QDBusConnectionInterface *bus = QDBusConnection::sessionBus().interface();
    return bus && (bus->isServiceRegistered(service).value() ||
                   bus->activatableServiceNames().value().contains(service));
}

std::unique_ptr<ShortcutSource> createKdeShortcuts(WaylandConnection &connection)
{
    return std::make_unique<KdeShortcuts>(connection);
}

} // namespace parlotta

#include "kde_shortcuts.moc"

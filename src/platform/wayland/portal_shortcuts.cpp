#include "core/log.h"
#include "platform/linux/key_codes.h"
#include "platform/wayland/portal_session.h"
#include "platform/wayland/wayland_connection.h"
#include "platform/wayland/wayland_services.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCall>

namespace {

// One shortcut as the portal takes it: its id and its properties.
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};

QDBusArgument &operator<<(QDBusArgument &argument, const PortalShortcut &shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PortalShortcut &shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(PortalShortcut)

namespace parlotta {

namespace {

const QString globalShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString shortcutId = QStringLiteral("push-to-talk");

// The GlobalShortcuts portal (GNOME 48 and later): the desktop binds the
// shortcut, asking the user once, and reports its activation and deactivation.
class PortalShortcuts final : public PortalRequests, public ShortcutSource {
    Q_OBJECT
  public:
    explicit PortalShortcuts(WaylandConnection &connection)
        : connection(connection)
    {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
        portalBus().connect(portalService, portalPath, globalShortcuts, QStringLiteral("Activated"),
                            this, SLOT(activated(QDBusObjectPath, QString)));
        portalBus().connect(portalService, portalPath, globalShortcuts,
                            QStringLiteral("Deactivated"), this,
                            SLOT(deactivated(QDBusObjectPath, QString)));
    }

    void bind(std::int64_t code, std::uint64_t modifiers, BindDone done) override
    {
        const int evdev = code < 0 ? -1 : evdevFromVirtualKey(code);
        if (evdev >= 0 && modifiers == 0 && isModifierKey(evdev))
            return done(false, QStringLiteral("GNOME reports no release of a modifier key alone"));
        // A session binds once: a new hotkey takes a new session.
        closeSession();
        if (evdev < 0)
            return done(true, {});
        QStringList trigger;
        const std::pair<std::uint64_t, const char *> names[] = {
            {flagControl, "CTRL"}, {flagAlt, "ALT"}, {flagShift, "SHIFT"}, {flagSuper, "LOGO"}};
        for (const auto &[flag, name] : names)
            if (modifiers & flag)
                trigger << QString::fromLatin1(name);
        char key[64] = "";
        xkb_keysym_get_name(connection.keysym(evdev), key, sizeof key);
        trigger << QString::fromLatin1(key);
        const QString preferred = trigger.join(u'+');
        const QString what = QStringLiteral("the push-to-talk shortcut");
        call(globalShortcuts, QStringLiteral("CreateSession"),
             {QVariantMap{{QStringLiteral("session_handle_token"), newToken()}}}, what,
             [=, this](uint response, const QVariantMap &results) {
                 if (response != 0)
                     return done(false, refusal(response));
                 session = results.value(QStringLiteral("session_handle")).toString();
                 const QVariantMap shortcut = {
                     {QStringLiteral("description"), QStringLiteral("Push to talk")},
                     {QStringLiteral("preferred_trigger"), preferred}};
                 const QList<PortalShortcut> shortcuts = {{shortcutId, shortcut}};
                 call(globalShortcuts, QStringLiteral("BindShortcuts"),
                      {QVariant::fromValue(QDBusObjectPath(session)),
                       QVariant::fromValue(shortcuts), QString(), QVariantMap()},
                      what, [preferred, done](uint response, const QVariantMap &bound) {
                          // GNOME 48.0 answers 2 even when it bound them.
                          if (response != 0 && !bound.contains(QStringLiteral("shortcuts")))
                              return done(false, refusal(response));
                          log(QStringLiteral("Push-to-talk shortcut bound by the desktop (%1)")
                                  .arg(preferred));
                          done(true, {});
                      });
             });
    }

    void start(const std::function<void(bool)> &onChange) override
    {
        changed = onChange;
    }

    bool bindsModifierAlone() const override
    {
        return false;
    }

    QString setupInstructions(std::int64_t key, std::uint64_t) const override
    {
        if (key < 0)
            return {};
        return QStringLiteral(
            "GNOME asks once to allow the shortcut; change it later in Settings \u2192 Keyboard "
            "\u2192 Keyboard Shortcuts. A modifier key alone (right Alt) works only with "
            "\u201cRead the keyboard directly\u201d.");
    }

  private Q_SLOTS:
    void activated(const QDBusObjectPath &from, const QString &id)
    {
        // A held key repeats Activated; the listener counts the first.
        if (from.path() != session || id != shortcutId)
            return;
        if (changed)
            changed(true);
    }
    void deactivated(const QDBusObjectPath &from, const QString &id)
    {
        if (from.path() != session || id != shortcutId)
            return;
        if (changed)
            changed(false);
    }

  private:
    static QString refusal(uint response)
    {
        return QStringLiteral("the desktop did not bind it (answer %1)").arg(response);
    }
    void closeSession()
    {
        if (session.isEmpty())
            return;
        // Nothing waits for the answer: a session that will not close holds
        // a shortcut nobody listens to.
        portalBus().asyncCall(QDBusMessage::createMethodCall(
            portalService, session, QStringLiteral("org.freedesktop.portal.Session"),
            QStringLiteral("Close")));
        session.clear();
        // A hold the session took with it ends here (a release while none
        // is held counts for nothing).
        if (changed)
            changed(false);
    }

    WaylandConnection &connection;
    std::function<void(bool)> changed;
    QString session;
};

} // namespace

bool portalOffersShortcuts()
{
    return portalOffers(globalShortcuts);
}

std::unique_ptr<ShortcutSource> createPortalShortcuts(WaylandConnection &connection)
{
    return std::make_unique<PortalShortcuts>(connection);
}

} // namespace parlotta

#include "portal_shortcuts.moc"

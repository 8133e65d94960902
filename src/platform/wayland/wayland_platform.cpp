#include "core/events.h"
#include "core/log.h"
#include "core/preferences.h"
#include "core/runtime_files.h"
#include "platform/compositor_bindings.h"
#include "platform/linux/evdev_keyboard.h"
#include "platform/linux/pulse_audio.h"
#include "platform/linux/session_lock.h"
#include "platform/linux/xwayland.h"
#include "platform/platform.h"
#include "platform/wayland/data_control.h"
#include "platform/wayland/wayland_connection.h"
#include "platform/wayland/wayland_services.h"
#include "platform/wayland/xwayland_display.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QWindow>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <wayland-client.h>

namespace parlotta {

namespace {

// The compositor whose own key bindings deliver the hotkey: "sway",
// "Hyprland", or empty for others.
QString bindingCompositor(const QString &desktop)
{
    if (desktop.contains(QStringLiteral("Hyprland"), Qt::CaseInsensitive) ||
        !qEnvironmentVariableIsEmpty("HYPRLAND_INSTANCE_SIGNATURE"))
        return QStringLiteral("Hyprland");
    if (desktop.contains(QStringLiteral("sway"), Qt::CaseInsensitive) ||
        !qEnvironmentVariableIsEmpty("SWAYSOCK"))
        return QStringLiteral("sway");
    return {};
}

bool isGnome(const QString &desktop)
{
    return desktop.contains(QStringLiteral("GNOME"), Qt::CaseInsensitive);
}

// GNOME: the focused window is an XWayland one (XTest) or a Wayland one (the
// remote desktop portal), decided at each paste.
class XWaylandFirstInjector final : public KeyInjector {
  public:
    XWaylandFirstInjector(const XWaylandServices &x11Services, std::unique_ptr<KeyInjector> wayland)
        : x11Services(x11Services)
        , wayland(std::move(wayland))
    {
    }
    QString mechanism() const override
    {
        return x11 ? x11Services.injector().mechanism() : wayland->mechanism();
    }
    Keystroke pasteKeystroke() override
    {
        x11 = x11Services.windowHasFocus();
        return x11 ? x11Services.injector().pasteKeystroke() : wayland->pasteKeystroke();
    }
    void send(Keystroke keystroke, SendDone done) override
    {
        x11 ? x11Services.injector().send(keystroke, std::move(done))
            : wayland->send(keystroke, std::move(done));
    }
    bool liftsHeldKeys() const override
    {
        return x11 || wayland->liftsHeldKeys();
    }

  private:
    const XWaylandServices x11Services;
    std::unique_ptr<KeyInjector> wayland;
    bool x11 = false;
};

// Where no program may type into the desktop's windows.
class NoKeyInjector final : public KeyInjector {
  public:
    QString mechanism() const override
    {
        return QStringLiteral("nothing");
    }
    Keystroke pasteKeystroke() override
    {
        return Keystroke::ControlV;
    }
    void send(Keystroke, SendDone done) override
    {
        done(false, QStringLiteral("this desktop lets no program type into its Wayland windows"));
    }
};

// sway and Hyprland bind keys in their own configuration: lines there send
// us the signals that start and stop a dictation.
class CompositorBindings final : public ShortcutSource {
  public:
    CompositorBindings(bool hyprland, WaylandConnection &connection)
        : hyprland(hyprland)
        , connection(connection)
    {
    }
    void bind(int, std::uint64_t, BindDone done) override
    {
        done(true, {}); // the user's configuration holds the binding
    }
    void start(const std::function<void(bool)> &) override {}
    QString setupInstructions(int evdev, std::uint64_t modifiers) const override
    {
        if (evdev < 0)
            return {};
        char name[64] = "";
        xkb_keysym_get_name(keysymOf(connection, evdev), name, sizeof name);
        return compositorBindingLines(
            hyprland ? BindingCompositor::Hyprland : BindingCompositor::Sway,
            QCoreApplication::applicationFilePath(), QString::fromLatin1(name), modifiers);
    }

  private:
    const bool hyprland;
    WaylandConnection &connection;
};

// A Wayland desktop whose compositor offers a client the clipboard, the
// keyboard or both; what it lacks falls back to XWayland where that runs.
class WaylandServices final : public PulseAudioServices {
  public:
    WaylandServices(const Session &session, std::unique_ptr<WaylandConnection> opened,
                    const XWaylandServices &x11Services)
        : connection(std::move(opened))
        , x11Services(x11Services)
        , hasX11(!qEnvironmentVariableIsEmpty("DISPLAY"))
        , gnome(isGnome(session.desktop))
    {
        connection->start();
        if (connection->hasDataControl()) {
            clipboardSelection = std::make_unique<DataControlClipboard>(*connection, false);
            primary = std::make_unique<DataControlClipboard>(*connection, true);
        }
        if (preferenceBool(prefReadKeyboard, false)) {
            if (EvdevKeyboardHook::userMayRead()) {
                evdev = std::make_unique<EvdevKeyboardHook>();
                followSessionLock([hook = evdev.get()](bool locked) {
                    // A hold the lock cut short is dropped before its keys
                    // count as released: nothing goes into the lock screen.
                    if (locked)
                        Q_EMIT daemonEvents().sessionLocked();
                    hook->setLocked(locked);
                });
            } else {
                log(QStringLiteral("ERROR: cannot read the keyboard directly: this account is "
                                   "not in the input group"));
            }
        }
        injector = createWaylandKeyInjector(*connection);
        pasteLabel = injector ? injector->mechanism() : QStringLiteral("none");
        if (injector && gnome && hasX11) {
            injector = std::make_unique<XWaylandFirstInjector>(x11Services, std::move(injector));
            pasteLabel += QStringLiteral("; XTest in X11 windows");
        } else if (!injector && hasX11) {
            // XTest reaches X11 windows only: a Wayland window in focus gets
            // the transcript left on the clipboard, not a keystroke it never sees.
            injector = std::make_unique<XWaylandFirstInjector>(x11Services,
                                                               std::make_unique<NoKeyInjector>());
            pasteLabel = QStringLiteral("XTest, X11 windows only");
        }
        clipboardLabel = clipboardSelection ? QStringLiteral("Wayland data control")
                         : !hasX11          ? QStringLiteral("none")
                         : gnome            ? QStringLiteral("X11 selections through XWayland")
                                            : QStringLiteral("X11 selections, X11 windows only");
        // The key listener: the first of these the session offers, in this order.
        const QString bindings = bindingCompositor(session.desktop);
        const std::pair<QString, std::function<bool()>> listeners[] = {
            {QStringLiteral("keyboard devices (evdev)"), [&] { return evdev != nullptr; }},
            {QStringLiteral("KDE global shortcuts"),
             [&] { return bool(shortcuts = createKdeShortcuts(session.desktop, *connection)); }},
            {bindings + QStringLiteral(" key bindings (parlotta --start/--stop)"),
             [&] {
                 return !bindings.isEmpty() &&
                        (shortcuts = std::make_unique<CompositorBindings>(
                             bindings == QStringLiteral("Hyprland"), *connection));
             }},
            {QStringLiteral("desktop portal global shortcuts"),
             [&] { return gnome && (shortcuts = createPortalShortcuts(*connection)); }},
            {QStringLiteral("X11 (XInput2), X11 windows only"), [&] { return hasX11; }},
        };
        listenerName = QStringLiteral("none");
        for (const auto &[name, available] : listeners)
            if (available()) {
                listenerName = name;
                break;
            }
    }

    QString keyListenerName() const override
    {
        return listenerName;
    }
    QString pasteName() const override
    {
        return pasteLabel;
    }
    QString clipboardName() const override
    {
        return clipboardLabel;
    }
    KeyboardHook *keyboardHook() override
    {
        if (evdev)
            return evdev.get();
        return !shortcuts && hasX11 ? &x11Services.keyboard() : nullptr;
    }
    ShortcutSource *shortcutSource() override
    {
        return shortcuts.get();
    }
    Clipboard &clipboard() override
    {
        return clipboardSelection ? *clipboardSelection : x11Services.clipboard();
    }
    Clipboard &primarySelection() override
    {
        return primary ? *primary : x11Services.primary();
    }
    void handOverClipboardToManager() override
    {
        // Data control has no hand-over: what we own ends with us, and a
        // clipboard manager that follows the clipboard (Klipper, cliphist)
        // already holds a copy. X11 selections are handed over as on X11.
        if (!clipboardSelection)
            x11Services.handOverClipboard();
    }
    KeyInjector &keyInjector() override
    {
        if (injector)
            return *injector;
        static NoKeyInjector none;
        return none;
    }
    void activateWindowForUser(QWindow *window) override
    {
        if (!window)
            return;
        window->raise();
        window->requestActivate();
    }
    QString keyCharacter(int evdev) override
    {
        const uint32_t c = xkb_keysym_to_utf32(keysymOf(*connection, evdev));
        return c >= 0x20 && c != 0x7f ? QString::fromUcs4(reinterpret_cast<const char32_t *>(&c), 1)
                                      : QString();
    }
    bool isLevel3Shift(int evdev) override
    {
        return keysymOf(*connection, evdev) == XKB_KEY_ISO_Level3_Shift;
    }

  private:
    std::unique_ptr<WaylandConnection> connection;
    const XWaylandServices x11Services;
    const bool hasX11;
    const bool gnome; // whose XWayland passes the clipboard to every window
    std::unique_ptr<Clipboard> clipboardSelection, primary;
    std::unique_ptr<KeyInjector> injector;
    std::unique_ptr<ShortcutSource> shortcuts;
    std::unique_ptr<EvdevKeyboardHook> evdev;
    QString listenerName, pasteLabel, clipboardLabel;
};

// The connection the check opened, kept for the services it admitted.
std::unique_ptr<WaylandConnection> probed;

} // namespace

bool waylandServes(const Session &session)
{
    if (session.kind != Session::Kind::Wayland)
        return false;
    if (!probed)
        probed = WaylandConnection::connect();
    // GNOME offers none of these protocols: its clipboard is served through
    // XWayland, its keys through the desktop portal.
    return probed && (probed->hasDataControl() || probed->hasVirtualKeyboard() ||
                      probed->hasFakeInput() || isGnome(session.desktop));
}

std::unique_ptr<PlatformServices> createWaylandServices(const Session &session,
                                                        const XWaylandServices &x11Services)
{
    if (isGnome(session.desktop))
        findXWayland(wl_display_get_fd(probed->display()));
    return std::make_unique<WaylandServices>(session, std::move(probed), x11Services);
}

} // namespace parlotta

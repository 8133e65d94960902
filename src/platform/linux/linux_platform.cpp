#include "platform/linux/linux_platform.h"
#include "platform/linux/key_codes.h"

#include "core/events.h"
#include "core/log.h"
#include "core/preferences.h"
#include "platform/linux/evdev_keyboard.h"
#include "platform/linux/pulse_audio.h"
#include "platform/linux/session_lock.h"
#include "platform/wayland/wayland_connection.h"
#include "platform/wayland/wayland_services.h"
#include "platform/x11/x11_services.h"

#include <QWindow>
#include <initializer_list>

// Which implementation serves each part of the platform. For every part, its
// candidates in the order they are tried: the first one the session offers
// is made, and its name goes into the start-up log.

namespace parlotta {

namespace {

template <class Part> struct Candidate {
    QString name;
    std::function<bool()> available;
    std::function<Part()> make;
};

template <class Part> struct Chosen {
    QString name;
    Part part;
};

// The last candidate of every list is always available.
template <class Part> Chosen<Part> choose(std::initializer_list<Candidate<Part>> candidates)
{
    for (const Candidate<Part> &candidate : candidates)
        if (candidate.available())
            return {candidate.name, candidate.make()};
    Q_UNREACHABLE();
}

// The process-wide X11 services, held like the parts a candidate owns.
template <class T> std::shared_ptr<T> borrowed(T &part)
{
    return std::shared_ptr<T>(&part, [](T *) {});
}

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

struct KeyListenerPart {
    std::shared_ptr<KeyboardHook> hook;
    std::shared_ptr<ShortcutSource> shortcuts;
};

struct SelectionsPart {
    std::shared_ptr<Clipboard> clipboard, primary;
    // X11 selections pass to the clipboard manager at exit; data control has
    // no hand-over, and a manager that follows the clipboard holds a copy.
    bool handedOver = false;
};

std::shared_ptr<KeyboardHook> directKeyboard()
{
    auto hook = std::make_shared<EvdevKeyboardHook>();
    followSessionLock([hook = hook.get()](bool locked) {
        // A hold the lock cut short is dropped before its keys count as
        // released: nothing goes into the lock screen.
        if (locked)
            Q_EMIT daemonEvents().sessionLocked();
        hook->setLocked(locked);
    });
    return hook;
}

class LinuxServices final : public PulseAudioServices {
  public:
    explicit LinuxServices(const Session &probed)
        : session(probed)
    {
        const bool onWayland = session.kind == Session::Kind::Wayland;
        if (onWayland)
            wayland = WaylandConnection::connect();
        WaylandConnection *const w = wayland.get();
        const bool gnome = session.desktop == Session::Desktop::Gnome;
        // GNOME starts XWayland on demand, outside the daemon's environment.
        if (w && gnome && session.xDisplay.isEmpty()) {
            const XWaylandDisplay found = findXWayland(*w);
            session.xDisplay = found.display;
            session.xAuthority = found.authority;
        }
        useX11Display(session.xDisplay, session.xAuthority);
        if (w)
            w->start();
        const bool x11 = !session.xDisplay.isEmpty();
        const bool x11Session = !onWayland; // an X11 session, or no display at all
        const QString x11Only = QStringLiteral(", X11 windows only");
        // Asked only in an X11 session: on GNOME it would start XWayland.
        const auto x11Named = [&](const char *service) {
            return x11Session ? namedForX11Session(QString::fromLatin1(service)) : QString();
        };

        const bool evdevWanted = onWayland && preferenceBool(prefReadKeyboard, false);
        const bool evdevReadable = evdevWanted && EvdevKeyboardHook::userMayRead();
        if (evdevWanted && !evdevReadable)
            log(QStringLiteral("ERROR: cannot read the keyboard directly: this account is not "
                               "in the input group"));
        const auto desktopIs = [&](Session::Desktop desktop) {
            return w && session.desktop == desktop;
        };
        const auto bindings = [w](BindingCompositor compositor) {
            return KeyListenerPart{nullptr, createCompositorBindings(compositor, *w)};
        };
        listener = choose<KeyListenerPart>({
            {QStringLiteral("keyboard devices (evdev)"), [&] { return evdevReadable; },
             [] {
                 return KeyListenerPart{directKeyboard(), nullptr};
             }},
            {QStringLiteral("KDE global shortcuts"),
             [&] { return desktopIs(Session::Desktop::Kde) && kdeShortcutsRun(); },
             [w] {
                 return KeyListenerPart{nullptr, createKdeShortcuts(*w)};
             }},
            {QStringLiteral("sway key bindings (parlotta --press/--release)"),
             [&] { return desktopIs(Session::Desktop::Sway); },
             [&] { return bindings(BindingCompositor::Sway); }},
            {QStringLiteral("Hyprland key bindings (parlotta --press/--release)"),
             [&] { return desktopIs(Session::Desktop::Hyprland); },
             [&] { return bindings(BindingCompositor::Hyprland); }},
            {QStringLiteral("desktop portal global shortcuts"),
             [&] { return desktopIs(Session::Desktop::Gnome) && portalOffersShortcuts(); },
             [w] {
                 return KeyListenerPart{nullptr, createPortalShortcuts(*w)};
             }},
            {QStringLiteral("X11 (XInput2)") + x11Only, [&] { return onWayland && x11; },
             [] {
                 return KeyListenerPart{borrowed(x11KeyboardHook()), nullptr};
             }},
            {x11Named("X11 (XInput2)"), [&] { return x11Session; },
             [] {
                 return KeyListenerPart{borrowed(x11KeyboardHook()), nullptr};
             }},
            {QStringLiteral("none"), [] { return true; }, [] { return KeyListenerPart{}; }},
        });

        using Injector = std::shared_ptr<KeyInjector>;
        const auto portalRuns = [w] { return w && remoteDesktopPortalRuns(); };
        injector = choose<Injector>({
            {QStringLiteral("KWin fake input"), [w] { return w && w->hasFakeInput(); },
             [w] { return Injector(createFakeInputInjector(*w)); }},
            {QStringLiteral("virtual keyboard"), [w] { return w && w->hasVirtualKeyboard(); },
             [w] { return Injector(createVirtualKeyboardInjector(*w)); }},
            // GNOME's portal reaches Wayland windows; XTest reaches XWayland's.
            {QStringLiteral("remote desktop portal; XTest in X11 windows"),
             [&] { return gnome && x11 && portalRuns(); },
             [w] {
                 return Injector(createXWaylandFirstInjector(x11KeyInjector(), x11WindowHasFocus,
                                                             createPortalInjector(*w)));
             }},
            {QStringLiteral("remote desktop portal"), portalRuns,
             [w] { return Injector(createPortalInjector(*w)); }},
            // A Wayland window in focus gets the transcript left on the
            // clipboard, not a keystroke it never sees.
            {QStringLiteral("XTest") + x11Only, [&] { return onWayland && x11; },
             [] {
                 return Injector(createXWaylandFirstInjector(x11KeyInjector(), x11WindowHasFocus,
                                                             std::make_unique<NoKeyInjector>()));
             }},
            {x11Named("XTest"), [&] { return x11Session; },
             [] { return borrowed(x11KeyInjector()); }},
            {QStringLiteral("none"), [] { return true; },
             [] { return Injector(std::make_shared<NoKeyInjector>()); }},
        });

        const auto x11Selections = [] {
            return SelectionsPart{borrowed(x11Clipboard()), borrowed(x11PrimarySelection()), true};
        };
        selections = choose<SelectionsPart>({
            {QStringLiteral("Wayland data control"), [w] { return w && w->hasDataControl(); },
             [w] {
                 return SelectionsPart{createDataControlClipboard(*w, false),
                                       createDataControlClipboard(*w, true), false};
             }},
            // GNOME's XWayland passes the clipboard to every window.
            {QStringLiteral("X11 selections through XWayland"),
             [&] { return onWayland && gnome && x11; }, x11Selections},
            {QStringLiteral("X11 selections") + x11Only, [&] { return onWayland && x11; },
             x11Selections},
            {x11Named("X11 selections"), [&] { return x11Session; }, x11Selections},
            // Without a display they answer that they cannot.
            {QStringLiteral("none"), [] { return true; }, x11Selections},
        });
    }

    QString keyListenerName() const override
    {
        return listener.name;
    }
    QString pasteName() const override
    {
        return injector.name;
    }
    QString clipboardName() const override
    {
        return selections.name;
    }
    KeyboardHook *keyboardHook() override
    {
        return listener.part.hook.get();
    }
    ShortcutSource *shortcutSource() override
    {
        return listener.part.shortcuts.get();
    }
    Clipboard &clipboard() override
    {
        return *selections.part.clipboard;
    }
    Clipboard &primarySelection() override
    {
        return *selections.part.primary;
    }
    void handOverClipboardToManager() override
    {
        if (selections.part.handedOver)
            x11HandOverClipboard();
    }
    KeyInjector &keyInjector() override
    {
        return *injector.part;
    }
    void activateWindowForUser(QWindow *window) override
    {
        if (!wayland) {
            x11ActivateWindow(window);
        } else if (window) {
            window->raise();
            window->requestActivate();
        }
    }
    // The layout the compositor sends a client, else the X server's.
    QString keyCharacter(std::int64_t key) override
    {
        const int evdev = evdevFromVirtualKey(key);
        if (evdev < 0)
            return {};
        return wayland ? waylandKeyCharacter(*wayland, evdev) : x11KeyCharacter(evdev);
    }
    bool isLevel3Shift(std::int64_t key) override
    {
        const int evdev = evdevFromVirtualKey(key);
        return evdev >= 0 &&
               (wayland ? waylandIsLevel3Shift(*wayland, evdev) : x11IsLevel3Shift(evdev));
    }
    // Our windows get the X keycode (evdev + 8) as the native scan code, on
    // XWayland and Wayland alike.
    std::int64_t keyOfScanCode(std::uint32_t scanCode) override
    {
        return scanCode > 8 ? virtualKeyFromEvdev(int(scanCode) - 8) : -1;
    }

  private:
    // An X11 session's service, or what it waits for: the display may answer later.
    QString namedForX11Session(const QString &service) const
    {
        if (session.xDisplay.isEmpty())
            return QStringLiteral("none (no X display and no Wayland compositor)");
        if (x11DisplayAnswers())
            return service;
        return service + QStringLiteral(", waiting for the X display ") +
               QString::fromLocal8Bit(session.xDisplay);
    }

    Session session;
    std::unique_ptr<WaylandConnection> wayland;
    Chosen<KeyListenerPart> listener;
    Chosen<std::shared_ptr<KeyInjector>> injector;
    Chosen<SelectionsPart> selections;
};

} // namespace

std::unique_ptr<PlatformServices> createLinuxPlatform(const Session &session)
{
    return std::make_unique<LinuxServices>(session);
}

void initPlatform()
{
    initX11Threads();
}

} // namespace parlotta

#include "platform/keystrokes.h"
#include "platform/terminal_classes.h"
#include "platform/wayland/portal_session.h"
#include "platform/wayland/wayland_connection.h"
#include "platform/wayland/wayland_services.h"

#include "fake-input-client-protocol.h"
#include "virtual-keyboard-client-protocol.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <linux/input-event-codes.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

namespace parlotta {

namespace {

// What both Wayland injectors share: the keystroke for the focused window,
// from its application id and the seat's layout.
class WaylandKeyInjector : public KeyInjector {
  public:
    explicit WaylandKeyInjector(WaylandConnection &connection)
        : connection(connection)
    {
    }

    Keystroke pasteKeystroke() override
    {
        // With no key that types "v" (a Cyrillic, Greek, Hebrew or Arabic
        // layout alone), toolkits match no paste shortcut to Control and the
        // key at V; Shift+Insert pastes in them whatever the layout.
        if (!connection.layoutTypesV())
            return Keystroke::ShiftInsert;
        const QByteArray appId = connection.activeAppId();
        return pasteKeystrokeForWindowClass(appId, appId);
    }

    // The application id is all the compositor tells: it is the window's identity too.
    FocusedWindow focusedWindow() override
    {
        const QByteArray appId = connection.activeAppId();
        return {appId, appId,
                !appId.isEmpty() &&
                    pasteKeystrokeForWindowClass(appId, appId) != Keystroke::ControlV};
    }

    // Typed on the connection's thread (the portal's answers may take seconds);
    // the outcome comes back through the main thread's queue.
    void send(Keystroke keystroke, SendDone done) override
    {
        connection.post([this, keystroke, done = std::move(done)] {
            QString error;
            const bool sent = type(keystroke, &error);
            QMetaObject::invokeMethod(
                qApp, [done, sent, error] { done(sent, error); }, Qt::QueuedConnection);
        });
    }

  protected:
    // Connection thread.
    bool type(Keystroke keystroke, QString *error)
    {
        const KeyPosition key = keystroke == Keystroke::ShiftInsert ? KeyPosition{KEY_INSERT, 0}
                                : keystroke == Keystroke::Enter
                                    ? KeyPosition{KEY_ENTER, 0}
                                    : findKey(connection.keymap(), XKB_KEY_v);
        if (key.evdev < 0) {
            *error = QStringLiteral("the keyboard map has no key for v");
            return false;
        }
        const auto events = keystrokeEvents(keystroke, {key.evdev, KEY_LEFTCTRL, KEY_LEFTSHIFT});
        if (!post(events, key.layout, error))
            return false;
        // A protocol error shows on the next round trip, not on the request.
        if (wl_display_roundtrip(connection.display()) < 0) {
            *error = QStringLiteral("the compositor refused the keystroke (error %1)")
                         .arg(wl_display_get_error(connection.display()));
            return false;
        }
        return true;
    }

    // Connection thread: posts the keystroke's events (evdev codes) in the given layout.
    virtual bool post(const QList<KeyEvent> &events, xkb_layout_index_t layout, QString *error) = 0;
    WaylandConnection &connection;
};

// wlroots compositors and Hyprland: a keyboard of our own on the seat, with
// the seat's own layout, so the target reads our keys as the user's.
class VirtualKeyboardInjector final : public WaylandKeyInjector {
  public:
    // The keyboard joins the seat at once: a window learns of a new keyboard
    // a round trip later, and keys typed before that would be lost.
    explicit VirtualKeyboardInjector(WaylandConnection &connection)
        : WaylandKeyInjector(connection)
    {
        connection.call<bool>([&] {
            QString error;
            return prepare(&error);
        });
    }
    QString mechanism() const override
    {
        return QStringLiteral("virtual keyboard");
    }

  private:
    bool prepare(QString *error)
    {
        if (!connection.keymap()) {
            *error = QStringLiteral("no keyboard layout to type with");
            return false;
        }
        if (!keyboard)
            keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(
                connection.virtualKeyboards(), connection.seat());
        return uploaded == connection.keymapText() || upload(connection.keymapText(), error);
    }

    // Our own keyboard has its own modifier state, which the protocol sets
    // directly: a modifier's event changes that state, any other key is typed.
    bool post(const QList<KeyEvent> &events, xkb_layout_index_t layout, QString *error) override
    {
        if (!prepare(error))
            return false;
        xkb_keymap *keymap = connection.keymap();
        auto mask = [&](const char *name) {
            const xkb_mod_index_t index = xkb_keymap_mod_get_index(keymap, name);
            return index == XKB_MOD_INVALID ? 0u : 1u << index;
        };
        uint32_t held = 0;
        for (const KeyEvent &event : events) {
            const uint32_t bit = event.key == KEY_LEFTCTRL    ? mask(XKB_MOD_NAME_CTRL)
                                 : event.key == KEY_LEFTSHIFT ? mask(XKB_MOD_NAME_SHIFT)
                                                              : 0;
            if (bit) {
                held = event.pressed ? held | bit : held & ~bit;
                zwp_virtual_keyboard_v1_modifiers(keyboard, held, 0, 0, layout);
            } else {
                zwp_virtual_keyboard_v1_key(keyboard, now(), uint32_t(event.key),
                                            event.pressed ? WL_KEYBOARD_KEY_STATE_PRESSED
                                                          : WL_KEYBOARD_KEY_STATE_RELEASED);
            }
        }
        zwp_virtual_keyboard_v1_modifiers(keyboard, 0, 0, 0, 0);
        return true;
    }

    bool upload(const QByteArray &text, QString *error)
    {
        const int fd = memfd_create("parlotta-keymap", MFD_CLOEXEC);
        const QByteArray withEnd = text + '\0';
        if (fd < 0 || ::write(fd, withEnd.constData(), size_t(withEnd.size())) != withEnd.size()) {
            *error =
                QStringLiteral("could not hand the layout over: %1").arg(qt_error_string(errno));
            if (fd >= 0)
                ::close(fd);
            return false;
        }
        zwp_virtual_keyboard_v1_keymap(keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
                                       uint32_t(withEnd.size()));
        ::close(fd);
        uploaded = text;
        return true;
    }

    uint32_t now()
    {
        if (!clock.isValid())
            clock.start();
        return uint32_t(clock.elapsed());
    }

    zwp_virtual_keyboard_v1 *keyboard = nullptr;
    QByteArray uploaded;
    QElapsedTimer clock;
};

// KWin: its fake input, which types through the seat's keyboard and layout.
class FakeInputInjector final : public WaylandKeyInjector {
  public:
    using WaylandKeyInjector::WaylandKeyInjector;
    QString mechanism() const override
    {
        return QStringLiteral("KWin fake input");
    }
    bool liftsHeldKeys() const override
    {
        return false; // KWin keeps one keyboard state for every keyboard
    }

  private:
    bool post(const QList<KeyEvent> &events, xkb_layout_index_t, QString *) override
    {
        org_kde_kwin_fake_input *input = connection.fakeInputDevice();
        if (!authenticated) {
            org_kde_kwin_fake_input_authenticate(input, "Parlotta", "paste dictated text");
            authenticated = true;
        }
        for (const KeyEvent &event : events)
            org_kde_kwin_fake_input_keyboard_key(input, uint32_t(event.key),
                                                 event.pressed ? WL_KEYBOARD_KEY_STATE_PRESSED
                                                               : WL_KEYBOARD_KEY_STATE_RELEASED);
        return true;
    }

    bool authenticated = false;
};

// The desktop portal's remote desktop session: KDE when KWin grants us no
// fake input (no installed desktop entry names this program).
class PortalInjector final : public WaylandKeyInjector {
  public:
    explicit PortalInjector(WaylandConnection &connection)
        : WaylandKeyInjector(connection)
        , session(std::make_unique<PortalSession>())
    {
    }
    QString mechanism() const override
    {
        return QStringLiteral("remote desktop portal");
    }
    bool liftsHeldKeys() const override
    {
        return false; // the compositor's virtual device shares the seat's state
    }

  private:
    bool post(const QList<KeyEvent> &events, xkb_layout_index_t, QString *error) override
    {
        for (const KeyEvent &event : events)
            if (!session->key(event.key, event.pressed, error))
                return false;
        return true;
    }

    std::unique_ptr<PortalSession> session;
};

} // namespace

std::unique_ptr<KeyInjector> createFakeInputInjector(WaylandConnection &connection)
{
    return std::make_unique<FakeInputInjector>(connection);
}

std::unique_ptr<KeyInjector> createVirtualKeyboardInjector(WaylandConnection &connection)
{
    return std::make_unique<VirtualKeyboardInjector>(connection);
}

bool remoteDesktopPortalRuns()
{
    return PortalSession::available();
}

std::unique_ptr<KeyInjector> createPortalInjector(WaylandConnection &connection)
{
    return std::make_unique<PortalInjector>(connection);
}

} // namespace parlotta

#include "platform/keyboard.h"
#include "platform/keystrokes.h"
#include "platform/terminal_classes.h"
#include "platform/x11/x11_display.h"
#include "platform/x11/x11_services.h"

#include <QList>
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <optional>

namespace parlotta {

namespace {

class X11KeyInjector final : public KeyInjector {
  public:
    QString mechanism() const override
    {
        return QStringLiteral("XTest");
    }

    Keystroke pasteKeystroke() override
    {
        if (!connect())
            return Keystroke::ControlV;
        // With no key that types "v" (a Cyrillic, Greek, Hebrew or Arabic
        // layout alone), GTK and Qt applications match no paste shortcut to
        // Control and the key at V; Shift+Insert pastes CLIPBOARD in them and
        // in browsers whatever the layout, and PRIMARY in the xterm family,
        // so both are offered.
        if (!XKeysymToKeycode(display, XK_v))
            return Keystroke::ShiftInsert;
        return focusedWindowKeystroke();
    }

    // XTest answers nothing: posted is done.
    void send(Keystroke keystroke, SendDone done) override
    {
        QString error;
        const bool sent = post(keystroke, &error);
        done(sent, error);
    }

  private:
    bool post(Keystroke keystroke, QString *error)
    {
        if (!connect()) {
            *error = QStringLiteral("no X display with XTest");
            return false;
        }
        const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
        const KeyCode shift = XKeysymToKeycode(display, XK_Shift_L);
        const bool shiftInsert = keystroke == Keystroke::ShiftInsert;
        const bool enter = keystroke == Keystroke::Enter;
        // The key that types "v" in the current layout, not a fixed position:
        // on Dvorak the ANSI V key types another letter.
        const KeyCode key = XKeysymToKeycode(display, shiftInsert ? XK_Insert
                                                      : enter     ? XK_Return
                                                                  : XK_v);
        if (!key || !shift || (!shiftInsert && !control)) {
            *error = QStringLiteral("the keyboard map has no key for %1")
                         .arg(!key     ? QString::fromLatin1(shiftInsert ? "Insert"
                                                             : enter     ? "Enter"
                                                                         : "v")
                              : !shift ? QStringLiteral("Shift")
                                       : QStringLiteral("Control"));
            return false;
        }
        QList<int> held;
        for (KeyCode k : heldModifiers())
            held << k;
        for (const KeyEvent &event : keystrokeEvents(keystroke, {key, control, shift}, held))
            inject(KeyCode(event.key), event.pressed);
        XSync(display, False);
        return true;
    }

  private:
    void inject(KeyCode key, bool pressed)
    {
        expectInjectedX11Key(int(key), pressed);
        XTestFakeKeyEvent(display, key, pressed, CurrentTime);
    }

    // Modifier keys that are down now (the user may still hold the hotkey);
    // lock keys are left alone, since pressing them again would toggle them.
    QList<KeyCode> heldModifiers()
    {
        char keys[32];
        XQueryKeymap(display, keys);
        QList<KeyCode> held;
        XModifierKeymap *map = XGetModifierMapping(display);
        if (!map)
            return held;
        for (int i = 0; i < 8 * map->max_keypermod; ++i) {
            const KeyCode key = map->modifiermap[i];
            if (!key || !(keys[key / 8] & (1 << (key % 8))) || held.contains(key))
                continue;
            const KeySym sym = XkbKeycodeToKeysym(display, key, 0, 0);
            if (sym == XK_Caps_Lock || sym == XK_Num_Lock || sym == XK_Shift_Lock ||
                sym == XK_Scroll_Lock)
                continue;
            held << key;
        }
        XFreeModifiermap(map);
        return held;
    }

    // XTest is asked about once; the connection also brings the keymap up to date.
    bool connect()
    {
        display = mainThreadDisplay();
        if (display && !askedXTest) {
            askedXTest = true;
            int event = 0, error = 0, major = 0, minor = 0;
            hasXTest = XTestQueryExtension(display, &event, &error, &major, &minor);
        }
        return display && hasXTest;
    }

    FocusedWindow focusedWindow() override
    {
        FocusedWindow focused;
        if (!connect())
            return focused;
        if (const std::optional<WindowClass> window = focusedWindowClass()) {
            focused.id = QByteArray::number(qulonglong(window->window), 16);
            focused.application = window->className;
            focused.terminal = pasteKeystrokeForWindowClass(window->instance, window->className) !=
                               Keystroke::ControlV;
        }
        return focused;
    }

  private:
    Keystroke focusedWindowKeystroke()
    {
        const std::optional<WindowClass> window = focusedWindowClass();
        return window ? pasteKeystrokeForWindowClass(window->instance, window->className)
                      : Keystroke::ControlV;
    }

    struct WindowClass {
        Window window;
        QByteArray instance;
        QByteArray className;
    };

    // The focused window's class; the focus may sit on a child of the
    // application's top-level window.
    std::optional<WindowClass> focusedWindowClass()
    {
        if (!display)
            return std::nullopt;
        Window focus = None;
        int revert = 0;
        XGetInputFocus(display, &focus, &revert);
        const Window root = DefaultRootWindow(display);
        for (Window w = focus; w != None && w != PointerRoot && w != root;) {
            XClassHint hint{};
            if (XGetClassHint(display, w, &hint)) {
                WindowClass found{w, hint.res_name ? hint.res_name : "",
                                  hint.res_class ? hint.res_class : ""};
                XFree(hint.res_name);
                XFree(hint.res_class);
                return found;
            }
            Window rootReturn = None, parent = None, *children = nullptr;
            unsigned int count = 0;
            if (!XQueryTree(display, w, &rootReturn, &parent, &children, &count))
                break;
            if (children)
                XFree(children);
            w = parent;
        }
        return std::nullopt;
    }

    Display *display = nullptr;
    bool askedXTest = false;
    bool hasXTest = false;
};

} // namespace

namespace {

// A window list property of the root window (_NET_ACTIVE_WINDOW, _NET_CLIENT_LIST).
QList<Window> rootWindows(Display *display, const char *name)
{
    QList<Window> windows;
    Atom type = None;
    int format = 0;
    unsigned long count = 0, left = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(display, DefaultRootWindow(display), XInternAtom(display, name, False),
                           0, 4096, False, XA_WINDOW, &type, &format, &count, &left,
                           &data) == Success &&
        data && format == 32) {
        const auto *ids = reinterpret_cast<const unsigned long *>(data);
        for (unsigned long i = 0; i < count; ++i)
            windows << Window(ids[i]);
    }
    if (data)
        XFree(data);
    return windows;
}

} // namespace

bool x11WindowHasFocus()
{
    Display *display = mainThreadDisplay();
    if (!display)
        return false;
    // The window manager names the active window, one of the windows it
    // manages; while a Wayland window has the focus Mutter names one of its
    // own instead.
    const QList<Window> active = rootWindows(display, "_NET_ACTIVE_WINDOW");
    return !active.isEmpty() && active.first() != None &&
           rootWindows(display, "_NET_CLIENT_LIST").contains(active.first());
}

KeyInjector &x11KeyInjector()
{
    static X11KeyInjector *instance = new X11KeyInjector;
    return *instance;
}

} // namespace parlotta

#include "platform/key_injector.h"
#include "platform/keyboard.h"

#include <QList>
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace parlotta {

namespace {

class X11KeyInjector final : public KeyInjector {
  public:
    Keystroke paste() override
    {
        if (!display)
            display = XOpenDisplay(nullptr);
        int event = 0, error = 0, major = 0, minor = 0;
        if (!display || !XTestQueryExtension(display, &event, &error, &major, &minor))
            return Keystroke::NotSent;
        // The key that types "v" in the current layout, not a fixed position:
        // on Dvorak the ANSI V key types another letter.
        const KeyCode v = XKeysymToKeycode(display, XK_v);
        const KeyCode control = XKeysymToKeycode(display, XK_Control_L);
        const KeyCode shift = XKeysymToKeycode(display, XK_Shift_L);
        if (!v || !control)
            return Keystroke::NotSent;
        const bool terminal = focusIsTerminal();

        const QList<KeyCode> held = heldModifiers();
        for (KeyCode key : held)
            inject(key, false);
        inject(control, true);
        if (terminal)
            inject(shift, true);
        inject(v, true);
        inject(v, false);
        if (terminal)
            inject(shift, false);
        inject(control, false);
        for (KeyCode key : held)
            inject(key, true);
        XSync(display, False);
        return terminal ? Keystroke::ControlShiftV : Keystroke::ControlV;
    }

  private:
    void inject(KeyCode key, bool pressed)
    {
        keyboardHook().expectInjected(int(key) - 8, pressed);
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

    bool focusIsTerminal()
    {
        Window focus = None;
        int revert = 0;
        XGetInputFocus(display, &focus, &revert);
        const Window root = DefaultRootWindow(display);
        // The focus may sit on a child of the application's top-level window.
        for (Window w = focus; w != None && w != PointerRoot && w != root;) {
            XClassHint hint{};
            if (XGetClassHint(display, w, &hint)) {
                const bool terminal = isTerminalWindowClass(hint.res_name ? hint.res_name : "",
                                                            hint.res_class ? hint.res_class : "");
                XFree(hint.res_name);
                XFree(hint.res_class);
                return terminal;
            }
            Window rootReturn = None, parent = None, *children = nullptr;
            unsigned int count = 0;
            if (!XQueryTree(display, w, &rootReturn, &parent, &children, &count))
                break;
            if (children)
                XFree(children);
            w = parent;
        }
        return false;
    }

    Display *display = nullptr;
};

} // namespace

KeyInjector &keyInjector()
{
    static X11KeyInjector *instance = new X11KeyInjector;
    return *instance;
}

} // namespace parlotta

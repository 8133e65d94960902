#include "platform/keyboard.h"
#include "platform/linux/key_codes.h"
#include "platform/x11/x11_display.h"
#include "platform/x11/x11_services.h"

#include <QElapsedTimer>
#include <QList>
#include <X11/XKBlib.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

namespace parlotta {

namespace {

class X11KeyboardHook final : public KeyboardHook {
  public:
    X11KeyboardHook()
    {
        if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
            wake[0] = wake[1] = -1;
    }

    bool open() override
    {
        if (display)
            return true;
        Display *d = openX11Display();
        if (!d)
            return false;
        int opcode = 0, event = 0, error = 0, major = 2, minor = 2;
        if (!XQueryExtension(d, "XInputExtension", &opcode, &event, &error) ||
            XIQueryVersion(d, &major, &minor) != Success || major * 100 + minor < 202) {
            XCloseDisplay(d);
            return false;
        }
        display = d;
        xiOpcode = opcode;
        // A held key that the grab brings to us repeats as a press alone, not
        // as a release and a press: otherwise every repeat of a held hotkey
        // would look like letting go and pressing again.
        Bool detectable = False;
        XkbSetDetectableAutoRepeat(display, True, &detectable);
        const Window root = DefaultRootWindow(display);
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
        XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
        XISelectEvents(display, root, &mask, 1);
        int count = 0;
        if (XIDeviceInfo *devices = XIQueryDevice(display, XIAllDevices, &count)) {
            for (int i = 0; i < count; ++i)
                if (devices[i].use == XISlaveKeyboard && std::strstr(devices[i].name, "XTEST"))
                    xtestKeyboards << devices[i].deviceid;
            XIFreeDeviceInfo(devices);
        }
        XSync(display, False);
        return true;
    }

    void run(const std::function<void(std::int64_t, bool)> &onKeyCode,
             const std::function<void(std::int64_t, std::uint64_t)> &onGrabRefusedCode) override
    {
        // Inside, keys are evdev codes (X keycode - 8).
        const std::function<void(int, bool)> onKey = [&](int evdev, bool pressed) {
            onKeyCode(virtualKeyFromEvdev(evdev), pressed);
        };
        const std::function<void(int, std::uint64_t)> onGrabRefused = [&](int evdev,
                                                                          std::uint64_t modifiers) {
            onGrabRefusedCode(virtualKeyFromEvdev(evdev), modifiers);
        };
        while (true) {
            applySwallowedKey(onGrabRefused);
            applyKeyboardGrab();
            while (XPending(display)) {
                XEvent event;
                XNextEvent(display, &event);
                if (event.type == GenericEvent && event.xcookie.extension == xiOpcode &&
                    XGetEventData(display, &event.xcookie)) {
                    const auto *raw = static_cast<const XIRawEvent *>(event.xcookie.data);
                    const bool pressed = event.xcookie.evtype == XI_RawKeyPress;
                    if ((pressed || event.xcookie.evtype == XI_RawKeyRelease) &&
                        !isOwnInjection(raw->sourceid, raw->detail - 8, pressed))
                        onKey(raw->detail - 8, pressed);
                    XFreeEventData(display, &event.xcookie);
                } else if (event.type == KeyPress || event.type == KeyRelease) {
                    handleGrabbedKey(event.xkey, onKey);
                }
            }
            pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {wake[0], POLLIN, 0}};
            poll(fds, 2, -1);
            char drain[16];
            while (::read(wake[0], drain, sizeof drain) > 0) {
            }
        }
    }

    void setSwallowedKey(std::int64_t key, std::uint64_t modifiers) override
    {
        {
            std::lock_guard lock(wantedMutex);
            wanted = {key < 0 ? -1 : evdevFromVirtualKey(key), modifiers};
            ++wantedGeneration; // set again: a refused grab is tried again
        }
        [[maybe_unused]] const ssize_t n = ::write(wake[1], "g", 1);
    }

    bool grabKeyboard(bool on) override
    {
        std::unique_lock lock(wantedMutex);
        if (!display)
            return false;
        const quint64 request = ++keyboardRequest;
        keyboardWanted = on;
        lock.unlock();
        [[maybe_unused]] const ssize_t n = ::write(wake[1], "k", 1);
        lock.lock();
        // The listener thread answers within a poll wake-up; a second is for a
        // desktop that stopped answering.
        if (!keyboardDone.wait_for(lock, std::chrono::seconds(1),
                                   [&] { return keyboardAnswered >= request; }))
            return false;
        return keyboardGranted == on;
    }

    // Announces a key event we are about to inject ourselves (the paste
    // keystroke, modifiers lifted around it): the listener does not report it,
    // so our own typing never looks like the user's. Safe from any thread.
    void expectInjected(int evdev, bool pressed)
    {
        std::lock_guard lock(wantedMutex);
        QElapsedTimer now;
        now.start();
        injected.push_back({evdev, pressed, now});
    }

  private:
    struct Injected {
        int evdev;
        bool pressed;
        QElapsedTimer since;
    };

    // Our own injected events come, in order, from the XTEST device.
    bool isOwnInjection(int device, int evdev, bool pressed)
    {
        std::lock_guard lock(wantedMutex);
        while (!injected.empty() && injected.front().since.elapsed() > 2000)
            injected.pop_front(); // never arrived: the server dropped it
        if (injected.empty() || !xtestKeyboards.contains(device) ||
            injected.front().evdev != evdev || injected.front().pressed != pressed)
            return false;
        injected.pop_front();
        return true;
    }

    struct Swallowed {
        int evdev = -1;
        std::uint64_t modifiers = 0;
        bool operator==(const Swallowed &) const = default;
    };

    unsigned modifierMaskOf(KeySym sym)
    {
        XModifierKeymap *map = XGetModifierMapping(display);
        const KeyCode code = XKeysymToKeycode(display, sym);
        unsigned mask = 0;
        for (int mod = 0; map && code && mod < 8; ++mod)
            for (int i = 0; i < map->max_keypermod; ++i)
                if (map->modifiermap[mod * map->max_keypermod + i] == code)
                    mask |= 1u << mod;
        if (map)
            XFreeModifiermap(map);
        return mask;
    }

    // On the listener thread: takes or gives back the whole keyboard as asked.
    void applyKeyboardGrab()
    {
        std::unique_lock lock(wantedMutex);
        if (keyboardAnswered == keyboardRequest)
            return;
        const bool want = keyboardWanted;
        const quint64 request = keyboardRequest;
        lock.unlock();
        bool granted = false;
        if (want) {
            granted = XGrabKeyboard(display, DefaultRootWindow(display), False, GrabModeAsync,
                                    GrabModeAsync, CurrentTime) == GrabSuccess;
        } else {
            XUngrabKeyboard(display, CurrentTime);
        }
        XSync(display, False);
        lock.lock();
        capturing = want && granted;
        keyboardGranted = capturing;
        keyboardAnswered = request;
        keyboardDone.notify_all();
    }

    // On the listener thread: makes the X server's passive grabs match what is wanted.
    void applySwallowedKey(const std::function<void(int, std::uint64_t)> &onGrabRefused)
    {
        Swallowed want;
        quint64 generation;
        {
            std::lock_guard lock(wantedMutex);
            want = wanted;
            generation = wantedGeneration;
        }
        if (generation == grabbedGeneration)
            return;
        grabbedGeneration = generation;
        const Window root = DefaultRootWindow(display);
        for (const unsigned mods : grabbedMasks)
            XUngrabKey(display, grabbed.evdev + 8, mods, root);
        grabbedMasks.clear();
        grabbed = want;
        if (want.evdev >= 0) {
            unsigned base = 0;
            if (want.modifiers & flagShift)
                base |= ShiftMask;
            if (want.modifiers & flagControl)
                base |= ControlMask;
            if (want.modifiers & flagAlt) {
                const unsigned alt = modifierMaskOf(XK_Alt_L);
                base |= alt ? alt : Mod1Mask;
            }
            if (want.modifiers & flagSuper) {
                const unsigned super = modifierMaskOf(XK_Super_L);
                base |= super ? super : Mod4Mask;
            }
            // The lock keys do not change what the hotkey is: grab with each of them on or off.
            const unsigned locks[] = {LockMask, modifierMaskOf(XK_Num_Lock),
                                      modifierMaskOf(XK_Scroll_Lock)};
            for (unsigned combination = 0; combination < 8; ++combination) {
                unsigned mods = base;
                for (int bit = 0; bit < 3; ++bit)
                    if (combination & (1u << bit))
                        mods |= locks[bit];
                if (!grabbedMasks.contains(mods))
                    grabbedMasks << mods;
            }
            if (!grabKey(want.evdev + 8, root)) {
                // Another program holds the combination: it keeps it, and the
                // key reaches the focused window as before.
                for (const unsigned mods : grabbedMasks)
                    XUngrabKey(display, want.evdev + 8, mods, root);
                grabbedMasks.clear();
                onGrabRefused(want.evdev, want.modifiers);
            }
        }
        XSync(display, False);
    }

    // Grabs the key with each of grabbedMasks; false when the X server refused
    // one (BadAccess: another client grabs the same combination). Checked
    // requests, so the answer does not depend on whose X error handler is in place.
    bool grabKey(int keycode, Window root)
    {
        xcb_connection_t *connection = XGetXCBConnection(display);
        XFlush(display);
        QList<xcb_void_cookie_t> cookies;
        for (const unsigned mods : std::as_const(grabbedMasks))
            cookies << xcb_grab_key_checked(connection, 0, root, std::uint16_t(mods),
                                            xcb_keycode_t(keycode), XCB_GRAB_MODE_ASYNC,
                                            XCB_GRAB_MODE_ASYNC);
        bool granted = true;
        for (const xcb_void_cookie_t cookie : std::as_const(cookies)) {
            if (xcb_generic_error_t *error = xcb_request_check(connection, cookie)) {
                granted = granted && error->error_code != XCB_ACCESS;
                std::free(error);
            }
        }
        return granted;
    }

    // While the swallowed key is held the keyboard is grabbed by us, and the X
    // server then sends us no raw events: the hotkey's own events are reported
    // from here. Every other key comes here too: it is handed on to the focused
    // window, as if typed there (its raw events then arrive as usual), and the
    // keyboard is taken back for the hotkey's repeats and release.
    void handleGrabbedKey(const XKeyEvent &key, const std::function<void(int, bool)> &onKey)
    {
        if (capturing) {
            onKey(int(key.keycode) - 8, key.type == KeyPress);
            return;
        }
        if (int(key.keycode) == grabbed.evdev + 8) {
            onKey(grabbed.evdev, key.type == KeyPress);
            if (key.type == KeyRelease)
                XUngrabKeyboard(display, CurrentTime);
            return;
        }
        XUngrabKeyboard(display, CurrentTime);
        XTestFakeKeyEvent(display, key.keycode, key.type == KeyPress, CurrentTime);
        XGrabKeyboard(display, DefaultRootWindow(display), False, GrabModeAsync, GrabModeAsync,
                      CurrentTime);
        // The hotkey may have been let go while the keyboard was not ours: then
        // its release went elsewhere, and the grab must not outlive the hold.
        char keys[32];
        XQueryKeymap(display, keys);
        const int hotkey = grabbed.evdev + 8;
        if (!(keys[hotkey / 8] & (1 << (hotkey % 8))))
            XUngrabKeyboard(display, CurrentTime);
        XFlush(display);
    }

    Display *display = nullptr;
    int xiOpcode = 0;
    int wake[2] = {-1, -1};
    std::mutex wantedMutex;
    Swallowed wanted;
    Swallowed grabbed;
    quint64 wantedGeneration = 0; // guarded by wantedMutex
    quint64 grabbedGeneration = 0;
    QList<unsigned> grabbedMasks;
    QList<int> xtestKeyboards;
    std::deque<Injected> injected; // guarded by wantedMutex
    // The whole-keyboard grab, asked for by grabKeyboard and done by the
    // listener thread; guarded by wantedMutex but for capturing (listener only).
    bool keyboardWanted = false;
    bool keyboardGranted = false;
    quint64 keyboardRequest = 0;
    quint64 keyboardAnswered = 0;
    std::condition_variable keyboardDone;
    bool capturing = false;
};

X11KeyboardHook &hook()
{
    static X11KeyboardHook *hook = new X11KeyboardHook; // used for the life of the process
    return *hook;
}

} // namespace

KeyboardHook &x11KeyboardHook()
{
    return hook();
}

void expectInjectedX11Key(int keycode, bool pressed)
{
    hook().expectInjected(keycode - 8, pressed);
}

namespace {

KeySym unshiftedKeysym(int evdev)
{
    Display *display = mainThreadDisplay();
    if (!display || evdev < 0 || evdev + 8 > 255)
        return NoSymbol;
    XkbStateRec state{};
    XkbGetState(display, XkbUseCoreKbd, &state);
    return XkbKeycodeToKeysym(display, KeyCode(evdev + 8), state.group, 0);
}

} // namespace

QString x11KeyCharacter(int evdev)
{
    const char32_t character = xkb_keysym_to_utf32(xkb_keysym_t(unshiftedKeysym(evdev)));
    if (character < 0x20 || character == 0x7f)
        return {};
    return QString::fromUcs4(&character, 1);
}

bool x11IsLevel3Shift(int evdev)
{
    return unshiftedKeysym(evdev) == XK_ISO_Level3_Shift;
}

} // namespace parlotta

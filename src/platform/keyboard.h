#pragma once

#include <QString>
#include <cstdint>
#include <functional>

namespace parlotta {

// Keys are numbered by their virtual key codes throughout (right Alt 61, F5
// 96, Escape 53); each implementation translates its own numbering at its edge.

// The device-independent modifier flags: what a hotkey's modifiers hold, and
// what setSwallowedKey takes.
inline constexpr std::uint64_t flagShift = 0x20000;
inline constexpr std::uint64_t flagControl = 0x40000;
inline constexpr std::uint64_t flagAlt = 0x80000;
inline constexpr std::uint64_t flagSuper = 0x100000;
inline constexpr std::uint64_t comboModifiers = flagShift | flagControl | flagAlt | flagSuper;

// A system-wide keyboard listener: sees every physical key press and release,
// whatever window has the focus, and can keep one key combination from
// reaching the focused window.
class KeyboardHook {
  public:
    virtual ~KeyboardHook() = default;
    // Connects to the desktop; false when that is not possible (yet).
    virtual bool open() = 0;
    // Delivers every physical key event (key code, pressed or released) on
    // the calling thread, for the rest of the process's life; onGrabRefused
    // hears, on the same thread, when the desktop refuses to keep the swallowed
    // key for us (another program holds that combination) until it is set again.
    virtual void
    run(const std::function<void(std::int64_t key, bool pressed)> &onKey,
        const std::function<void(std::int64_t key, std::uint64_t modifiers)> &onGrabRefused) = 0;
    // Keeps presses of the key with exactly these modifiers
    // (Shift/Control/Alt/Super flag bits) away from the focused window, and its
    // repeats and release after them; other keys typed meanwhile still reach it.
    // key -1: nothing is kept away. Safe from any thread.
    virtual void setSwallowedKey(std::int64_t key, std::uint64_t modifiers) = 0;
    // on: takes the whole keyboard, so that every key event goes to run()'s
    // onKey and none reaches any window; off: gives it back. Blocks until the
    // listener thread has done it (briefly). False when the desktop refuses
    // (another program holds the keyboard) or the listener does not run.
    virtual bool grabKeyboard(bool on) = 0;
};

// A desktop that binds a shortcut itself and reports only that it was pressed
// and released (desktop portals, KDE's global shortcuts): no other key reaches
// us, so there is no capture by example and no key is swallowed by us.
class ShortcutSource {
  public:
    virtual ~ShortcutSource() = default;
    // Asks the desktop to bind the combination (key code, Shift/Control/Alt/
    // Super flag bits); key -1 unbinds. Returns at once; done runs on the
    // main thread once the desktop has answered: bound, or why it refused.
    using BindDone = std::function<void(bool bound, const QString &error)>;
    virtual void bind(std::int64_t key, std::uint64_t modifiers, BindDone done) = 0;
    // Delivers each press and release of the bound shortcut on the main thread.
    virtual void start(const std::function<void(bool pressed)> &onChange) = 0;
    // Whether a modifier key alone (right Alt) can be the shortcut here.
    virtual bool bindsModifierAlone() const
    {
        return true;
    }
    // What the user does once so that the combination reaches us, or why it
    // cannot; empty when bind() does it all.
    virtual QString setupInstructions(std::int64_t key, std::uint64_t modifiers) const
    {
        (void)key;
        (void)modifiers;
        return {};
    }
};

// The session's raw key source; null where the desktop shows no key events.
KeyboardHook *keyboardHook();
// The session's shortcut binding; null where the raw key source serves.
ShortcutSource *shortcutSource();

// The character a key types without modifiers in the current keyboard
// layout; empty when it types none.
QString keyCharacter(std::int64_t key);

// The key of a key event that one of our own windows received (its native
// scan code); -1 for none.
std::int64_t keyOfScanCode(std::uint32_t scanCode);

// Whether this user may read the keyboard devices themselves (the direct
// listener): in the input group, or root.
bool userMayReadKeyboards();

// Whether the key is a level-3 shift (AltGr) in the current
// keyboard layout, as right Alt is on German, French and many other layouts.
bool isLevel3Shift(std::int64_t key);

} // namespace parlotta

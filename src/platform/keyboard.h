#pragma once

#include <QString>
#include <cstdint>
#include <functional>

namespace parlotta {

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
    // Delivers every physical key event (evdev code, pressed or released) on
    // the calling thread, for the rest of the process's life; onGrabRefused
    // hears, on the same thread, when the desktop refuses to keep the swallowed
    // key for us (another program holds that combination) until it is set again.
    virtual void
    run(const std::function<void(int evdev, bool pressed)> &onKey,
        const std::function<void(int evdev, std::uint64_t modifiers)> &onGrabRefused) = 0;
    // Keeps presses of the key (evdev code) with exactly these modifiers
    // (Shift/Control/Alt/Super flag bits) away from the focused window, and its
    // repeats and release after them; other keys typed meanwhile still reach it.
    // evdev -1: nothing is kept away. Safe from any thread.
    virtual void setSwallowedKey(int evdev, std::uint64_t modifiers) = 0;
    // on: takes the whole keyboard, so that every key event goes to run()'s
    // onKey and none reaches any window; off: gives it back. Blocks until the
    // listener thread has done it (briefly). False when the desktop refuses
    // (another program holds the keyboard) or the listener does not run.
    virtual bool grabKeyboard(bool on) = 0;
    // Announces a key event we are about to inject ourselves (the paste
    // keystroke, modifiers lifted around it): the listener does not report it,
    // so our own typing never looks like the user's. Safe from any thread.
    virtual void expectInjected(int evdev, bool pressed) = 0;
};

// A desktop that binds a shortcut itself and reports only that it was pressed
// and released (desktop portals, KDE's global shortcuts): no other key reaches
// us, so there is no capture by example and no key is swallowed by us.
class ShortcutSource {
  public:
    virtual ~ShortcutSource() = default;
    // Asks the desktop to bind the combination (evdev code, Shift/Control/Alt/
    // Super flag bits); evdev -1 unbinds. Returns at once; done runs on the
    // main thread once the desktop has answered: bound, or why it refused.
    using BindDone = std::function<void(bool bound, const QString &error)>;
    virtual void bind(int evdev, std::uint64_t modifiers, BindDone done) = 0;
    // Delivers each press and release of the bound shortcut on the main thread.
    virtual void start(const std::function<void(bool pressed)> &onChange) = 0;
    // Whether a modifier key alone (right Alt) can be the shortcut here.
    virtual bool bindsModifierAlone() const
    {
        return true;
    }
    // What the user does once so that the combination reaches us, or why it
    // cannot; empty when bind() does it all.
    virtual QString setupInstructions(int evdev, std::uint64_t modifiers) const
    {
        (void)evdev;
        (void)modifiers;
        return {};
    }
};

// The session's raw key source; null where the desktop shows no key events.
KeyboardHook *keyboardHook();
// The session's shortcut binding; null where the raw key source serves.
ShortcutSource *shortcutSource();

// The character a key (evdev code) types without modifiers in the current
// keyboard layout; empty when it types none.
QString keyCharacter(int evdev);

// Whether the key (evdev code) is a level-3 shift (AltGr) in the current
// keyboard layout, as right Alt is on German, French and many other layouts.
bool isLevel3Shift(int evdev);

} // namespace parlotta

#pragma once

#include "hotkey/tap_rules.h"

#include "platform/keyboard.h"

#include <QMap>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

namespace parlotta {

// Key codes are virtual key codes in one fixed numbering (right Alt = 61,
// F5 = 96, Escape = 53, ...), independent of the keyboard layout; they are
// also the stored form in the preferences.
inline constexpr std::int64_t hotkeyNone = -1;
inline constexpr std::int64_t defaultHotkey = 61;
// Right Control: the default where the layout makes right Alt AltGr.
inline constexpr std::int64_t defaultHotkeyBesideAltGr = 62;
// The default where the desktop binds the shortcut and cannot bind a modifier alone: F9.
inline constexpr std::int64_t defaultHotkeyForShortcuts = 101;
inline constexpr std::int64_t capsLockKey = 57;
// The nine modifier keys and the device-dependent flag bit each sets while down.
extern const QMap<std::int64_t, std::uint64_t> modifierMasks;
// The device-independent flag (flagShift ...) each modifier key sets while down; Fn sets none.
extern const QMap<std::int64_t, std::uint64_t> modifierFlags;
// Keys whose names must not depend on the keyboard layout.
extern const QMap<std::int64_t, QString> specialKeyNames;

// The hotkey in force (activeHotkey, activeHotkeyModifiers), shared between the
// main thread and the key listener thread. hotkeyLock guards it inside
// hotkey_model.cpp and is held only to copy or assign it.
struct ActiveHotkey {
    std::int64_t code = defaultHotkey;
    std::uint64_t modifiers = 0;
};
ActiveHotkey activeHotkeySnapshot();
// Sets the hotkey in force and has the desktop keep it from the focused window
// where the rules say so; no preference is written.
void setActiveHotkey(std::int64_t code, std::uint64_t modifiers);

// Capture mode is on while a handler is set: the key listener then applies the
// capture rules instead of push-to-talk, and calls the handler on its own
// thread with the result (none: cancelled). Guarded by hotkeyLock.
using CaptureHandler = std::function<void(std::optional<ActiveHotkey>)>;
void setCaptureHandler(CaptureHandler handler);
CaptureHandler captureHandlerSnapshot();
// Enters capture mode with the keyboard taken from every window, so that no
// captured key reaches one. False, and nothing changed, when the desktop
// refuses the keyboard (another program holds it); error says so.
bool beginHotkeyCapture(CaptureHandler handler, QString *error);
// Leaves capture mode and gives the keyboard back at once.
void endHotkeyCapture();

// The stored mode: "hold" (the default, and for anything unknown), "toggle", "both".
HotkeyMode selectedHotkeyMode();
QString hotkeyModeName(HotkeyMode mode);

// The stored hotkey: 61 when nothing is stored (62 where right Alt is AltGr), hotkeyNone for -1 and
// for values outside the model (not an integer, outside 0...65535) from a hand-edited file.
std::int64_t selectedHotkey();
// The stored modifier mask; 0 when absent, negative or not an integer.
std::uint64_t selectedHotkeyModifiers();

// Stores and activates a hotkey, then logs "Hotkey set to: ...".
void setHotkey(std::int64_t code, std::uint64_t modifiers = 0);

// "None", a fixed name ("Right Alt", "F5", "Space"), the layout's character
// upper-cased, or "Key N".
QString keyName(std::int64_t code);
// keyName with the modifier prefix in the order Ctrl+, Alt+, Shift+, Super+.
QString hotkeyName(std::int64_t code, std::uint64_t modifiers);

} // namespace parlotta

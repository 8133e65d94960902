#pragma once

#include <QMap>
#include <QString>
#include <cstdint>
#include <functional>
#include <mutex>

namespace parlotta {

// Key codes are virtual key codes in one fixed numbering (right Alt = 61,
// F5 = 96, Escape = 53, ...), independent of the keyboard layout; they are
// also the stored form in the preferences.
inline constexpr std::int64_t hotkeyNone = -1;
inline constexpr std::int64_t defaultHotkey = 61;
inline constexpr std::uint64_t flagShift = 0x20000;
inline constexpr std::uint64_t flagControl = 0x40000;
inline constexpr std::uint64_t flagAlt = 0x80000;
inline constexpr std::uint64_t flagSuper = 0x100000;
inline constexpr std::uint64_t comboModifiers = flagShift | flagControl | flagAlt | flagSuper;

// The nine modifier keys and the device-dependent flag bit each sets while down.
extern const QMap<std::int64_t, std::uint64_t> modifierMasks;
// Keys whose names must not depend on the keyboard layout.
extern const QMap<std::int64_t, QString> specialKeyNames;

// The hotkey in force, for the key listener thread; guarded by hotkeyLock,
// which is held only to copy or assign them.
extern std::mutex hotkeyLock;
extern std::int64_t activeHotkey;
extern std::uint64_t activeHotkeyModifiers;

// The character a key types without modifiers in the current keyboard layout,
// or an empty string. Filled in by the platform; empty means no layout service.
extern std::function<QString(std::int64_t code)> keyLayoutCharacter;

// The stored hotkey: 61 when nothing is stored, hotkeyNone for -1 and for values
// outside the model (not an integer, outside 0...65535) from a hand-edited file.
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

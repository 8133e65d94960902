#pragma once

#include <cstdint>

namespace parlotta {

inline constexpr std::int64_t capsLockKey = 57;

// The virtual key code of a Linux evdev key code (X keycode - 8); a key with no
// counterpart gets 256 + its X keycode.
std::int64_t virtualKeyFromEvdev(int evdev);
// The evdev code of a virtual key code, or -1 when there is none.
int evdevFromVirtualKey(std::int64_t code);

} // namespace parlotta

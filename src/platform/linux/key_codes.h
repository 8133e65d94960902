#pragma once

#include <cstdint>

namespace parlotta {

// A key with no virtual code is numbered from here by its evdev code, which
// no display server renumbers.
inline constexpr std::int64_t keyWithoutCounterpart = 0x8000; // stored codes end at 65535

// The virtual key code of a Linux evdev key code (X keycode - 8).
std::int64_t virtualKeyFromEvdev(int evdev);
// The evdev code of a virtual key code, or -1 when there is none; also reads
// the 256 + X keycode that earlier versions stored for keys without one.
int evdevFromVirtualKey(std::int64_t code);

} // namespace parlotta

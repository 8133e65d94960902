#pragma once

#include <QString>
#include <cstdint>

namespace parlotta {

enum class BindingCompositor { Sway, Hyprland };

// The lines that bind the hotkey in the compositor's own configuration: the
// key (its keysym name) with its modifiers (flagShift …) runs program with
// --press when pressed and --release when released (the daemon's hotkey mode
// decides what they do). program is quoted for the
// compositor's shell where it holds anything but plain path characters.
QString compositorBindingLines(BindingCompositor compositor, QString program,
                               const QString &keyName, std::uint64_t modifiers);

} // namespace parlotta

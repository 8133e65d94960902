#pragma once

#include <QString>

namespace parlotta {

// Registers (true) or unregisters (false) the daemon as an XDG autostart entry;
// the outcome is only logged.
void setOpenAtLogin(bool enabled);

// True when the autostart entry exists, starts this very executable and is not
// disabled by the desktop (Hidden=true, X-GNOME-Autostart-enabled=false).
bool openAtLoginEnabled();

// Where no applications folder holds Parlotta's entry (a build tree, a copy
// unpacked from the zip), writes one for the user that starts this very
// executable: the desktop portals know an application, and KWin grants fake
// input, only by such an entry. The outcome is only logged.
void installApplicationEntry();

// $XDG_CONFIG_HOME/autostart/parlotta.desktop
QString autostartFilePath();

// The desktop entry's Exec= value naming program, quoted where needed.
QString desktopExecValue(const QString &program);
// The program an Exec= value starts (its first word, unquoted).
QString desktopExecProgram(const QString &exec);

} // namespace parlotta

#pragma once

#include <X11/Xlib.h>

namespace parlotta {

// A new connection to the display useX11Display named; null without one.
Display *openX11Display();

// The main thread's own X connection, for the paste keystroke and the layout
// questions; null without a display. Nothing else reads its events, so each
// call takes in the keymap changes (setxkbmap, a layout switch) that arrived.
Display *mainThreadDisplay();

} // namespace parlotta

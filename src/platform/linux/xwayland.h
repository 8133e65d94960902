#pragma once

// What X11 offers a Wayland session through XWayland: the services x11/
// builds, handed to the Wayland ones by the backend table (backends.cpp), so
// that neither folder includes the other. Each is made on first use.
#include "platform/clipboard.h"
#include "platform/key_injector.h"
#include "platform/keyboard.h"

namespace parlotta {

struct XWaylandServices {
    KeyboardHook &(*keyboard)();
    KeyInjector &(*injector)();
    // Whether an X11 window has the focus.
    bool (*windowHasFocus)();
    Clipboard &(*clipboard)();
    Clipboard &(*primary)();
    void (*handOverClipboard)();
};

} // namespace parlotta

#include "platform/linux/backends.h"
#include "platform/linux/xwayland.h"
#include "platform/wayland/wayland_services.h"
#include "platform/x11/x11_services.h"

namespace parlotta {

namespace {

// What X11 lends a Wayland session through XWayland.
const XWaylandServices xwayland = {x11KeyboardHook, x11KeyInjector,      x11WindowHasFocus,
                                   x11Clipboard,    x11PrimarySelection, x11HandOverClipboard};

// Wayland where the compositor offers a client the clipboard or the keyboard;
// else X11, which serves an X11 session, a Wayland one through XWayland (GNOME),
// and no display at all.
const PlatformBackend backends[] = {
    {"Wayland", waylandServes,
     [](const Session &session) { return createWaylandServices(session, xwayland); }},
    {"X11", [](const Session &) { return true; },
     [](const Session &) { return createX11Services(); }},
};

} // namespace

std::span<const PlatformBackend> linuxPlatformBackends()
{
    return backends;
}

void initPlatform()
{
    initX11Threads();
}

} // namespace parlotta

#pragma once

// The Wayland implementations of the platform services, private to
// platform_linux; linux_platform.cpp chooses among them.
#include "platform/clipboard.h"
#include "platform/compositor_bindings.h"
#include "platform/key_injector.h"
#include "platform/keyboard.h"
#include "platform/wayland/xwayland_display.h"

#include <memory>
#include <xkbcommon/xkbcommon.h>

namespace parlotta {

class WaylandConnection;

std::unique_ptr<Clipboard> createDataControlClipboard(WaylandConnection &connection, bool primary);

std::unique_ptr<KeyInjector> createFakeInputInjector(WaylandConnection &connection);
std::unique_ptr<KeyInjector> createVirtualKeyboardInjector(WaylandConnection &connection);
// Whether the desktop portal offers a remote desktop session (one typing device).
bool remoteDesktopPortalRuns();
std::unique_ptr<KeyInjector> createPortalInjector(WaylandConnection &connection);
// XTest (x11Injector) while an X11 window has the focus, else the Wayland injector.
std::unique_ptr<KeyInjector> createXWaylandFirstInjector(KeyInjector &x11Injector,
                                                         bool (*x11HasFocus)(),
                                                         std::unique_ptr<KeyInjector> wayland);

// Whether KDE's global shortcut service runs on the session bus (or starts on demand).
bool kdeShortcutsRun();
std::unique_ptr<ShortcutSource> createKdeShortcuts(WaylandConnection &connection);
// Whether the desktop portal offers global shortcuts (GNOME 48 and later).
bool portalOffersShortcuts();
std::unique_ptr<ShortcutSource> createPortalShortcuts(WaylandConnection &connection);
// Bindings the user writes into the compositor's own configuration.
std::unique_ptr<ShortcutSource> createCompositorBindings(BindingCompositor compositor,
                                                         WaylandConnection &connection);

// The seat's layout, as the compositor last sent it.
QString waylandKeyCharacter(WaylandConnection &connection, int evdev);
bool waylandIsLevel3Shift(WaylandConnection &connection, int evdev);
XWaylandDisplay findXWayland(WaylandConnection &connection);

// Whether the key (evdev code) is a Control, Shift, Alt or Super key.
bool isModifierKey(int evdev);

} // namespace parlotta

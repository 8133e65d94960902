#pragma once

// The Wayland implementations of the platform services, private to platform_linux.
#include "platform/key_injector.h"
#include "platform/keyboard.h"
#include "platform/platform.h"

#include <memory>
#include <xkbcommon/xkbcommon.h>

namespace parlotta {

class WaylandConnection;
struct XWaylandServices;

// Whether the session's compositor offers what the Wayland services need
// (data control, a virtual keyboard or KWin's fake input); the services then
// use the connection this opened.
bool waylandServes(const Session &session);
// What the compositor lacks falls back to XWayland's services where it runs.
std::unique_ptr<PlatformServices> createWaylandServices(const Session &session,
                                                        const XWaylandServices &x11Services);

// KWin's fake input where granted, else a virtual keyboard, else the remote
// desktop portal; null with none.
std::unique_ptr<KeyInjector> createWaylandKeyInjector(WaylandConnection &connection);
// KDE's global shortcut service, when it runs on the session bus.
std::unique_ptr<ShortcutSource> createKdeShortcuts(const QString &desktop,
                                                   WaylandConnection &connection);
// The desktop portal's global shortcuts (GNOME 48 and later); null without.
std::unique_ptr<ShortcutSource> createPortalShortcuts(WaylandConnection &connection);
// Whether the key (evdev code) is a Control, Shift, Alt or Super key.
bool isModifierKey(int evdev);
// The keysym a key (evdev code) types unshifted in the seat's layout.
xkb_keysym_t keysymOf(WaylandConnection &connection, int evdev);

} // namespace parlotta

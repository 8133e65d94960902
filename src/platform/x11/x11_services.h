#pragma once

// The X11 implementations of the platform services, private to platform_linux:
// each is made on first use and lives until the process ends.
#include "platform/clipboard.h"
#include "platform/key_injector.h"
#include "platform/keyboard.h"

#include <memory>

class QWindow;

namespace parlotta {

class PlatformServices;

KeyboardHook &x11KeyboardHook();
KeyInjector &x11KeyInjector();
// Whether an X11 window has the focus (on a Wayland desktop, an XWayland one).
bool x11WindowHasFocus();
Clipboard &x11Clipboard();
Clipboard &x11PrimarySelection();
// Hands what we own of the clipboard to the clipboard manager (see Clipboard).
void x11HandOverClipboard();
QString x11KeyCharacter(int evdev);
bool x11IsLevel3Shift(int evdev);
void x11ActivateWindow(QWindow *window);

// X11 as a whole: an X11 session, and no display at all (every service then
// answers that it cannot).
std::unique_ptr<PlatformServices> createX11Services();
// Xlib for several threads, and its errors left to the code that checks its results.
void initX11Threads();

} // namespace parlotta

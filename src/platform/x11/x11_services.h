#pragma once

// The X11 implementations of the platform services, private to platform_linux:
// each is made on first use and lives until the process ends.
#include "platform/clipboard.h"
#include "platform/key_injector.h"
#include "platform/keyboard.h"

#include <QByteArray>
#include <QString>

class QWindow;

namespace parlotta {

KeyboardHook &x11KeyboardHook();
// The injector's key event (X keycode), announced to the listener so that it
// does not take it for the user's.
void expectInjectedX11Key(int keycode, bool pressed);
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

// The display every X11 service opens (the session's, or XWayland's) and,
// where the environment gives none, its authority file. Before any service is made.
void useX11Display(const QByteArray &name, const QString &authorityFile);
QByteArray x11DisplayName();
// Whether the display answers now (it opens the main thread's connection).
bool x11DisplayAnswers();
// Xlib for several threads, and its errors left to the code that checks its results.
void initX11Threads();

} // namespace parlotta

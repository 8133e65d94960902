// Qt before Xlib, whose macros (Bool, Status) clash with Qt's names.
#include <QGuiApplication>
#include <QWindow>

#include "platform/x11/x11_display.h"
#include "platform/x11/x11_services.h"

namespace parlotta {

void x11ActivateWindow(QWindow *window)
{
    if (!window)
        return;
    // Qt on Wayland (our X11 services over XWayland): the window is not an X window.
    Display *display = mainThreadDisplay();
    if (!display || QGuiApplication::platformName() != QStringLiteral("xcb")) {
        window->requestActivate();
        return;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = Window(window->winId());
    event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2; // source: a pager, which acts for the user
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, DefaultRootWindow(display), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(display);
}

} // namespace parlotta

#include "platform/windowing.h"

#include <X11/Xlib.h>

namespace parlotta {

void activateWindowForUser(std::uint64_t window)
{
    static Display *display = XOpenDisplay(nullptr); // main thread only
    if (!display || !window)
        return;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = Window(window);
    event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2; // source: a pager, which acts for the user
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, DefaultRootWindow(display), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(display);
}

} // namespace parlotta

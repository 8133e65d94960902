#include "platform/platform.h"
#include "platform/x11/x11_display.h"

namespace parlotta {

namespace {

// Xlib's default handler ends the process on any error, and errors here are
// routine: a paste target that closed its window while we answer it, a key
// grab that another program holds. The code that cares checks its results.
int ignoreXError(Display *, XErrorEvent *)
{
    return 0;
}

} // namespace

void initPlatform()
{
    XInitThreads();
    XSetErrorHandler(ignoreXError);
}

Display *mainThreadDisplay()
{
    static Display *display = XOpenDisplay(nullptr);
    while (display && XPending(display)) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MappingNotify)
            XRefreshKeyboardMapping(&event.xmapping);
    }
    return display;
}

} // namespace parlotta

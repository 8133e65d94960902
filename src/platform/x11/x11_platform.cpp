#include "platform/platform.h"

#include <X11/Xlib.h>

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

} // namespace parlotta

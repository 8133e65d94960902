// Presses or releases keys through XTest, as a physical keyboard would:
//   xkey down|up|tap KEYCODE...
// or holds a passive grab of one key, as another program's shortcut would,
// until it is killed:
//   xkey grab KEYCODE
// or tells whether a system tray (XEmbed) is docking icons on screen 0:
//   xkey tray
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc < 2 || (argc < 3 && std::strcmp(argv[1], "tray") != 0))
        return 2;
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "xkey: no display\n");
        return 1;
    }
    if (std::strcmp(argv[1], "tray") == 0)
        return XGetSelectionOwner(display, XInternAtom(display, "_NET_SYSTEM_TRAY_S0", False)) ==
                       None
                   ? 1
                   : 0;
    if (std::strcmp(argv[1], "grab") == 0) {
        XGrabKey(display, std::atoi(argv[2]), AnyModifier, DefaultRootWindow(display), False,
                 GrabModeAsync, GrabModeAsync);
        XSync(display, False);
        std::printf("grabbed\n");
        std::fflush(stdout);
        while (true) {
            XEvent event;
            XNextEvent(display, &event);
        }
    }
    for (int i = 2; i < argc; ++i) {
        const unsigned code = unsigned(std::atoi(argv[i]));
        if (std::strcmp(argv[1], "up") != 0)
            XTestFakeKeyEvent(display, code, True, CurrentTime);
        if (std::strcmp(argv[1], "down") != 0)
            XTestFakeKeyEvent(display, code, False, CurrentTime);
    }
    XSync(display, False);
    XCloseDisplay(display);
    return 0;
}

// Presses or releases keys through XTest, as a physical keyboard would:
//   xkey down|up|tap KEYCODE...
// or holds a passive grab of one key, as another program's shortcut would,
// until it is killed:
//   xkey grab KEYCODE
// or tells whether a selection has an owner ("_NET_SYSTEM_TRAY_S0": an XEmbed tray):
//   xkey owner SELECTION
// or asks a window to close, as its close button in the title bar does:
//   xkey close WINDOW
// or holds the whole keyboard, as a program with a menu open does, until killed:
//   xkey grabkeyboard
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc < 2 || (argc < 3 && std::strcmp(argv[1], "grabkeyboard") != 0))
        return 2;
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "xkey: no display\n");
        return 1;
    }
    if (std::strcmp(argv[1], "owner") == 0)
        return XGetSelectionOwner(display, XInternAtom(display, argv[2], False)) == None ? 1 : 0;
    if (std::strcmp(argv[1], "close") == 0) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = Window(std::strtoul(argv[2], nullptr, 0));
        event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = long(XInternAtom(display, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, event.xclient.window, False, NoEventMask, &event);
        XSync(display, False);
        return 0;
    }
    if (std::strcmp(argv[1], "grabkeyboard") == 0) {
        if (XGrabKeyboard(display, DefaultRootWindow(display), False, GrabModeAsync, GrabModeAsync,
                          CurrentTime) != GrabSuccess)
            return 1;
        XSync(display, False);
        std::printf("grabbed\n");
        std::fflush(stdout);
        while (true) {
            XEvent event;
            XNextEvent(display, &event);
        }
    }
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

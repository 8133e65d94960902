// Presses or releases keys through XTest, as a physical keyboard would:
//   xkey down|up|tap KEYCODE...
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char *argv[])
{
    if (argc < 3)
        return 2;
    Display *display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "xkey: no display\n");
        return 1;
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

// "Settings…" -> the window on screen, the first time and afterwards, and the
// daemon's memory after the window was shown and closed ten times. Run it
// inside the headless desktop:
//   tests/support/headless-desktop.sh build/bench/bench_settings
#include "daemon_process.h"
#include "desktop_helpers.h"
#include "test_panel.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <algorithm>
#include <cstdio>

namespace {

// The client window titled "Settings", if the window manager shows one.
Window settingsWindow(Display *display)
{
    Atom type;
    int format;
    unsigned long count = 0, after;
    unsigned char *data = nullptr;
    XGetWindowProperty(display, DefaultRootWindow(display),
                       XInternAtom(display, "_NET_CLIENT_LIST", False), 0, 1024, False, XA_WINDOW,
                       &type, &format, &count, &after, &data);
    Window found = 0;
    for (unsigned long i = 0; i < count && !found; ++i) {
        const Window w = reinterpret_cast<Window *>(data)[i];
        char *name = nullptr;
        XWindowAttributes attributes;
        if (XFetchName(display, w, &name) && name && qstrcmp(name, "Settings") == 0 &&
            XGetWindowAttributes(display, w, &attributes) && attributes.map_state == IsViewable)
            found = w;
        if (name)
            XFree(name);
    }
    if (data)
        XFree(data);
    return found;
}

// Windows come and go while we look at them.
int ignoreXError(Display *, XErrorEvent *)
{
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    Display *display = XOpenDisplay(nullptr);
    XSetErrorHandler(ignoreXError);
    QObject watcher;
    TestPanel panel(&watcher);
    DaemonProcess daemon(ServerKind::StandIn);
    daemon.installModel(QStringLiteral("hello"));
    if (!display || !panel.start() || !daemon.start() || panel.waitForItem().isEmpty() ||
        !waitUntil([&] { return panel.menu().find(QStringLiteral("Settings…")); }, 5000)) {
        std::fprintf(stderr, "bench: could not set up the desktop, the panel or the daemon\n");
        return 1;
    }
    const int item = panel.menu().find(QStringLiteral("Settings…"))->id;
    waitUntil([] { return false; }, 1000); // settled after start-up
    const double before = residentMb(daemon.pid());
    QList<double> shows;
    double afterFirst = 0;
    for (int i = 0; i < 11; ++i) {
        QElapsedTimer clock;
        clock.start();
        panel.click(item);
        while (!settingsWindow(display) && clock.elapsed() < 5000)
            QThread::usleep(500);
        shows << double(clock.nsecsElapsed()) / 1e6;
        const Window window = settingsWindow(display);
        waitUntil([] { return false; }, 300);
        QProcess::execute(QStringLiteral(XKEY), {QStringLiteral("close"), QString::number(window)});
        waitUntil([&] { return !settingsWindow(display); }, 5000);
        waitUntil([] { return false; }, 300);
        if (i == 0)
            afterFirst = residentMb(daemon.pid());
    }
    const double afterAll = residentMb(daemon.pid());
    QList<double> later = shows.mid(1);
    std::sort(later.begin(), later.end());
    std::printf(
        "Settings… -> window on screen: first %.1f ms, afterwards median %.1f ms, max %.1f ms\n",
        shows.first(), later[later.size() / 2], later.last());
    std::printf(
        "RSS: %.1f MB before, %.1f MB after the first showing (+%.1f), %.1f MB after ten more "
        "(+%.1f)\n",
        before, afterFirst, afterFirst - before, afterAll, afterAll - afterFirst);
    return 0;
}

#include "platform/x11/x11_clipboard.h"
#include "core/threads.h"
#include "platform/clipboard_formats.h"
#include "platform/x11/x11_display.h"
#include "platform/x11/x11_services.h"

#include <fcntl.h>
#include <poll.h>

namespace parlotta {

X11Clipboard::X11Clipboard(const char *selection)
    : selectionName(selection)
{
    // Serves the selection for the life of the process.
    startThread(QString::fromLatin1(selection), [this] { run(); });
}

void X11Clipboard::save(SaveDone done)
{
    queue.post([this, done = std::move(done)] {
        QList<X11Format> read;
        QString error;
        const bool complete = readClipboard(&read, &error);
        savedLabels.clear();
        QList<ClipboardFormat> formats;
        for (X11Format &format : read) {
            formats.append({format.target, format.data});
            format.data.clear();
            savedLabels.insert(format.target, format);
        }
        QMetaObject::invokeMethod(
            qApp, [done, complete, formats, error] { done(complete, formats, error); },
            Qt::QueuedConnection);
    });
}

void X11Clipboard::setText(const QString &text)
{
    QList<X11Format> formats;
    for (const ClipboardFormat &format : transcriptFormats(text))
        // TEXT asks for text in any encoding; the answer names the one it is in.
        formats.append({format.mimeType,
                        format.mimeType == "TEXT" ? "UTF8_STRING" : format.mimeType, 8,
                        format.data});
    call<bool>([&] {
        own(formats, true);
        return true;
    });
}

bool X11Clipboard::pasteRead()
{
    return reads.pasteRead();
}

void X11Clipboard::clear()
{
    call<bool>([&] {
        own({}, false);
        return true;
    });
}

void X11Clipboard::restore(const QList<ClipboardFormat> &formats)
{
    call<bool>([&] {
        QList<X11Format> labelled;
        for (const ClipboardFormat &format : formats) {
            const X11Format label =
                savedLabels.value(format.mimeType, {format.mimeType, format.mimeType, 8, {}});
            labelled.append({format.mimeType, label.propertyType, label.bits, format.data});
        }
        own(labelled, false);
        return true;
    });
}

void X11Clipboard::run()
{
    display = openX11Display();
    if (display) {
        const Window root = DefaultRootWindow(display);
        window = XCreateSimpleWindow(display, root, -10, -10, 1, 1, 0, 0, 0);
        XSelectInput(display, window, PropertyChangeMask);
        auto atom = [this](const char *name) { return XInternAtom(display, name, False); };
        atomSelection = atom(selectionName);
        atomTargets = atom("TARGETS");
        atomMultiple = atom("MULTIPLE");
        atomTimestamp = atom("TIMESTAMP");
        atomSaveTargets = atom("SAVE_TARGETS");
        atomIncr = atom("INCR");
        atomProperty = atom("PARLOTTA_CLIPBOARD");
        atomTimeProbe = atom("PARLOTTA_TIME");
        const long maxRequest = XExtendedMaxRequestSize(display) > 0
                                    ? XExtendedMaxRequestSize(display)
                                    : XMaxRequestSize(display);
        chunkBytes = std::min<qsizetype>(256 * 1024, qsizetype(maxRequest) * 4 - 1024);
    }
    while (true) {
        if (display)
            while (XPending(display)) {
                XEvent event;
                XNextEvent(display, &event);
                handle(event);
            }
        pollfd fds[2] = {{queue.fd(), POLLIN, 0},
                         {display ? ConnectionNumber(display) : -1, POLLIN, 0}};
        poll(fds, 2, -1);
        if (fds[0].revents & POLLIN)
            queue.run();
    }
}

bool X11Clipboard::waitFor(XEvent &out, int timeoutMs,
                           const std::function<bool(const XEvent &)> &wanted)
{
    QElapsedTimer clock;
    clock.start();
    XFlush(display);
    while (true) {
        while (XPending(display)) {
            XNextEvent(display, &out);
            if (wanted(out))
                return true;
            handle(out);
        }
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0)
            return false;
        pollfd fd{ConnectionNumber(display), POLLIN, 0};
        poll(&fd, 1, int(left));
    }
}

bool X11Clipboard::handOverToManager(int timeoutMs)
{
    return call<bool>([&] { return handOver(timeoutMs); });
}

namespace {
// Each serves until the process ends; PRIMARY's thread starts only when an
// xterm-family window is first pasted into.
X11Clipboard *clipboardInstance = nullptr;
} // namespace

Clipboard &x11Clipboard()
{
    static X11Clipboard *instance = clipboardInstance = new X11Clipboard("CLIPBOARD");
    return *instance;
}

void x11HandOverClipboard()
{
    if (clipboardInstance) // never used: nothing of ours to hand over
        clipboardInstance->handOverToManager(1000);
}

Clipboard &x11PrimarySelection()
{
    static X11Clipboard *instance = new X11Clipboard("PRIMARY");
    return *instance;
}

} // namespace parlotta

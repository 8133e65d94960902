#include "platform/paste.h"

#include <QElapsedTimer>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <condition_variable>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <future>
#include <mutex>
#include <poll.h>
#include <thread>
#include <unistd.h>

namespace parlotta {

namespace {

constexpr int saveBudgetMs = 1000;
constexpr int graceAfterReadMs = 40;

// An incremental (INCR) transfer to one requestor, sent chunk by chunk.
struct OutgoingTransfer {
    Window requestor;
    Atom property;
    ClipboardFormat format;
    qsizetype offset = 0;
};

class X11Clipboard final : public Clipboard {
  public:
    X11Clipboard()
    {
        if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
            wake[0] = wake[1] = -1;
        worker = std::thread([this] { run(); });
        worker.detach(); // serves the clipboard for the life of the process
    }

    bool save(QList<ClipboardFormat> *formats, QString *error) override
    {
        return call<bool>([&] { return readClipboard(formats, error); });
    }

    void setText(const QString &text) override
    {
        const QByteArray utf8 = text.toUtf8();
        const QByteArray latin1 = text.toLatin1();
        call<bool>([&] {
            QList<ClipboardFormat> formats = {
                {"UTF8_STRING", "UTF8_STRING", 8, utf8},
                {"text/plain;charset=utf-8", "text/plain;charset=utf-8", 8, utf8},
                {"STRING", "STRING", 8, latin1},
                {"TEXT", "UTF8_STRING", 8, utf8},
            };
            own(formats, true);
            return true;
        });
    }

    bool waitForPaste(int minMs, int maxMs) override
    {
        QElapsedTimer clock;
        clock.start();
        std::unique_lock lock(readMutex);
        while (true) {
            const qint64 now = clock.elapsed();
            const bool read = textReads > 0;
            if (now >= maxMs)
                return read;
            if (read && now >= minMs && lastRead.elapsed() >= graceAfterReadMs)
                return true;
            qint64 next = maxMs - now;
            if (now < minMs)
                next = std::min<qint64>(next, minMs - now);
            if (read)
                next = std::min<qint64>(next,
                                        std::max<qint64>(1, graceAfterReadMs - lastRead.elapsed()));
            readChanged.wait_for(lock, std::chrono::milliseconds(next));
        }
    }

    void clear() override
    {
        call<bool>([&] {
            own({}, false);
            return true;
        });
    }

    void restore(const QList<ClipboardFormat> &formats) override
    {
        call<bool>([&] {
            own(formats, false);
            return true;
        });
    }

  private:
    // Runs work on the clipboard thread and waits for its result.
    template <typename T> T call(std::function<T()> work)
    {
        std::packaged_task<T()> task(std::move(work));
        std::future<T> result = task.get_future();
        {
            std::lock_guard lock(queueMutex);
            queue.emplace_back([&task] { task(); });
        }
        [[maybe_unused]] const ssize_t n = ::write(wake[1], "x", 1);
        return result.get();
    }

    void run()
    {
        display = XOpenDisplay(nullptr);
        if (display) {
            const Window root = DefaultRootWindow(display);
            window = XCreateSimpleWindow(display, root, -10, -10, 1, 1, 0, 0, 0);
            XSelectInput(display, window, PropertyChangeMask);
            auto atom = [this](const char *name) { return XInternAtom(display, name, False); };
            atomClipboard = atom("CLIPBOARD");
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
            pollfd fds[2] = {{wake[0], POLLIN, 0},
                             {display ? ConnectionNumber(display) : -1, POLLIN, 0}};
            poll(fds, 2, -1);
            char drain[64];
            while (::read(wake[0], drain, sizeof drain) > 0) {
            }
            runQueued();
        }
    }

    void runQueued()
    {
        std::deque<std::function<void()>> work;
        {
            std::lock_guard lock(queueMutex);
            work.swap(queue);
        }
        for (auto &job : work)
            job();
    }

    // A timestamp from the server, as ownership changes should carry.
    Time serverTime()
    {
        XChangeProperty(display, window, atomTimeProbe, XA_STRING, 8, PropModeAppend, nullptr, 0);
        XEvent event;
        if (waitFor(event, 200, [this](const XEvent &e) {
                return e.type == PropertyNotify && e.xproperty.window == window &&
                       e.xproperty.atom == atomTimeProbe;
            }))
            return event.xproperty.time;
        return CurrentTime;
    }

    void own(const QList<ClipboardFormat> &formats, bool isTranscript)
    {
        {
            std::lock_guard lock(readMutex);
            textReads = 0;
            servingTranscript = isTranscript;
        }
        owned = formats;
        if (!display)
            return;
        if (formats.isEmpty()) {
            if (XGetSelectionOwner(display, atomClipboard) == window)
                XSetSelectionOwner(display, atomClipboard, None, serverTime());
        } else {
            ownedSince = serverTime();
            XSetSelectionOwner(display, atomClipboard, window, ownedSince);
        }
        XFlush(display);
    }

    // Waits for an event matching wanted, serving every other event meanwhile.
    bool waitFor(XEvent &out, int timeoutMs, const std::function<bool(const XEvent &)> &wanted)
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

    // Converts the clipboard to target; the data lands in *format. Handles INCR.
    bool fetch(Atom target, ClipboardFormat *format, QElapsedTimer &clock)
    {
        XDeleteProperty(display, window, atomProperty);
        XConvertSelection(display, atomClipboard, target, atomProperty, window, CurrentTime);
        XEvent event;
        if (!waitFor(event, int(saveBudgetMs - clock.elapsed()),
                     [this](const XEvent &e) {
                         return e.type == SelectionNotify && e.xselection.requestor == window;
                     }) ||
            event.xselection.property == None)
            return false;
        Atom type = None;
        if (!readProperty(&type, format, true))
            return false;
        if (type != atomIncr)
            return true;
        // Incremental: each deletion asks for the next chunk; an empty one ends it.
        format->data.clear();
        while (true) {
            if (!waitFor(event, int(saveBudgetMs - clock.elapsed()), [this](const XEvent &e) {
                    return e.type == PropertyNotify && e.xproperty.window == window &&
                           e.xproperty.atom == atomProperty &&
                           e.xproperty.state == PropertyNewValue;
                }))
                return false;
            ClipboardFormat chunk;
            if (!readProperty(&type, &chunk, true))
                return false;
            if (chunk.data.isEmpty())
                return true;
            format->data += chunk.data;
            format->propertyType = chunk.propertyType;
            format->bits = chunk.bits;
        }
    }

    bool readProperty(Atom *type, ClipboardFormat *format, bool remove)
    {
        int bits = 0;
        unsigned long items = 0, after = 0;
        unsigned char *data = nullptr;
        if (XGetWindowProperty(display, window, atomProperty, 0, 0x1fffffff, remove,
                               AnyPropertyType, type, &bits, &items, &after, &data) != Success)
            return false;
        // Xlib hands 32-bit items over as longs; they go back the same way.
        const qsizetype unit = bits == 32 ? qsizetype(sizeof(long)) : bits / 8;
        format->data = QByteArray(reinterpret_cast<const char *>(data), qsizetype(items) * unit);
        format->bits = bits ? bits : 8;
        if (*type != None) {
            char *name = XGetAtomName(display, *type);
            format->propertyType = name;
            XFree(name);
        }
        if (data)
            XFree(data);
        return true;
    }

    bool readClipboard(QList<ClipboardFormat> *formats, QString *error)
    {
        formats->clear();
        if (!display) {
            *error = QStringLiteral("no X display");
            return false;
        }
        const Window owner = XGetSelectionOwner(display, atomClipboard);
        if (owner == None)
            return true;
        if (owner == window) {
            *formats = owned;
            return true;
        }
        QElapsedTimer clock;
        clock.start();
        ClipboardFormat list;
        if (!fetch(atomTargets, &list, clock)) {
            *error = QStringLiteral("the clipboard owner did not answer");
            return false;
        }
        const auto *targets = reinterpret_cast<const Atom *>(list.data.constData());
        const qsizetype count = list.bits == 32 ? list.data.size() / qsizetype(sizeof(Atom)) : 0;
        for (qsizetype i = 0; i < count; ++i) {
            const Atom target = targets[i];
            if (target == atomTargets || target == atomMultiple || target == atomTimestamp ||
                target == atomSaveTargets || target == None)
                continue;
            char *name = XGetAtomName(display, target);
            ClipboardFormat format;
            format.target = name;
            XFree(name);
            if (std::any_of(formats->cbegin(), formats->cend(),
                            [&](const ClipboardFormat &f) { return f.target == format.target; }))
                continue;
            if (fetch(target, &format, clock))
                formats->append(format);
            if (clock.elapsed() >= saveBudgetMs) {
                // What was read so far is kept: better some formats back than none.
                *error = QStringLiteral("the clipboard owner answered too slowly");
                return false;
            }
        }
        return true;
    }

    void handle(const XEvent &event)
    {
        if (event.type == SelectionClear && event.xselectionclear.window == window &&
            event.xselectionclear.selection == atomClipboard) {
            owned.clear(); // another application copied something
        } else if (event.type == SelectionRequest) {
            answer(event.xselectionrequest);
        } else if (event.type == PropertyNotify && event.xproperty.state == PropertyDelete) {
            continueTransfer(event.xproperty.window, event.xproperty.atom);
        }
    }

    void answer(const XSelectionRequestEvent &request)
    {
        XSelectionEvent reply{};
        reply.type = SelectionNotify;
        reply.display = request.display;
        reply.requestor = request.requestor;
        reply.selection = request.selection;
        reply.target = request.target;
        reply.time = request.time;
        // Obsolete clients name no property: the target doubles as one.
        const Atom property = request.property == None ? request.target : request.property;
        reply.property = serve(request.requestor, request.target, property) ? property : None;
        XSendEvent(display, request.requestor, False, NoEventMask,
                   reinterpret_cast<XEvent *>(&reply));
        XFlush(display);
    }

    bool serve(Window requestor, Atom target, Atom property)
    {
        if (owned.isEmpty())
            return false;
        if (target == atomTargets) {
            QList<Atom> atoms = {atomTargets, atomTimestamp};
            for (const ClipboardFormat &f : std::as_const(owned))
                atoms << XInternAtom(display, f.target.constData(), False);
            XChangeProperty(display, requestor, property, XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char *>(atoms.constData()),
                            int(atoms.size()));
            return true;
        }
        if (target == atomTimestamp) {
            const long time = long(ownedSince);
            XChangeProperty(display, requestor, property, XA_INTEGER, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char *>(&time), 1);
            return true;
        }
        char *name = XGetAtomName(display, target);
        const QByteArray wanted = name ? name : "";
        if (name)
            XFree(name);
        const auto it = std::find_if(owned.cbegin(), owned.cend(),
                                     [&](const ClipboardFormat &f) { return f.target == wanted; });
        if (it == owned.cend())
            return false;
        if (it->data.size() > chunkBytes) {
            // Too big for one request: announce an incremental transfer.
            XSelectInput(display, requestor, PropertyChangeMask);
            const long size = long(it->data.size());
            XChangeProperty(display, requestor, property, atomIncr, 32, PropModeReplace,
                            reinterpret_cast<const unsigned char *>(&size), 1);
            transfers.push_back({requestor, property, *it, 0});
        } else {
            writeProperty(requestor, property, *it, it->data);
        }
        noteRead();
        return true;
    }

    void writeProperty(Window requestor, Atom property, const ClipboardFormat &format,
                       const QByteArray &bytes)
    {
        const Atom type = XInternAtom(
            display, format.propertyType.isEmpty() ? "STRING" : format.propertyType.constData(),
            False);
        const qsizetype unit = format.bits == 32 ? qsizetype(sizeof(long)) : format.bits / 8;
        XChangeProperty(display, requestor, property, type, format.bits, PropModeReplace,
                        reinterpret_cast<const unsigned char *>(bytes.constData()),
                        int(bytes.size() / unit));
    }

    void continueTransfer(Window requestor, Atom property)
    {
        for (auto it = transfers.begin(); it != transfers.end(); ++it) {
            if (it->requestor != requestor || it->property != property)
                continue;
            const qsizetype unit =
                it->format.bits == 32 ? qsizetype(sizeof(long)) : it->format.bits / 8;
            const qsizetype size =
                std::min(chunkBytes / unit * unit, it->format.data.size() - it->offset);
            writeProperty(requestor, property, it->format, it->format.data.mid(it->offset, size));
            it->offset += size;
            if (size == 0) { // the empty chunk that ends the transfer has been sent
                XSelectInput(display, requestor, NoEventMask);
                transfers.erase(it);
            }
            XFlush(display);
            return;
        }
    }

    void noteRead()
    {
        std::lock_guard lock(readMutex);
        if (!servingTranscript)
            return;
        ++textReads;
        lastRead.start();
        readChanged.notify_all();
    }

    int wake[2] = {-1, -1};
    std::thread worker;
    std::mutex queueMutex;
    std::deque<std::function<void()>> queue;

    // Clipboard thread only.
    Display *display = nullptr;
    Window window = 0;
    Atom atomClipboard = 0, atomTargets = 0, atomMultiple = 0, atomTimestamp = 0,
         atomSaveTargets = 0, atomIncr = 0, atomProperty = 0, atomTimeProbe = 0;
    qsizetype chunkBytes = 64 * 1024;
    QList<ClipboardFormat> owned;
    Time ownedSince = CurrentTime;
    std::deque<OutgoingTransfer> transfers;

    // Shared with the waiting main thread.
    std::mutex readMutex;
    std::condition_variable readChanged;
    bool servingTranscript = false;
    int textReads = 0;
    QElapsedTimer lastRead;
};

} // namespace

Clipboard &clipboard()
{
    static X11Clipboard *instance = new X11Clipboard; // serves until the process ends
    return *instance;
}

} // namespace parlotta

#pragma once

// The X11 clipboard, private to this folder: one class whose methods are spread
// over three files by concern: the thread and the interface
// (x11_clipboard.cpp), reading another owner's content (x11_clipboard_save.cpp)
// and owning and serving ours (x11_clipboard_serve.cpp).
#include "platform/clipboard.h"
#include "platform/served_selection.h"
#include "platform/thread_queue.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <X11/Xlib.h>
#include <functional>
#include <mutex>

namespace parlotta {

// One format as X serves it: the target, the type the owner labelled the
// data with, and the element size (8, 16 or 32 bits; 32-bit elements held as longs, as Xlib does).
struct X11Format {
    QByteArray target;
    QByteArray propertyType;
    int bits = 8;
    QByteArray data;
};

// An incremental (INCR) transfer to one requestor, sent chunk by chunk.
struct OutgoingTransfer {
    Window requestor;
    Atom property;
    X11Format format;
    qsizetype offset = 0;
};

// One X selection (CLIPBOARD, or PRIMARY for the xterm family), read and
// served on a thread of its own with its own connection.
class X11Clipboard final : public Clipboard {
  public:
    explicit X11Clipboard(const char *selection);
    void save(SaveDone done) override;
    void setText(const QString &text) override;
    bool pasteRead() override;
    void clear() override;
    void restore(const QList<ClipboardFormat> &formats) override;
    // Gives what we own to the desktop's clipboard manager, if one runs, and
    // waits up to timeoutMs for it to take it; true once it has.
    bool handOverToManager(int timeoutMs);

  private:
    // Runs work on the clipboard thread and waits for its result.
    template <typename T> T call(std::function<T()> work)
    {
        return queue.call<T>(std::move(work));
    }

    void run();

    // A timestamp from the server, as ownership changes should carry.
    Time serverTime();
    void own(const QList<X11Format> &formats, bool isTranscript);

    // Waits for an event matching wanted, serving every other event meanwhile.
    bool waitFor(XEvent &out, int timeoutMs, const std::function<bool(const XEvent &)> &wanted);

    // Converts the clipboard to target; the data lands in *format. Handles INCR.
    bool fetch(Atom target, X11Format *format, QElapsedTimer &clock);
    bool readProperty(Atom *type, X11Format *format, bool remove);
    bool readClipboard(QList<X11Format> *formats, QString *error);
    void handle(const XEvent &event);
    void answer(const XSelectionRequestEvent &request);
    bool serve(Window requestor, Atom target, Atom property);
    bool serveMultiple(Window requestor, Atom property);
    void writeProperty(Window requestor, Atom property, const X11Format &format,
                       const QByteArray &bytes);
    void continueTransfer(Window requestor, Atom property);
    void noteRead();
    bool handOver(int timeoutMs);
    const char *selectionName;
    ThreadQueue queue;

    // Clipboard thread only.
    Display *display = nullptr;
    Window window = 0;
    Atom atomSelection = 0, atomTargets = 0, atomMultiple = 0, atomTimestamp = 0,
         atomSaveTargets = 0, atomIncr = 0, atomProperty = 0, atomTimeProbe = 0;
    qsizetype chunkBytes = 64 * 1024;
    QList<X11Format> owned;
    // How the formats read last were labelled, so that they are served again as they were.
    QHash<QByteArray, X11Format> savedLabels;
    Time ownedSince = CurrentTime;
    std::deque<OutgoingTransfer> transfers;

    TranscriptReads reads;
};

} // namespace parlotta

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>

namespace parlotta {

// How long save() may take in all, and how long after a paste target's last
// read pasteRead() waits for a second format.
inline constexpr int saveBudgetMs = 1000;
inline constexpr int graceAfterReadMs = 40;
// The most save() keeps of one format, and of all together: any text and a
// large screenshot fit; a larger format is left out (the others are kept), so
// that copying a huge file never costs the daemon its memory.
inline constexpr qsizetype maxSavedFormatBytes = qsizetype(64) << 20;
inline constexpr qsizetype maxSavedBytes = qsizetype(96) << 20;

// One format of the clipboard's content, as its owner served it.
struct ClipboardFormat {
    QByteArray mimeType; // e.g. "text/html", or the platform's own name ("UTF8_STRING")
    QByteArray data;

    bool operator==(const ClipboardFormat &) const = default;
};

// A selection holding the clipboard's content. Our content is served from a
// thread of its own, so a paste target can read it whatever the main thread does.
class Clipboard {
  public:
    virtual ~Clipboard() = default;
    // Reads every format the current owner offers (not the meta formats), on
    // the selection's own thread, bounded to about a second in all. Returns at
    // once; done runs on the main thread with what was read, and complete
    // false with the reason when the read failed or stopped short.
    using SaveDone = std::function<void(bool complete, const QList<ClipboardFormat> &formats,
                                        const QString &error)>;
    virtual void save(SaveDone done) = 0;
    // Makes text the clipboard's only content.
    virtual void setText(const QString &text) = 0;
    // Whether a paste target has read the text set last, and a short grace
    // for a second format has passed since its last read. Never waits.
    virtual bool pasteRead() = 0;
    // Leaves the clipboard empty.
    virtual void clear() = 0;
    // Makes formats the clipboard's content again, served as they were when
    // save() read them.
    virtual void restore(const QList<ClipboardFormat> &formats) = 0;
};

// The CLIPBOARD selection, which applications paste on Control+V.
Clipboard &clipboard();
// The PRIMARY selection, which the xterm family pastes on Shift+Insert.
Clipboard &primarySelection();

// At exit: while we own the clipboard (after a paste we hold the content we
// gave back), hands it to the desktop's clipboard manager, so that it outlives
// us. Bounded to about a second; nothing when no manager runs.
void handOverClipboardToManager();

} // namespace parlotta

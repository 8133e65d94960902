#include "dictation/paste.h"

#include "core/log.h"
#include "dictation/cues.h"
#include "platform/clipboard.h"
#include "platform/key_injector.h"

#include <QElapsedTimer>
#include <QQueue>
#include <QTimer>
#include <algorithm>
#include <optional>

namespace parlotta {

namespace {

// The target needs a few milliseconds to ask for the text; never restore the
// old content before it has, but do not hold the user's clipboard hostage either.
constexpr int minimumPasteWaitMs = 150;
constexpr int maximumPasteWaitMs = 1000;
// How often the wait looks whether the target has read the text: the main
// thread goes on with everything else in between.
constexpr int pasteCheckMs = 5;
// After held keys went up, the other keys of the combination follow within
// moments (Space goes up before Meta).
constexpr int heldKeysSettleMs = 150;

std::function<bool()> keysHeld;

using Keystroke = KeyInjector::Keystroke;

QString keystrokeName(Keystroke keystroke)
{
    switch (keystroke) {
    case Keystroke::ControlShiftV:
        return QStringLiteral("Ctrl+Shift+V");
    case Keystroke::ShiftInsert:
        return QStringLiteral("Shift+Insert");
    case Keystroke::Enter:
        return QStringLiteral("Enter");
    case Keystroke::ControlV:
        break;
    }
    return QStringLiteral("Ctrl+V");
}

QString pastedLine(const KeyInjector &injector, Keystroke keystroke)
{
    const QString line = QStringLiteral("Pasted via ") + injector.mechanism();
    return keystroke == Keystroke::ControlV
               ? line
               : line + QStringLiteral(" (%1)").arg(keystrokeName(keystroke));
}

// One selection's earlier content, taken and given back around the paste.
struct Saved {
    Clipboard *board;
    QList<ClipboardFormat> formats;
    bool complete = true; // false: the owner did not give what it held
};

// Whether the saved content is exactly this text, as we offer text.
bool holdsText(const Saved &saved, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    return std::any_of(saved.formats.cbegin(), saved.formats.cend(), [&](const ClipboardFormat &f) {
        return (f.mimeType == "text/plain;charset=utf-8" || f.mimeType == "UTF8_STRING") &&
               f.data == utf8;
    });
}

void giveBack(const Saved &saved)
{
    if (!saved.formats.isEmpty())
        saved.board->restore(saved.formats);
    else if (saved.complete) // it was empty, and is again
        saved.board->clear();
    else // nothing of it could be saved: the transcript is more use than nothing
        log(QStringLiteral("The clipboard's earlier content could not be saved; the transcript "
                           "stays on it"));
}

// The pastes, one at a time in the order their texts came: each offers its
// text, posts the keystroke, waits on timers until the target has read it, and
// gives the clipboard back before the next one starts.
class Paster {
  public:
    Paster()
    {
        ticker.callOnTimeout([this] { check(); });
        holdTicker.callOnTimeout([this] { startWhenKeysUp(); });
    }

    void add(const QString &text, std::optional<Keystroke> keystroke, bool pressEnter)
    {
        pending.enqueue({text, keystroke, pressEnter});
        if (!underWay && !holdTicker.isActive())
            startWhenKeysUp();
    }

    void copy(const QString &text)
    {
        copyAfter = text;
        if (!underWay && pending.isEmpty())
            copyNow();
    }

    void finishNow()
    {
        ++attempts;
        holdTicker.stop();
        pending.clear();
        enterAfter = false; // quitting: no key after the clipboard is given back
        if (underWay)
            finish();
    }

  private:
    // The user's held modifiers would turn Ctrl+V into Ctrl+Alt+V, which
    // pastes nothing: the paste starts once they are up.
    void startWhenKeysUp()
    {
        if (pending.isEmpty()) {
            holdTicker.stop();
            copyNow();
            return;
        }
        if (keysHeld && !keyInjector().liftsHeldKeys() && keysHeld()) {
            sinceKeysUp.invalidate();
            holdTicker.start(pasteCheckMs);
            return;
        }
        if (holdTicker.isActive()) {
            if (!sinceKeysUp.isValid())
                sinceKeysUp.start();
            if (sinceKeysUp.elapsed() < heldKeysSettleMs)
                return;
            holdTicker.stop();
        }
        startNext();
    }

    void startNext()
    {
        underWay = true;
        ++attempts;
        const Request request = pending.dequeue();
        const QString text = request.text;
        // Asked even where a rule chose: it tells the injector which window it types into.
        const Keystroke automatic = keyInjector().pasteKeystroke();
        const Keystroke keystroke = request.keystroke.value_or(automatic);
        enterAfter = request.pressEnter;
        // The xterm family pastes PRIMARY, which is given back just like CLIPBOARD.
        QList<Clipboard *> boards = {&clipboard()};
        if (keystroke == Keystroke::ShiftInsert)
            boards << &primarySelection();
        selections.clear();
        saveThenSend(boards, text, keystroke);
    }

    // Each selection is saved in turn while the main thread goes on; an answer
    // that finishNow() overtook counts for nothing.
    void saveThenSend(QList<Clipboard *> boards, const QString &text, Keystroke keystroke)
    {
        if (!boards.isEmpty()) {
            Clipboard *board = boards.takeFirst();
            board->save([this, board, boards, text, keystroke,
                         attempt = attempts](bool complete, const QList<ClipboardFormat> &formats,
                                             const QString &error) {
                if (attempt != attempts)
                    return;
                if (!complete)
                    log(QStringLiteral("ERROR: could not save the clipboard: ") + error);
                selections << Saved{board, formats, complete};
                saveThenSend(boards, text, keystroke);
            });
            return;
        }
        for (const Saved &saved : std::as_const(selections))
            saved.board->setText(text);
        offered = true;
        log(QStringLiteral("Copied to clipboard"));
        keyInjector().send(keystroke, [this, text, keystroke,
                                       attempt = attempts](bool sent, const QString &error) {
            if (attempt == attempts)
                sent ? posted(keystroke) : notPosted(text, keystroke, error);
        });
    }

    void notPosted(const QString &text, Keystroke keystroke, const QString &error)
    {
        // Giving the old content back now would lose the transcript: it stays
        // on the clipboard for the user to paste, beside any that an earlier
        // failure left there, in the order spoken.
        if (!undelivered.isEmpty() && holdsText(selections.first(), undelivered)) {
            undelivered += u' ' + text;
            for (const Saved &saved : std::as_const(selections))
                saved.board->setText(undelivered);
        } else {
            undelivered = text;
        }
        log(QStringLiteral("ERROR: could not post the paste keystroke: %1; the transcript "
                           "stays on the clipboard, press %2 to paste it")
                .arg(error, keystrokeName(keystroke)));
        endPaste();
    }

    void posted(Keystroke keystroke)
    {
        log(pastedLine(keyInjector(), keystroke));
        sincePosted.start();
        ticker.start(pasteCheckMs);
    }

    void check()
    {
        const qint64 waited = sincePosted.elapsed();
        if (waited >= maximumPasteWaitMs ||
            (waited >= minimumPasteWaitMs && selections.last().board->pasteRead()))
            finish();
    }

    void finish()
    {
        ticker.stop();
        // Stopped while it was still being saved: it holds what it held.
        if (offered) {
            for (const Saved &saved : std::as_const(selections))
                giveBack(saved);
            if (!selections.first().formats.isEmpty())
                log(QStringLiteral("Clipboard restored"));
        }
        if (!enterAfter || !offered) {
            endPaste();
            return;
        }
        // The text is in: Enter sends it (a chat box), as the user's rule asks.
        enterAfter = false;
        keyInjector().send(Keystroke::Enter, [this, attempt = attempts](bool sent,
                                                                        const QString &error) {
            if (attempt != attempts)
                return;
            log(sent ? QStringLiteral("Pressed Enter after the paste")
                     : QStringLiteral("ERROR: could not press Enter after the paste: ") + error);
            endPaste();
        });
    }

    // Either way a paste ends: the next one may start.
    void endPaste()
    {
        selections.clear();
        underWay = offered = false;
        playSound(soundPop);
        startWhenKeysUp();
    }

    void copyNow()
    {
        if (!copyAfter)
            return;
        clipboard().setText(*copyAfter);
        copyAfter.reset();
        log(QStringLiteral("Copied to clipboard"));
    }

    struct Request {
        QString text;
        std::optional<Keystroke> keystroke;
        bool pressEnter = false;
    };
    QQueue<Request> pending;
    bool enterAfter = false;          // the paste under way ends with Enter
    std::optional<QString> copyAfter; // asked for while a paste was under way
    bool underWay = false;            // from the save until the clipboard is given back
    bool offered = false;             // the transcript is on the clipboard
    QList<Saved> selections;          // saved so far
    QString undelivered;              // what failed keystrokes left on the clipboard
    QElapsedTimer sincePosted;
    quint64 attempts = 0; // pastes started or stopped: tells a late answer
    QTimer ticker;
    QTimer holdTicker; // runs while a paste waits for held keys
    QElapsedTimer sinceKeysUp;
};

Paster &paster()
{
    static Paster *instance = new Paster; // main thread, for the life of the process
    return *instance;
}

} // namespace

void deliverPaste(const QString &text, std::optional<KeyInjector::Keystroke> keystroke,
                  bool pressEnter)
{
    paster().add(text, keystroke, pressEnter);
}

void copyToClipboard(const QString &text)
{
    paster().copy(text);
}

void holdPastesWhile(std::function<bool()> held)
{
    keysHeld = std::move(held);
}

void finishPasteNow()
{
    paster().finishNow();
}

} // namespace parlotta

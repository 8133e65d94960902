#include "dictation/paste.h"

#include "core/log.h"
#include "dictation/cues.h"
#include "platform/clipboard.h"
#include "platform/key_injector.h"

namespace parlotta {

namespace {
// The target needs a few milliseconds to ask for the text; never restore the
// old content before it has, but do not hold the user's clipboard hostage either.
constexpr int minimumPasteWaitMs = 150;
constexpr int maximumPasteWaitMs = 1000;
} // namespace

void deliverPaste(const QString &text)
{
    Clipboard &board = clipboard();
    QList<ClipboardFormat> saved;
    QString error;
    if (!board.save(&saved, &error))
        log(QStringLiteral("ERROR: could not save the clipboard: ") + error);
    board.setText(text);
    log(QStringLiteral("Copied to clipboard"));
    switch (keyInjector().paste()) {
    case KeyInjector::Keystroke::ControlV:
        log(QStringLiteral("Pasted via XTest"));
        break;
    case KeyInjector::Keystroke::ControlShiftV:
        log(QStringLiteral("Pasted via XTest (Ctrl+Shift+V)"));
        break;
    case KeyInjector::Keystroke::NotSent:
        log(QStringLiteral("ERROR: could not post the paste keystroke: no X display with XTest"));
        break;
    }
    board.waitForPaste(minimumPasteWaitMs, maximumPasteWaitMs);
    if (saved.isEmpty()) {
        board.clear();
    } else {
        board.restore(saved);
        log(QStringLiteral("Clipboard restored"));
    }
    playSound(soundPop);
}

} // namespace parlotta

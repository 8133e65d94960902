#pragma once

#include <QString>

namespace parlotta {

// Pastes text into the focused window through the clipboard and gives the
// clipboard's earlier content back afterwards; ends with the Pop cue. Returns
// at once: the wait for the target runs on timers, and a paste due while
// another is under way follows it.
void deliverPaste(const QString &text);

// At shutdown: gives the clipboard back now if a paste is under way, and drops
// the pastes still to come.
void finishPasteNow();

} // namespace parlotta

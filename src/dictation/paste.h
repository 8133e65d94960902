#pragma once

#include <QString>

namespace parlotta {

// Pastes text into the focused window through the clipboard and gives the
// clipboard's earlier content back afterwards; ends with the Pop cue.
void deliverPaste(const QString &text);

} // namespace parlotta

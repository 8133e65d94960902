#pragma once

#include "platform/key_injector.h"

#include <QString>
#include <functional>
#include <optional>

namespace parlotta {

// Pastes text into the focused window through the clipboard and gives the
// clipboard's earlier content back afterwards; ends with the Pop cue. Returns
// at once: the wait for the target runs on timers, and a paste due while
// another is under way follows it.
// keystroke: the one the user's rule chose for the application, else the
// window class decides; pressEnter: Enter follows once the text is in.
void deliverPaste(const QString &text, std::optional<KeyInjector::Keystroke> keystroke = {},
                  bool pressEnter = false);

// Puts text on the clipboard for the user to paste (no keystroke, nothing
// given back); after the pastes under way, which would otherwise give the
// earlier content back over it.
void copyToClipboard(const QString &text);

// Where the paste keystroke cannot lift the keys the user holds, a paste
// waits while keysHeld() says keys are down that would join it (a modifier
// hotkey held for the next dictation).
void holdPastesWhile(std::function<bool()> keysHeld);

// At shutdown: gives the clipboard back now if a paste is under way, and drops
// the pastes still to come.
void finishPasteNow();

} // namespace parlotta

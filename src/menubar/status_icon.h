#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace parlotta {

// What the tray icon shows: each state a badge of its own colour and shape,
// so that it reads without colour vision too.
enum class TrayState {
    Idle,        // the waveform (with the language code)
    Warning,     // a warning sign: the hotkey does not reach us
    Recording,   // a white dot on red
    Transcribing // three white dots on orange
};

// The tray icon: white on a coloured badge, which reads on light and dark
// panels alike; with showCode, the idle icon draws the language code under the
// waveform, since a tray item has no title text of its own. Made once per
// state, code and size, then kept: a state change costs a lookup.
QIcon statusIcon(const QString &languageCode, bool showCode, TrayState state = TrayState::Idle);
QPixmap statusPixmap(int size, const QString &languageCode, bool showCode,
                     TrayState state = TrayState::Idle);

// The code as the icon and the tooltip show it: printable characters only, at
// most four of them (a hand-edited preference may hold anything).
QString codeForDisplay(const QString &languageCode);

// The warning sign of the "Grant Accessibility Access…" entries.
QIcon warningIcon();
// An SVG of the resources drawn at the small sizes menus and buttons use.
QIcon iconFromSvg(const QString &resource);

} // namespace parlotta

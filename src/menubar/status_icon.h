#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>

namespace parlotta {

// The tray icon: a white waveform on a blue badge, which reads on light and
// dark panels alike; with showCode, the language code is drawn under the
// waveform, since a tray item has no title text of its own.
QIcon statusIcon(const QString &languageCode, bool showCode);
QPixmap statusPixmap(int size, const QString &languageCode, bool showCode);

// The code as the icon and the tooltip show it: printable characters only, at
// most four of them (a hand-edited preference may hold anything).
QString codeForDisplay(const QString &languageCode);

// The warning sign of the "Grant Accessibility Access…" entries.
QIcon warningIcon();
// An SVG of the resources drawn at the small sizes menus and buttons use.
QIcon iconFromSvg(const QString &resource);

} // namespace parlotta

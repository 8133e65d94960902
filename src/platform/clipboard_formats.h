#pragma once

#include "platform/clipboard.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace parlotta {

// The formats a transcript is offered in, on every backend: the MIME types
// Wayland and newer X programs ask for, and X's own text targets for older
// ones (STRING in Latin-1, as X defines it).
QList<ClipboardFormat> transcriptFormats(const QString &text);
// X's answers about a selection rather than its content (a list of targets, a
// time): never saved or given back. XWayland passes them on to Wayland.
bool isMetaTarget(const QByteArray &type);
// Text, read before anything else while the clipboard is saved: where time or
// room run out, the user's words are what is kept.
bool isTextType(const QByteArray &type);

} // namespace parlotta

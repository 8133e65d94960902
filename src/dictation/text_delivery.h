#pragma once

#include "dictation/text_pipeline.h"

#include <QString>
#include <QStringList>

namespace parlotta {

// The text settings as stored now.
TextSettings storedTextSettings();

// The transcript that passed the gates, made what the focused window gets by
// the user's rules (see text_pipeline.h); remembers it as the last text
// pasted there, so that the next dictation into the same window is spaced
// from it, and the application among those dictated into lately.
Delivery prepareDelivery(const QString &transcript);

// A key the user pressed (not the hotkey): the text typed since ends a
// dictation's continuation. keysSeen: whether the key listener sees every
// key (X11, the keyboard devices); elsewhere a dictation continues the last
// one into the same window when it comes within a minute.
void noteUserKey();
void setKeysSeen(bool seen);

// The applications dictated into lately, the latest first.
QStringList recentApplications();

} // namespace parlotta

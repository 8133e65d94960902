#pragma once

#include "platform/key_injector.h"

#include <QList>

namespace parlotta {

// One key going down or up, in the numbering of the backend that posts it.
struct KeyEvent {
    int key = 0;
    bool pressed = false;
    friend bool operator==(const KeyEvent &, const KeyEvent &) = default;
};

// The keys a keystroke is made of, in the backend's numbering: the key that
// types "v" in the current layout (or Insert, or Enter), and the Control and Shift keys.
struct KeystrokeKeys {
    int key = 0;
    int control = 0;
    int shift = 0;
};

// The events that post keystroke: the modifiers the user holds (held) go up
// first, so that Control+V does not arrive as Control+Alt+V, and down again
// after; then Control and Shift as the keystroke needs them, around the key.
QList<KeyEvent> keystrokeEvents(KeyInjector::Keystroke keystroke, const KeystrokeKeys &keys,
                                const QList<int> &held = {});

} // namespace parlotta

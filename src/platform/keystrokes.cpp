#include "platform/keystrokes.h"

namespace parlotta {

QList<KeyEvent> keystrokeEvents(KeyInjector::Keystroke keystroke, const KeystrokeKeys &keys,
                                const QList<int> &held)
{
    using Keystroke = KeyInjector::Keystroke;
    QList<int> modifiers;
    if (keystroke == Keystroke::ControlV || keystroke == Keystroke::ControlShiftV)
        modifiers << keys.control;
    if (keystroke == Keystroke::ControlShiftV || keystroke == Keystroke::ShiftInsert)
        modifiers << keys.shift;
    QList<KeyEvent> events;
    for (int key : held)
        events << KeyEvent{key, false};
    for (int key : std::as_const(modifiers))
        events << KeyEvent{key, true};
    events << KeyEvent{keys.key, true} << KeyEvent{keys.key, false};
    for (auto key = modifiers.crbegin(); key != modifiers.crend(); ++key)
        events << KeyEvent{*key, false};
    for (int key : held)
        events << KeyEvent{key, true};
    return events;
}

} // namespace parlotta

#include "platform/keystrokes.h"

namespace parlotta {

QList<KeyEvent> keystrokeEvents(KeyInjector::Keystroke keystroke, const KeystrokeKeys &keys,
                                const QList<int> &held)
{
    QList<int> modifiers;
    if (keystroke != KeyInjector::Keystroke::ShiftInsert)
        modifiers << keys.control;
    if (keystroke != KeyInjector::Keystroke::ControlV)
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

#include "hotkey/key_listener.h"

#include "core/events.h"
#include "core/log.h"
#include "hotkey/hotkey_model.h"

namespace parlotta {

bool KeyListener::start(const std::function<void(KeyboardHook &)> &rawLoop,
                        const std::function<void(ShortcutSource &)> &follow) const
{
    if (KeyboardHook *hook = keyboardHook()) {
        rawLoop(*hook);
        return true;
    }
    if (ShortcutSource *source = shortcutSource()) {
        follow(*source);
        return true;
    }
    return false;
}

void KeyListener::bind(std::int64_t code, std::uint64_t modifiers) const
{
    if (KeyboardHook *hook = keyboardHook()) {
        const bool ordinary = code != hotkeyNone && !modifierMasks.contains(code);
        hook->setSwallowedKey(ordinary ? code : hotkeyNone, modifiers & comboModifiers);
        return;
    }
    ShortcutSource *source = shortcutSource();
    if (!source)
        return;
    // Only the answer to the latest request counts: the user may have chosen
    // again while the desktop was still deciding.
    static quint64 requests = 0;
    source->bind(code, modifiers & comboModifiers,
                 [code, modifiers, request = ++requests](bool bound, const QString &error) {
                     if (request != requests)
                         return;
                     if (bound) {
                         Q_EMIT daemonEvents().hotkeyBound();
                         return;
                     }
                     log(QStringLiteral("ERROR: could not bind the hotkey %1: %2")
                             .arg(hotkeyName(code, modifiers), error));
                     Q_EMIT daemonEvents().hotkeyRefused(error);
                 });
}

bool KeyListener::beginCapture(QString *error) const
{
    KeyboardHook *hook = keyboardHook();
    if (hook && hook->grabKeyboard(true))
        return true;
    if (!hook && shortcutSource())
        return true;
    *error = hook ? QStringLiteral("another program holds the keyboard")
                  : QStringLiteral("this desktop shows no keys to Parlotta");
    return false;
}

void KeyListener::endCapture() const
{
    if (KeyboardHook *hook = keyboardHook())
        hook->grabKeyboard(false);
}

bool KeyListener::capturesFromOwnWindow() const
{
    return !keyboardHook();
}

bool KeyListener::bindsModifierAlone() const
{
    const ShortcutSource *source = shortcutSource();
    return !source || source->bindsModifierAlone();
}

QString KeyListener::setupInstructions(std::int64_t code, std::uint64_t modifiers) const
{
    const ShortcutSource *source = shortcutSource();
    if (!source || code == hotkeyNone)
        return {};
    return source->setupInstructions(code, modifiers & comboModifiers);
}

const KeyListener &keyListener()
{
    static const KeyListener listener;
    return listener;
}

} // namespace parlotta

#include "hotkey/key_tracker.h"

#include "hotkey/hotkey_model.h"

namespace parlotta {

std::optional<TapEvent> KeyTracker::onKey(std::int64_t code, bool pressed)
{
    const bool modifier = modifierMasks.contains(code) || code == capsLockKey;
    const bool wasDown = down.contains(code);
    if (!pressed && !wasDown)
        return std::nullopt;
    if (pressed && wasDown && modifier)
        return std::nullopt; // modifiers do not repeat
    if (pressed)
        down.insert(code);
    else
        down.remove(code);
    TapEvent event;
    event.type = modifier ? eventFlagsChanged : (pressed ? eventKeyDown : eventKeyUp);
    event.keyCode = code;
    event.autorepeat = pressed && wasDown;
    event.flags = flags();
    return event;
}

std::uint64_t KeyTracker::flags() const
{
    std::uint64_t result = 0;
    for (const std::int64_t key : down)
        result |= modifierMasks.value(key) | modifierFlags.value(key);
    return result;
}

} // namespace parlotta

#include "hotkey/tap_rules.h"

#include "hotkey/hotkey_model.h"

namespace parlotta {

namespace {

// A modifier-key hotkey takes nothing from the applications: every event passes.
TapDecision modifierHotkey(const TapEvent &event, TapState &state, std::int64_t hotkey)
{
    const bool isHotkey = event.type == eventFlagsChanged && event.keyCode == hotkey;
    if (isHotkey) {
        const bool pressed = (event.flags & modifierMasks.value(hotkey)) != 0;
        if (pressed && !state.hotkeyHeld) {
            state = {true, false};
            return {true, TapRequest::Begin};
        }
        if (!pressed && state.hotkeyHeld) {
            const bool combo = state.hotkeyCombo;
            state.hotkeyHeld = false;
            return {true, combo ? TapRequest::None : TapRequest::Stop};
        }
        return {};
    }
    const bool otherKeyUsed = event.type == eventKeyDown || event.type == eventFlagsChanged;
    if (otherKeyUsed && state.hotkeyHeld && !state.hotkeyCombo) {
        state.hotkeyCombo = true;
        return {true, TapRequest::Cancel};
    }
    return {};
}

// An ordinary-key hotkey swallows its own events while they make a hold.
TapDecision ordinaryHotkey(const TapEvent &event, TapState &state, std::int64_t hotkey,
                           std::uint64_t hotkeyModifiers)
{
    if (event.keyCode != hotkey || event.type == eventFlagsChanged)
        return {};
    if (event.type == eventKeyUp) {
        if (!state.hotkeyHeld)
            return {};
        state.hotkeyHeld = false;
        return {false, TapRequest::Stop};
    }
    if (event.autorepeat)
        return {!state.hotkeyHeld, TapRequest::None};
    if ((event.flags & comboModifiers) != hotkeyModifiers)
        return {};
    state.hotkeyHeld = true;
    return {false, TapRequest::Begin};
}

} // namespace

TapDecision handleTapEvent(const TapEvent &event, TapState &state, std::int64_t hotkey,
                           std::uint64_t hotkeyModifiers)
{
    if (hotkey == hotkeyNone)
        return {};
    if (modifierMasks.contains(hotkey))
        return modifierHotkey(event, state, hotkey);
    return ordinaryHotkey(event, state, hotkey, hotkeyModifiers);
}

CaptureDecision handleCaptureEvent(const TapEvent &event,
                                   std::optional<std::int64_t> &pendingModifier)
{
    if (event.type == eventFlagsChanged) {
        const auto mask = modifierMasks.constFind(event.keyCode);
        if (mask == modifierMasks.cend()) // Caps Lock
            return {};
        if (event.flags & *mask) {
            pendingModifier = event.keyCode;
            return {};
        }
        if (pendingModifier != event.keyCode)
            return {};
        pendingModifier.reset();
        return {true, CaptureOutcome::Captured, event.keyCode, 0};
    }
    if (event.type != eventKeyDown)
        return {};
    pendingModifier.reset();
    const std::uint64_t modifiers = event.flags & comboModifiers;
    if (event.keyCode == escapeKey && modifiers == 0)
        return {false, CaptureOutcome::Cancelled};
    return {false, CaptureOutcome::Captured, event.keyCode, modifiers};
}

} // namespace parlotta

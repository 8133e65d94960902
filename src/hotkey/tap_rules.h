#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace parlotta {

// Event types, as the key listener reports them.
inline constexpr std::uint32_t eventKeyDown = 10;
inline constexpr std::uint32_t eventKeyUp = 11;
inline constexpr std::uint32_t eventFlagsChanged =
    12; // a modifier key or Caps Lock went down or up
inline constexpr std::uint32_t eventTapDisabledByTimeout = 0xFFFFFFFE;
inline constexpr std::uint32_t eventTapDisabledByUserInput = 0xFFFFFFFF;

// What the listener knows of one physical key event.
struct TapEvent {
    std::uint32_t type = eventKeyDown;
    std::int64_t keyCode = 0; // virtual key code
    bool autorepeat = false;
    std::uint64_t flags = 0; // device-independent modifier flags and per-key masks, after the event
};

// Push-to-talk state of the listener thread.
struct TapState {
    bool hotkeyHeld = false;
    bool hotkeyCombo = false;
};

enum class TapRequest { None, Begin, Stop, Cancel };

struct TapDecision {
    bool pass = true; // false: the event must not reach the focused window
    TapRequest request = TapRequest::None;
    bool operator==(const TapDecision &) const = default;
};

// The push-to-talk rules for one event, given the hotkey in force (code and
// required modifiers). Pure: changes only state.
TapDecision handleTapEvent(const TapEvent &event, TapState &state, std::int64_t hotkey,
                           std::uint64_t hotkeyModifiers);

inline constexpr std::int64_t escapeKey = 53;

// How the hotkey drives a recording: held for as long as the user speaks,
// pressed once to start and again to stop, or both (a short tap starts a
// recording the next press stops; a longer hold talks).
enum class HotkeyMode { Hold, Toggle, Both };
// In Both, a press released sooner than this was a tap.
inline constexpr std::chrono::milliseconds toggleTapLimit{330};

// What one event does during hotkey capture: whether it reaches the focused
// window (with the keyboard grabbed, nothing does; the rules still say what a
// passing key is) and whether it ends the capture.
enum class CaptureOutcome { None, Cancelled, Captured };
struct CaptureDecision {
    bool pass = true;
    CaptureOutcome outcome = CaptureOutcome::None;
    std::int64_t code = 0;
    std::uint64_t modifiers = 0;
    bool operator==(const CaptureDecision &) const = default;
};

// The capture rules for one event: a key down is captured with the held
// modifiers (Escape alone cancels); a modifier key is captured when released
// with nothing pressed after it (pendingModifier remembers it). Pure: changes
// only pendingModifier.
CaptureDecision handleCaptureEvent(const TapEvent &event,
                                   std::optional<std::int64_t> &pendingModifier);

} // namespace parlotta

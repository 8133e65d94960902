#pragma once

#include <atomic>
#include <chrono>
#include <functional>

namespace parlotta {

// What a hotkey hold asks of the dictation pipeline; run on the main thread.
struct TapRequests {
    std::function<void()> beginRecording;
    std::function<void()> stopRecordingAndTranscribe;
    std::function<void()> cancelRecording;
    std::function<void()> tapBecameActive; // rebuilds what shows the missing permission
};
extern TapRequests tapRequests;

// When set (by a benchmark), told how long each key event took on the listener thread.
extern std::function<void(std::chrono::nanoseconds)> tapEventTimed;

// Whether the key listener is running (false while it waits for the desktop).
extern std::atomic<bool> eventTapActive;

// Starts the "EventTap" thread, once: it connects to the desktop (retrying
// every 2 s until it can) and then follows the push-to-talk key for good.
void startEventTapThread();

// Makes the desktop keep the hotkey in force from the focused window where the
// rules say so (an ordinary key with its modifiers); called when it changes.
void updateSwallowedKey();

} // namespace parlotta

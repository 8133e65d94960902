#pragma once

#include "hotkey/tap_rules.h"

#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace parlotta {

// When set (by a benchmark), told how long each key event took on the listener thread.
extern std::function<void(std::chrono::nanoseconds)> tapEventTimed;

// The longest hold of a shortcut the desktop binds: past it the hold ends as
// a release would (lowered by tests).
extern std::chrono::milliseconds heldShortcutLimit;

// Where the desktop binds the shortcut: a press this long after the last press
// or repeat, with no release between, follows a release the desktop lost.
extern std::chrono::milliseconds lostReleaseGap;

// Whether the key listener is running (false while it waits for the desktop).
extern std::atomic<bool> eventTapActive;

// Whether the hotkey is down as far as the key listener knows, and whether
// keys it holds down would join a keystroke we type (it is or has a modifier).
extern std::atomic<bool> hotkeyHeld;
bool hotkeyHoldsModifiers();

// Why the desktop would not bind the hotkey; empty while it is bound or
// nothing was asked of it. Main thread.
QString hotkeyRefusal();
void setHotkeyRefusal(const QString &why);

// The hotkey's press and release, from whichever listener, through the
// hotkey mode (hold, toggle, both). Main thread.
void hotkeyPressed();
// beforeStop, when set, is logged before the stop the release makes.
void hotkeyReleased(const QString &beforeStop = {});
// Whether the hotkey is held down after a press that stopped a toggled recording.
bool hotkeyStoppedByPress();
// Escape ends a toggled recording without transcribing it, and nothing else.
void escapePressed();
// "parlotta --toggle": starts a toggled recording, or stops the open one.
void toggleRecording();

// Starts the "EventTap" thread, once: it connects to the desktop (retrying
// every 2 s until it can) and then follows the push-to-talk key for good.
void startEventTapThread();

// Where the desktop binds the shortcut itself and shows us no other keys,
// capture by example reads the keys our own focused window receives: each
// physical key event goes here; key -1 starts a capture afresh.
void captureKeyFromWindow(std::int64_t key, bool pressed);

} // namespace parlotta

#pragma once

#include "hotkey/hotkey_session.h"

#include <QString>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

namespace parlotta {

// When set (by a benchmark), told how long each key event took on the listener thread.
extern std::function<void(std::chrono::nanoseconds)> tapEventTimed;

// Whether the key listener is running (false while it waits for the desktop).
extern std::atomic<bool> eventTapActive;

// The hotkey's state: presses, releases and the recording's own ends. Main thread.
HotkeySession &hotkeySession();
// Whether keys the hotkey holds down would join a keystroke we type (it is or
// has a modifier, and it is held).
bool hotkeyHoldsModifiers();

// Why the desktop would not bind the hotkey; empty while it is bound or
// nothing was asked of it. Main thread.
QString hotkeyRefusal();
void setHotkeyRefusal(const QString &why);

// An event of the hotkey, from whichever listener, the bus or the desktop,
// through the hotkey session and the mode (hold, toggle, both). Main thread.
void hotkeyEvent(HotkeyEvent::Kind kind, KeySource source = KeySource::Keyboard);
// Whether the hotkey is held down after a press that stopped a recording.
bool hotkeyStoppedByPress();
// Whether the open recording goes on with the hotkey released.
bool isToggledRecording();
// "parlotta --toggle": starts a toggled recording, or stops the open one.
void toggleRecording();
// Has the recorder's meter ticks feed the session (the cap, silence, lost releases).
void watchRecordings();

// Starts the "EventTap" thread, once: it connects to the desktop (retrying
// every 2 s until it can) and then follows the push-to-talk key for good.
void startEventTapThread();

// Where the desktop binds the shortcut itself and shows us no other keys,
// capture by example reads the keys our own focused window receives: each
// physical key event goes here; key -1 starts a capture afresh.
void captureKeyFromWindow(std::int64_t key, bool pressed);

} // namespace parlotta

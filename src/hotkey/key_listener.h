#pragma once

#include "platform/keyboard.h"

#include <QString>
#include <cstdint>
#include <functional>

namespace parlotta {

// The session's key listener, whichever kind the desktop offers: raw key
// events (X11, the keyboard devices) read on a thread of ours, or a shortcut
// the desktop binds itself and reports pressed and released. The one place
// that tells the two apart; keys here are the hotkey model's virtual codes.
class KeyListener {
  public:
    // Starts listening: rawLoop on the listener's thread with the raw source,
    // or follow on the main thread with the desktop's shortcuts. False when
    // the desktop offers neither.
    bool start(const std::function<void(KeyboardHook &)> &rawLoop,
               const std::function<void(ShortcutSource &)> &follow) const;
    // Has the desktop keep the hotkey: an ordinary raw key is taken from the
    // focused window with exactly its modifiers (a modifier key never); a
    // desktop shortcut is bound, its answer announced as hotkeyBound or
    // hotkeyRefused. Main thread.
    void bind(std::int64_t code, std::uint64_t modifiers) const;
    // Capture of a new hotkey: the keyboard taken from every window, or, where
    // the desktop binds shortcuts, the keys our own window sees. False with the
    // reason when neither can be had.
    bool beginCapture(QString *error) const;
    void endCapture() const;
    // Whether captured keys come from our own window (see captureKeyFromWindow).
    bool capturesFromOwnWindow() const;
    // Whether a modifier key alone (right Alt) can be the hotkey here.
    bool bindsModifierAlone() const;
    // What the user does once so that the hotkey reaches us, or why it cannot;
    // empty where nothing is needed.
    QString setupInstructions(std::int64_t code, std::uint64_t modifiers) const;
};

const KeyListener &keyListener();

} // namespace parlotta

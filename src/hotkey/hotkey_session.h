#pragma once

#include "hotkey/tap_rules.h"

#include <QList>
#include <QString>
#include <chrono>

namespace parlotta {

// Where a press or release comes from. The keyboard (X11, the direct
// keyboard) reports every release; a desktop's shortcut repeats while held and
// may lose its release; a compositor's binding runs `parlotta --press` and
// `--release` as two processes, so a release can come first or never.
enum class KeySource { Keyboard, Desktop, Bus };

// What happens to the hotkey and the recording, with the time it happened.
struct HotkeyEvent {
    enum Kind {
        Press,
        Release,
        Combo,  // another key joined a modifier hotkey: not a dictation
        Escape, // seen, never taken
        Lock,   // the screen locked
        Toggle, // parlotta --toggle
        Tick,   // the recording's meter, every 100 ms while it records
    };
    Kind kind = Press;
    std::chrono::milliseconds at{0}; // a steady clock's time
    KeySource source = KeySource::Keyboard;
    bool recording = false; // a recording is open now
    // Tick: this 100 ms, the loudest 100 ms so far (dBFS), and the seconds recorded.
    float level = -160.0f;
    float peak = -160.0f;
    double seconds = 0;
};

// What the session asks of the recorder. Stop and Ignore carry a line to log
// first (may be empty); Cancel carries the reason ("Recording cancelled (…)").
struct HotkeyAction {
    enum Kind { Begin, Stop, Latch, Cancel, Ignore };
    Kind kind = Begin;
    QString line;
    bool operator==(const HotkeyAction &) const = default;
};
using HotkeyActions = QList<HotkeyAction>;

// The limits the session holds recordings to; tests lower them.
struct HotkeyLimits {
    // A desktop's or binding's press with no release for this long ends as a
    // release would: a lost release never leaves the microphone open.
    std::chrono::milliseconds hold = std::chrono::minutes(5);
    // A desktop's press this long after the last press or repeat, with no
    // release between, follows a release the desktop lost.
    std::chrono::milliseconds lostRelease = std::chrono::seconds(1);
    // A binding's release at most this long before its press made the two a tap.
    std::chrono::milliseconds earlyRelease{500};
    // A press this soon after the recording stopped by itself is the stop the
    // user meant, not a new recording.
    std::chrono::milliseconds afterAutoStop = std::chrono::seconds(2);
    // Every recording, held or toggled, ends here.
    double capSeconds = 600;
};

// The hotkey's press, release and toggle behaviour in one place: it takes
// events with their times and answers what the recorder must do. Pure: it
// changes only itself; the callers carry out the actions in order.
class HotkeySession {
  public:
    HotkeyLimits limits;

    // mode: how presses and releases drive a recording now; silenceLimit: the
    // seconds of silence after speech that end a toggled recording (0: never),
    // taken when it is latched.
    HotkeyActions handle(const HotkeyEvent &event, HotkeyMode mode, int silenceLimit);

    // Whether the hotkey is down as far as its events tell.
    bool held() const
    {
        return held_;
    }
    // Whether the open recording goes on until a press, Escape, silence or the cap.
    bool toggled() const
    {
        return toggled_;
    }
    // Whether the hotkey is held after a press that stopped a recording.
    bool stoppingPress() const
    {
        return held_ && stoppingPress_;
    }

  private:
    HotkeyActions press(const HotkeyEvent &event, HotkeyMode mode, int silenceLimit);
    HotkeyActions release(const HotkeyEvent &event, HotkeyMode mode, int silenceLimit,
                          const QString &line = {});
    HotkeyActions tick(const HotkeyEvent &event, HotkeyMode mode, int silenceLimit);
    HotkeyAction latch(int silenceLimit);
    HotkeyAction stopByItself(const HotkeyEvent &event, const QString &why, const QString &line);

    static constexpr std::chrono::milliseconds never{-1};
    bool held_ = false;
    bool stoppingPress_ = false; // the press stopped a recording: its release does nothing
    KeySource heldFrom = KeySource::Keyboard;
    std::chrono::milliseconds pressAt{never}, lastPressAt{never};
    std::chrono::milliseconds earlyReleaseAt{never}; // a binding's release with nothing held
    std::chrono::milliseconds autoStopAt{never};
    QString autoStopWhy;
    bool toggled_ = false;
    int silenceLimit_ = 0;
    bool heardSpeech = false;
    double lastSound = 0; // recorded seconds at the last sound above the silence level
};

} // namespace parlotta

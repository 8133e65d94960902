#include "hotkey/hotkey_session.h"

#include "dictation/gates.h"

#include <algorithm>
#include <utility>

namespace parlotta {

namespace {

// Below this, a sample is silence: the level gate's, or well below the
// loudest speech so far in a room whose background is louder than that.
constexpr float silenceBelowPeak = 25.0f;

bool endsRecording(const HotkeyActions &actions)
{
    return std::any_of(actions.cbegin(), actions.cend(), [](const HotkeyAction &action) {
        return action.kind == HotkeyAction::Stop || action.kind == HotkeyAction::Cancel;
    });
}

} // namespace

HotkeyActions HotkeySession::handle(const HotkeyEvent &event, HotkeyMode mode, int silenceLimit)
{
    if (!event.recording)
        toggled_ = false; // it ended some other way: a signal, a failure, a cancel
    switch (event.kind) {
    case HotkeyEvent::Press:
        return press(event, mode, silenceLimit);
    case HotkeyEvent::Release:
        return release(event, mode, silenceLimit);
    case HotkeyEvent::Combo:
        held_ = false;
        stoppingPress_ = false;
        toggled_ = false;
        if (!event.recording)
            return {};
        return {{HotkeyAction::Cancel, QStringLiteral("hotkey used in a key combination")}};
    case HotkeyEvent::Escape:
        if (!toggled_)
            return {};
        toggled_ = false;
        return {{HotkeyAction::Cancel, QStringLiteral("Escape")}};
    case HotkeyEvent::Lock:
        // Nothing said while the screen is locked is pasted into it.
        if (!event.recording || !(held_ || toggled_))
            return {};
        toggled_ = false;
        stoppingPress_ = held_; // the hold's release then does nothing
        return {{HotkeyAction::Cancel, QStringLiteral("the screen was locked")}};
    case HotkeyEvent::Toggle:
        if (event.recording) {
            toggled_ = false;
            return {{HotkeyAction::Stop, {}}};
        }
        return {{HotkeyAction::Begin, {}}, latch(silenceLimit)};
    case HotkeyEvent::Tick:
        return tick(event, mode, silenceLimit);
    }
    return {};
}

HotkeyActions HotkeySession::press(const HotkeyEvent &event, HotkeyMode mode, int silenceLimit)
{
    HotkeyActions actions;
    bool recording = event.recording;
    if (held_) {
        // The keyboard reports one press a hold; a desktop repeats its press
        // while the shortcut is held, so only one long after the last counts.
        if (event.source == KeySource::Keyboard)
            return {};
        const bool releaseLost =
            event.source == KeySource::Bus || event.at - lastPressAt > limits.lostRelease;
        lastPressAt = event.at;
        if (!releaseLost)
            return {};
        actions = release(event, mode, silenceLimit,
                          QStringLiteral("No release of the hotkey seen before this press, "
                                         "stopping as if released"));
        recording = recording && !endsRecording(actions);
    }
    held_ = true;
    heldFrom = event.source;
    pressAt = lastPressAt = event.at;
    const bool justStopped =
        !recording && autoStopAt != never && event.at - autoStopAt < limits.afterAutoStop;
    autoStopAt = never;
    if (justStopped) {
        // The user's habitual stop press came just after the recording
        // stopped by itself: a new recording here would run on in silence.
        stoppingPress_ = true;
        actions << HotkeyAction{HotkeyAction::Ignore,
                                QStringLiteral("Recording already stopped (%1)").arg(autoStopWhy)};
    } else {
        stoppingPress_ = toggled_ && recording;
        toggled_ = false;
        actions << HotkeyAction{stoppingPress_ ? HotkeyAction::Stop : HotkeyAction::Begin, {}};
    }
    // A binding's release that overtook its press: the two were a tap.
    if (event.source == KeySource::Bus && earlyReleaseAt != never &&
        event.at - earlyReleaseAt < limits.earlyRelease) {
        HotkeyEvent released = event;
        released.recording = !stoppingPress_;
        actions += release(released, mode, silenceLimit);
    }
    earlyReleaseAt = never;
    return actions;
}

HotkeyActions HotkeySession::release(const HotkeyEvent &event, HotkeyMode mode, int silenceLimit,
                                     const QString &line)
{
    if (!held_) {
        if (event.source == KeySource::Bus)
            earlyReleaseAt = event.at;
        return {};
    }
    held_ = false;
    if (std::exchange(stoppingPress_, false))
        return {};
    const bool tap = event.at - pressAt < toggleTapLimit;
    if (mode == HotkeyMode::Toggle || (mode == HotkeyMode::Both && tap))
        return {latch(silenceLimit)};
    return {{HotkeyAction::Stop, event.recording ? line : QString()}};
}

HotkeyAction HotkeySession::latch(int silenceLimit)
{
    toggled_ = true;
    silenceLimit_ = std::clamp(silenceLimit, 0, 10);
    heardSpeech = false;
    lastSound = 0;
    return {HotkeyAction::Latch,
            silenceLimit_ ? QStringLiteral("Recording until the hotkey is pressed again or %1 s "
                                           "of silence")
                                .arg(silenceLimit_)
                          : QStringLiteral("Recording until the hotkey is pressed again")};
}

HotkeyAction HotkeySession::stopByItself(const HotkeyEvent &event, const QString &why,
                                         const QString &line)
{
    toggled_ = false;
    autoStopAt = event.at;
    autoStopWhy = why;
    stoppingPress_ = held_; // a hold that reached the cap: its release does nothing
    return {HotkeyAction::Stop, line};
}

HotkeyActions HotkeySession::tick(const HotkeyEvent &event, HotkeyMode mode, int silenceLimit)
{
    if (!event.recording)
        return {};
    if (event.seconds >= limits.capSeconds) {
        const QString minutes = QString::number(limits.capSeconds / 60, 'g', 3);
        return {stopByItself(
            event, QStringLiteral("the %1-minute limit").arg(minutes),
            QStringLiteral("Recording reached the %1-minute limit, stopping").arg(minutes))};
    }
    if (held_ && !stoppingPress_ && heldFrom != KeySource::Keyboard &&
        event.at - pressAt >= limits.hold) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limits.hold);
        return release(event, mode, silenceLimit,
                       QStringLiteral("No release of the hotkey seen for %1 s, stopping as if "
                                      "released")
                           .arg(seconds.count()));
    }
    if (!toggled_ || silenceLimit_ <= 0)
        return {};
    // Silence counts only once speech was heard: a user still gathering their
    // words is not cut off.
    if (event.level >= std::max(quietLevel, event.peak - silenceBelowPeak)) {
        lastSound = event.seconds;
        heardSpeech = heardSpeech || event.level > quietLevel;
    } else if (heardSpeech && event.seconds - lastSound >= silenceLimit_) {
        return {stopByItself(
            event, QStringLiteral("silence"),
            QStringLiteral("Silence for %1 s after speech, stopping").arg(silenceLimit_))};
    }
    return {};
}

} // namespace parlotta

#include "hotkey/event_tap.h"

#include "core/events.h"
#include "core/log.h"
#include "core/preferences.h"
#include "core/threads.h"
#include "dictation/recording.h"
#include "dictation/text_delivery.h"
#include "hotkey/hotkey_model.h"
#include "hotkey/key_listener.h"
#include "hotkey/key_tracker.h"
#include "platform/keyboard.h"

#include <QCoreApplication>
#include <QThread>

namespace parlotta {

std::atomic<bool> eventTapActive{false};
std::function<void(std::chrono::nanoseconds)> tapEventTimed;

namespace {
QString refusal;
} // namespace

HotkeySession &hotkeySession()
{
    static HotkeySession session; // main thread
    return session;
}

bool hotkeyHoldsModifiers()
{
    if (!hotkeySession().held())
        return false;
    const ActiveHotkey hotkey = activeHotkeySnapshot();
    return (hotkey.modifiers & comboModifiers) || modifierFlags.contains(hotkey.code);
}

QString hotkeyRefusal()
{
    return refusal;
}

void setHotkeyRefusal(const QString &why)
{
    refusal = why;
}

namespace {

std::chrono::milliseconds now()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
}

void carryOut(const HotkeyActions &actions)
{
    for (const HotkeyAction &action : actions) {
        switch (action.kind) {
        case HotkeyAction::Begin:
            beginRecording();
            break;
        case HotkeyAction::Stop:
            if (!action.line.isEmpty())
                log(action.line);
            stopRecordingAndTranscribe();
            break;
        case HotkeyAction::Latch:
            if (isRecording())
                log(action.line);
            break;
        case HotkeyAction::Cancel:
            cancelRecordingBecause(action.line);
            break;
        case HotkeyAction::Ignore:
            log(action.line);
            break;
        }
    }
}

HotkeyActions decide(HotkeyEvent event)
{
    event.at = now();
    event.recording = isRecording();
    // The silence limit matters only where a recording may be latched.
    const bool latches = event.kind == HotkeyEvent::Press || event.kind == HotkeyEvent::Release ||
                         event.kind == HotkeyEvent::Toggle || event.kind == HotkeyEvent::Tick;
    const int silence =
        latches ? int(preferenceInteger(prefStopAfterSilence).value.value_or(0)) : 0;
    return hotkeySession().handle(event, selectedHotkeyMode(), silence);
}

// The recording's own ends (the cap, silence, a lost release) are decided at
// its meter ticks and carried out once the tick has returned.
void meterTicked(float level, float peak, double seconds)
{
    HotkeyEvent tick{HotkeyEvent::Tick};
    tick.level = level;
    tick.peak = peak;
    tick.seconds = seconds;
    const HotkeyActions actions = decide(tick);
    if (actions.isEmpty())
        return;
    QMetaObject::invokeMethod(
        qApp,
        [actions, serial = recordingNumber()] {
            if (isRecording() && serial == recordingNumber())
                carryOut(actions);
        },
        Qt::QueuedConnection);
}

} // namespace

void hotkeyEvent(HotkeyEvent::Kind kind, KeySource source)
{
    HotkeyEvent event{kind};
    event.source = source;
    carryOut(decide(event));
}

bool hotkeyStoppedByPress()
{
    return hotkeySession().stoppingPress();
}

bool isToggledRecording()
{
    return hotkeySession().toggled() && isRecording();
}

void toggleRecording()
{
    hotkeyEvent(HotkeyEvent::Toggle);
}

void watchRecordings()
{
    watchRecordingLevels(meterTicked);
}

namespace {

constexpr unsigned long retryIntervalMs = 2000;

template <typename Call> void request(Call what)
{
    QMetaObject::invokeMethod(qApp, what, Qt::QueuedConnection);
}

// One physical key event: the rules, and the request they make.
void processKey(KeyTracker &tracker, TapState &state, std::optional<std::int64_t> &pendingModifier,
                std::int64_t key, bool pressed)
{
    const std::optional<TapEvent> event = tracker.onKey(key, pressed);
    if (!event)
        return;
    // Capture takes every key; push-to-talk rests meanwhile.
    if (const CaptureHandler capture = captureHandlerSnapshot()) {
        const CaptureDecision decision = handleCaptureEvent(*event, pendingModifier);
        if (decision.outcome == CaptureOutcome::Cancelled)
            capture(std::nullopt);
        else if (decision.outcome == CaptureOutcome::Captured)
            capture(ActiveHotkey{decision.code, decision.modifiers});
        return;
    }
    pendingModifier.reset();
    const ActiveHotkey hotkey = activeHotkeySnapshot();
    // The user typing (a modifier alone types nothing) ends a dictation's
    // continuation of the last one.
    if (event->type == eventKeyDown && event->keyCode != hotkey.code && !event->autorepeat &&
        !modifierFlags.contains(event->keyCode))
        noteUserKey();
    // Seen, never taken: Escape still reaches the focused window.
    if (event->type == eventKeyDown && event->keyCode == escapeKey && !event->autorepeat &&
        hotkey.code != escapeKey)
        request([] { hotkeyEvent(HotkeyEvent::Escape); });
    // Whether the event reaches the focused window was settled by the key
    // grab already; here only the requests remain.
    switch (handleTapEvent(*event, state, hotkey.code, hotkey.modifiers).request) {
    case TapRequest::Begin:
        request([] { hotkeyEvent(HotkeyEvent::Press); });
        break;
    case TapRequest::Stop:
        request([] { hotkeyEvent(HotkeyEvent::Release); });
        break;
    case TapRequest::Cancel:
        request([] { hotkeyEvent(HotkeyEvent::Combo); });
        break;
    case TapRequest::None:
        break;
    }
}

void eventTapLoop(KeyboardHook &hook)
{
    if (!hook.open()) {
        log(QStringLiteral("Event tap unavailable \u2014 waiting for Accessibility permission"));
        do
            QThread::msleep(retryIntervalMs);
        while (!hook.open());
    }
    eventTapActive = true;
    setKeysSeen(true);
    QMetaObject::invokeMethod(
        qApp, [] { Q_EMIT daemonEvents().keyListenerActive(); }, Qt::QueuedConnection);
    log(QStringLiteral("Event tap active, push-to-talk key code: %1")
            .arg(activeHotkeySnapshot().code));

    KeyTracker tracker;
    TapState state;
    std::optional<std::int64_t> capturePendingModifier;
    hook.run(
        [&](std::int64_t key, bool pressed) {
            const auto start = std::chrono::steady_clock::now();
            processKey(tracker, state, capturePendingModifier, key, pressed);
            if (tapEventTimed)
                tapEventTimed(std::chrono::steady_clock::now() - start);
        },
        [](std::int64_t code, std::uint64_t modifiers) {
            // Named on the main thread, where the keyboard layout is read.
            QMetaObject::invokeMethod(
                qApp,
                [code, modifiers] {
                    log(QStringLiteral("ERROR: could not grab the hotkey %1: another program "
                                       "holds that key combination")
                            .arg(hotkeyName(code, modifiers)));
                },
                Qt::QueuedConnection);
        });
}

// Where the desktop binds the shortcut, its press and release are the hotkey's;
// it repeats presses while held and may lose the release (the session's rules).
void followShortcut(ShortcutSource &source)
{
    eventTapActive = true;
    Q_EMIT daemonEvents().keyListenerActive();
    log(QStringLiteral("Event tap active, push-to-talk key code: %1")
            .arg(activeHotkeySnapshot().code));
    source.start([](bool pressed) {
        // Capture takes every key; push-to-talk rests meanwhile.
        if (captureHandlerSnapshot())
            return;
        hotkeyEvent(pressed ? HotkeyEvent::Press : HotkeyEvent::Release, KeySource::Desktop);
    });
}

} // namespace

void captureKeyFromWindow(std::int64_t key, bool pressed)
{
    // Main thread only; a capture starts with a reset.
    static KeyTracker tracker;
    static TapState state;
    static std::optional<std::int64_t> pendingModifier;
    if (key < 0) {
        tracker = {};
        state = {};
        pendingModifier.reset();
        return;
    }
    processKey(tracker, state, pendingModifier, key, pressed);
}

void startEventTapThread()
{
    const bool listening = keyListener().start(
        [](KeyboardHook &hook) {
            startThread(QStringLiteral("EventTap"), [&hook] { eventTapLoop(hook); });
        },
        followShortcut);
    if (!listening)
        log(QStringLiteral("Event tap unavailable \u2014 waiting for Accessibility permission"));
}

} // namespace parlotta

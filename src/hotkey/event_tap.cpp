#include "hotkey/event_tap.h"

#include "core/events.h"
#include "core/log.h"
#include "core/threads.h"
#include "dictation/recording.h"
#include "hotkey/hotkey_model.h"
#include "hotkey/key_listener.h"
#include "hotkey/key_tracker.h"
#include "platform/keyboard.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

namespace parlotta {

std::atomic<bool> eventTapActive{false};
std::atomic<bool> hotkeyHeld{false};
std::function<void(std::chrono::nanoseconds)> tapEventTimed;
std::chrono::milliseconds heldShortcutLimit = std::chrono::minutes(5);
std::chrono::milliseconds lostReleaseGap = std::chrono::seconds(1);

namespace {
QString refusal;
} // namespace

bool hotkeyHoldsModifiers()
{
    if (!hotkeyHeld)
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

ModeState modeState;
QElapsedTimer pressClock;

} // namespace

void hotkeyPressed()
{
    pressClock.start();
    if (modeOnPress(modeState, isToggledRecording()) == ModeAction::Stop)
        stopRecordingAndTranscribe();
    else
        beginRecording();
}

void hotkeyReleased(const QString &beforeStop)
{
    const auto held = std::chrono::milliseconds(pressClock.isValid() ? pressClock.elapsed() : 0);
    const ModeAction action = modeOnRelease(modeState, selectedHotkeyMode(), held);
    if (action == ModeAction::Stop && !beforeStop.isEmpty() && isRecording())
        log(beforeStop);
    if (action == ModeAction::Stop)
        stopRecordingAndTranscribe();
    else if (action == ModeAction::Latch)
        latchRecording();
}

bool hotkeyStoppedByPress()
{
    return hotkeyHeld && modeState.stoppingPress;
}

void escapePressed()
{
    if (isToggledRecording())
        cancelRecordingBecause(QStringLiteral("Escape"));
}

void toggleRecording()
{
    if (isRecording()) {
        stopRecordingAndTranscribe();
        return;
    }
    beginRecording();
    latchRecording();
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
    // Seen, never taken: Escape still reaches the focused window.
    if (event->type == eventKeyDown && event->keyCode == escapeKey && !event->autorepeat &&
        hotkey.code != escapeKey)
        request(escapePressed);
    // Whether the event reaches the focused window was settled by the key
    // grab already; here only the requests remain.
    switch (handleTapEvent(*event, state, hotkey.code, hotkey.modifiers).request) {
    case TapRequest::Begin:
        hotkeyHeld = true;
        request(hotkeyPressed);
        break;
    case TapRequest::Stop:
        hotkeyHeld = false;
        request([] { hotkeyReleased(); }); // a lambda: the default argument
        break;
    case TapRequest::Cancel:
        hotkeyHeld = false;
        request(cancelRecording);
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

// Where the desktop binds the shortcut, its press and release are the hotkey's.
// A desktop can lose the release (portals do when a modifier changes first):
// a hold longer than the limit ends as a release would, so that a lost release
// never leaves the microphone open.
void followShortcut(ShortcutSource &source)
{
    static QTimer *holdLimit = new QTimer; // main thread, for the life of the process
    // Desktops repeat presses while the shortcut is held, and after a lost
    // release the next press must count.
    holdLimit->setSingleShot(true);
    QObject::connect(holdLimit, &QTimer::timeout, [] {
        hotkeyHeld = false;
        hotkeyReleased(
            QStringLiteral("No release of the hotkey seen for %1 s, stopping as if released")
                .arg(std::chrono::duration_cast<std::chrono::seconds>(heldShortcutLimit).count()));
    });
    eventTapActive = true;
    Q_EMIT daemonEvents().keyListenerActive();
    log(QStringLiteral("Event tap active, push-to-talk key code: %1")
            .arg(activeHotkeySnapshot().code));
    source.start([](bool pressed) {
        // Capture takes every key; push-to-talk rests meanwhile.
        if (captureHandlerSnapshot())
            return;
        // Repeats come many times a second while the shortcut is held: a
        // press long after the last one follows a release the desktop lost.
        static QElapsedTimer lastPress;
        const bool releaseLost = pressed && hotkeyHeld && lastPress.isValid() &&
                                 lastPress.elapsed() > lostReleaseGap.count();
        if (pressed)
            lastPress.start();
        if (releaseLost) {
            holdLimit->stop();
            hotkeyHeld = false;
            hotkeyReleased(QStringLiteral("No release of the hotkey seen before this press, "
                                          "stopping as if released"));
        }
        if (pressed == hotkeyHeld)
            return;
        hotkeyHeld = pressed;
        if (pressed) {
            hotkeyPressed();
            holdLimit->start(heldShortcutLimit);
        } else {
            holdLimit->stop();
            hotkeyReleased();
        }
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

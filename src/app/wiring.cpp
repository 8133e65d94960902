// What the events of the lower subsystems set off above them: the libraries
// depend downwards (app → settings → menubar → hotkey → dictation → server →
// models → core, each on the platform interfaces), so a lower subsystem
// announces through DaemonEvents, and this file, the one place that sees every
// subsystem, connects the announcements to the calls.
#include "app/wiring.h"

#include "core/events.h"
#include "core/preferences.h"
#include "dictation/inference_request.h"
#include "dictation/paste.h"
#include "dictation/recording.h"
#include "dictation/stop_path.h"
#include "dictation/transcription_target.h"
#include "hotkey/event_tap.h"
#include "menubar/menu_handler.h"
#include "platform/clipboard.h"
#include "server/server.h"
#include "settings/settings_controller.h"
#include <QTimer>

namespace parlotta {

namespace {

void applyIdleLimit()
{
    // The tests free the model after seconds, not minutes.
    if (const int seconds = qEnvironmentVariableIntValue("PARLOTTA_IDLE_SECONDS"); seconds > 0)
        setLocalServerIdleLimit(std::chrono::seconds(seconds));
    else
        setLocalServerIdleLimit(std::chrono::minutes(freeModelAfterMinutes()));
}

} // namespace

void wireSubsystems()
{
    DaemonEvents *events = &daemonEvents();
    // The supervisor runs whatever the chosen target names.
    setLocalServerChoice([] {
        const TranscriptionTarget target = chosenTranscriptionTarget();
        if (target.engine == TranscriptionEngine::Remote)
            return LocalServerChoice{
                {}, QStringLiteral("Another server transcribes, whisper-server not started")};
        if (target.problem == noModelYet)
            return LocalServerChoice{{},
                                     noModelYet + QStringLiteral(", whisper-server not started")};
        return LocalServerChoice{target.localServer, QStringLiteral("ERROR: ") + target.problem};
    });
    // SIGUSR1: the same steps as a hotkey press. SIGUSR2: the stop path, which
    // itself handles a missing recording.
    QObject::connect(events, &DaemonEvents::startRequested, events, [] { beginRecording(); });
    QObject::connect(events, &DaemonEvents::stopRequested, events,
                     [] { stopRecordingAndTranscribe(); });
    // SIGHUP: the server restarts on whatever model current.bin names now, and
    // the settings window's model list shows it.
    QObject::connect(events, &DaemonEvents::reloadRequested, events, [] {
        restartLocalServer();
        if (menuHandler)
            menuHandler->rebuildMenu();
        if (settingsController)
            settingsController->rebuildModelPopup();
    });
    // An open recording is stopped without transcription, a request in flight
    // is dropped, a paste under way gives the clipboard back now, the user's
    // clipboard (ours after a paste) goes to the clipboard manager, then the
    // server stops.
    QObject::connect(events, &DaemonEvents::shuttingDown, events, [] {
        stopRecorderForShutdown();
        abortInference();
        finishPasteNow();
        handOverClipboardToManager();
        stopLocalServerNow();
    });
    // Only while the hold records: a release the listener missed never holds pastes up.
    // The press that stopped a toggled recording may still be held as its paste comes.
    holdPastesWhile(
        [] { return hotkeyHoldsModifiers() && (isRecording() || hotkeyStoppedByPress()); });
    QObject::connect(events, &DaemonEvents::sessionLocked, events,
                     [] { hotkeyEvent(HotkeyEvent::Lock); });
    watchRecordings();
    // The tests' bindings wait seconds for a lost release, not minutes.
    if (const int seconds = qEnvironmentVariableIntValue("PARLOTTA_HOLD_LIMIT"); seconds > 0)
        hotkeySession().limits.hold = std::chrono::seconds(seconds);
    // The menu and the settings window drop what they show about missing keyboard
    // access, and show it again when the desktop will not bind the hotkey.
    const auto showKeyListener = [] {
        if (menuHandler)
            menuHandler->rebuildMenu();
        if (settingsController)
            settingsController->refresh();
    };
    QObject::connect(events, &DaemonEvents::keyListenerActive, events, showKeyListener);
    QObject::connect(events, &DaemonEvents::hotkeyBound, events, [showKeyListener] {
        setHotkeyRefusal({});
        showKeyListener();
    });
    QObject::connect(events, &DaemonEvents::hotkeyRefused, events,
                     [showKeyListener](const QString &why) {
                         setHotkeyRefusal(why);
                         showKeyListener();
                     });
    QObject::connect(events, &DaemonEvents::settingsRequested, events, [] {
        if (settingsController)
            settingsController->show();
    });
    // Another model may be another engine: its server, its languages in the menu.
    QObject::connect(events, &DaemonEvents::modelActivated, events, [] {
        restartLocalServer();
        if (menuHandler)
            menuHandler->rebuildMenu();
    });
    QObject::connect(events, &DaemonEvents::dictationChanged, events, [] {
        // The model stays loaded while a recording or a transcription needs it.
        setLocalServerInUse(isRecording() || !transcriptionsPending().isEmpty());
        if (menuHandler)
            menuHandler->showState();
    });
    applyIdleLimit();
    QObject::connect(events, &DaemonEvents::recentTranscriptsChanged, events, [] {
        if (menuHandler)
            menuHandler->rebuildMenu();
    });
    QObject::connect(events, &DaemonEvents::transcriptionFailureChanged, events, [] {
        if (menuHandler)
            menuHandler->rebuildMenu();
    });
    // Every change of a preference, wherever it was made, takes this one route.
    QObject::connect(events, &DaemonEvents::preferenceChanged, events, [](const QString &key) {
        // Another server transcribes: the server here ends and frees its model's memory.
        if (key == prefServer) {
            if (chosenTranscriptionTarget().engine == TranscriptionEngine::Remote)
                stopLocalServer();
            else
                restartLocalServer();
        }
        if (key == prefFreeModelAfter)
            applyIdleLimit();
        if (key == prefKeepRecent && !preferenceBool(prefKeepRecent, true))
            clearRecentTranscripts(); // the menu follows that change itself
        // What the menu shows: the language and its code, Recent, and whatever the
        // hotkey and the server decide about its warnings.
        static const QStringList inMenu = {prefLanguage, prefShowLanguage, prefKeepRecent,
                                           prefHotkey,   prefServer,       prefServerAddress};
        // Keys stored together (the hotkey and its modifiers) are shown once.
        static bool menuDue = false, windowDue = false;
        const bool scheduled = menuDue || windowDue;
        menuDue = menuDue || inMenu.contains(key);
        windowDue = true;
        if (scheduled)
            return;
        QTimer::singleShot(0, [] {
            if (menuDue && menuHandler)
                menuHandler->rebuildMenu();
            if (settingsController)
                settingsController->refresh();
            menuDue = windowDue = false;
        });
    });
}

} // namespace parlotta

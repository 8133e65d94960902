// The calls that cross from one subsystem into another above it. The
// libraries depend downwards (app → settings → menubar → hotkey → dictation → server →
// models → core, each on the platform interfaces), so a lower subsystem that must set
// off something above it declares an on...() function in its own header and
// this file, the one place that sees every subsystem, defines it with direct
// calls. Whoever else must be told of an event is added here.
#include "core/daemon.h"
#include "dictation/inference_request.h"
#include "dictation/paste.h"
#include "dictation/recording.h"
#include "hotkey/event_tap.h"
#include "menubar/menu_handler.h"
#include "models/model_store.h"
#include "platform/clipboard.h"
#include "server/server.h"
#include "settings/settings_controller.h"

namespace parlotta {

// SIGUSR1: the same steps as a hotkey press.
void onStartSignal()
{
    beginRecording();
}

// SIGUSR2: the stop path, which itself handles a missing recording.
void onStopSignal()
{
    stopRecordingAndTranscribe();
}

// SIGHUP: the server restarts on whatever model current.bin names now, and
// the settings window's model list shows it.
void onReloadSignal()
{
    restartWhisperServer();
    if (settingsController)
        settingsController->rebuildModelPopup();
}

// Shutdown: an open recording is stopped without transcription, a request in
// flight is dropped, a paste under way gives the clipboard back now, the user's
// clipboard (ours after a paste) goes to the clipboard manager, then the server stops.
void onShutdown()
{
    stopRecorderForShutdown();
    abortInference();
    finishPasteNow();
    handOverClipboardToManager();
    stopWhisperServerNow();
}

// The key listener runs: the tray menu and the settings window drop what they
// show about missing keyboard access.
void onEventTapActive()
{
    if (menuHandler)
        menuHandler->rebuildMenu();
    if (settingsController)
        settingsController->refresh();
}

// The menu's language choice: an open settings window shows it.
void onLanguageChosen()
{
    settingsController->refresh();
}

void onOpenSettings()
{
    settingsController->show();
}

void onModelActivated()
{
    restartWhisperServer();
}

} // namespace parlotta

#include "app/startup.h"

#include "core/daemon.h"
#include "core/log.h"
#include "core/login_item.h"
#include "core/preferences.h"
#include "core/runtime_files.h"
#include "dictation/cues.h"
#include "dictation/recording.h"
#include "hotkey/event_tap.h"
#include "hotkey/hotkey_model.h"
#include "hotkey/key_codes.h"
#include "models/model_store.h"
#include "platform/keyboard.h"
#include "server/server.h"

#include <QApplication>
#include <cstdio>
#include <unistd.h>

namespace parlotta {

namespace {

int cannotStart(const QString &why)
{
    std::fprintf(stderr, "parlotta: %s\n", qPrintable(why));
    return 1;
}

void wireDaemonHooks()
{
    daemonHooks.beginRecording = beginRecording;
    daemonHooks.stopRecordingAndTranscribe = stopRecordingAndTranscribe;
    daemonHooks.stopRecorderForShutdown = stopRecorderForShutdown;
    daemonHooks.stopWhisperServer = stopWhisperServer;
    daemonHooks.startWhisperServer = startWhisperServer;
    modelActivated = restartWhisperServer;
    tapRequests.beginRecording = beginRecording;
    tapRequests.stopRecordingAndTranscribe = stopRecordingAndTranscribe;
    tapRequests.cancelRecording = cancelRecording;
    keyLayoutCharacter = [](std::int64_t code) {
        const int evdev = evdevFromVirtualKey(code);
        return evdev < 0 ? QString() : keyCharacter(evdev);
    };
}

} // namespace

int runDaemon(QApplication &app)
{
    QString error;
    if (!prepareRuntimeDir(&error) || !openLog(&error) || !loadSounds(&error))
        return cannotStart(error);

    log(QStringLiteral("=== Parlotta daemon starting (PID:%1) ===").arg(getpid()));
    requestMicrophoneAccess();
    writeFileAtomically(pidPath, QByteArray::number(getpid()));

    {
        std::lock_guard lock(hotkeyLock);
        activeHotkey = selectedHotkey();
        activeHotkeyModifiers = selectedHotkeyModifiers();
    }

    wireDaemonHooks();
    installSignalHandlers();

    stopStaleWhisperServer();
    startWhisperServer();

    log(QStringLiteral("Daemon ready \u2014 hotkey: %1, also accepting SIGUSR1 (start) / SIGUSR2 "
                       "(stop+transcribe)")
            .arg(hotkeyName(selectedHotkey(), selectedHotkeyModifiers())));

    // A tray daemon: closing the settings window must not end the process.
    app.setQuitOnLastWindowClosed(false);
    // Here the tray menu and the settings controller come to be. X11 asks no
    // permission for key events, so there is nothing to prompt for.

    startEventTapThread();

    if (!preferenceBool(prefLoginItemConfigured, false)) {
        setOpenAtLogin(true);
        setPreference(prefLoginItemConfigured, true);
    }
    // Here the settings window opens when no model is active, and the update
    // checks are scheduled.

    app.exec();
    shutdown();
}

} // namespace parlotta

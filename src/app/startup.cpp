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
#include "server/server.h"

#include <QApplication>
#include <QFile>
#include <cstdio>
#include <unistd.h>

namespace parlotta {

namespace {

int cannotStart(const QString &why)
{
    std::fprintf(stderr, "parlotta: %s\n", qPrintable(why));
    return 1;
}

} // namespace

int runDaemon(QApplication &app)
{
    QString error;
    if (!prepareRuntimeDir(commandDir, &error) || !openLog(logPath, &error) || !loadSounds(&error))
        return cannotStart(error);

    log(QStringLiteral("=== Parlotta daemon starting (PID:%1) ===").arg(getpid()));
    requestMicrophoneAccess();
    // Outside tools steer the daemon through this file: say when it is missing.
    if (!writeFileAtomically(pidPath, QByteArray::number(getpid()), &error))
        log(QStringLiteral("ERROR: could not write %1: %2").arg(pidPath, error));

    setActiveHotkey(selectedHotkey(), selectedHotkeyModifiers());

    if (!installSignalHandlers(&error)) {
        log(QStringLiteral("ERROR: ") + error);
        ::unlink(QFile::encodeName(pidPath).constData());
        return cannotStart(error);
    }

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

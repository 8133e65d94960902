#include "app/startup.h"
#include "app/wiring.h"

#include "core/daemon.h"
#include "core/deployment.h"
#include "core/events.h"
#include "core/log.h"
#include "core/login_item.h"
#include "core/preferences.h"
#include "core/runtime_files.h"
#include "core/system_error.h"
#include "dictation/cues.h"
#include "dictation/recording.h"
#include "dictation/transcription_target.h"
#include "hotkey/event_tap.h"
#include "hotkey/hotkey_model.h"
#include "menubar/menu_handler.h"
#include "menubar/status_icon.h"
#include "models/catalogue.h"
#include "models/model_catalogue.h"
#include "models/model_download.h"
#include "models/model_store.h"
#include "secrets/api_key.h"
#include "server/server.h"
#include "settings/settings_controller.h"
#include "update/installer.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QTimer>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

namespace parlotta {

namespace {

int cannotStart(const QString &why)
{
    std::fprintf(stderr, "parlotta: %s\n", qPrintable(why));
    return 1;
}

// One daemon per user: a lock on a file in the runtime directory, held for the
// life of the process. The kernel drops it when the holder ends, however it
// ends, so a crashed daemon never blocks the next start.
bool holdDaemonLock(QString *error, bool *heldByAnother)
{
    const QString path = commandDir + QStringLiteral("/daemon.lock");
    const int fd = openRuntimeFile(path, O_RDWR | O_CREAT, 0600);
    if (fd < 0) {
        *error = QStringLiteral("cannot open %1: %2").arg(path, systemErrorText());
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return true; // fd stays open, and so the lock held, until the process ends
    const int err = errno;
    ::close(fd);
    if (err != EWOULDBLOCK) {
        *error = QStringLiteral("cannot lock %1: %2").arg(path, systemErrorText(err));
        return false;
    }
    *heldByAnother = true;
    QFile pidFile(pidPath);
    const auto pid =
        pidFile.open(QIODevice::ReadOnly) ? parsePidFile(pidFile.read(64)) : std::nullopt;
    *error = QStringLiteral("another Parlotta daemon is already running%1; not starting a second "
                            "one")
                 .arg(pid ? QStringLiteral(" (PID %1)").arg(*pid) : QString());
    return false;
}

// The running daemon's door on the session bus: starting Parlotta again
// (from the applications menu, with no tray to click) shows its settings.
class DaemonBusObject final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.parlotta.Daemon")
  public Q_SLOTS:
    Q_SCRIPTABLE void ShowSettings()
    {
        Q_EMIT daemonEvents().settingsRequested();
    }
    // The commands of "parlotta --start" and its kin.
    Q_SCRIPTABLE void Start()
    {
        log(QStringLiteral("Received parlotta --start \u2192 start recording"));
        beginRecording();
    }
    Q_SCRIPTABLE void Stop()
    {
        log(QStringLiteral("Received parlotta --stop \u2192 stop + transcribe"));
        stopRecordingAndTranscribe();
    }
    Q_SCRIPTABLE void Toggle()
    {
        log(QStringLiteral("Received parlotta --toggle \u2192 ") +
            (isRecording() ? QStringLiteral("stop + transcribe")
                           : QStringLiteral("start recording")));
        toggleRecording();
    }
    // What a compositor's key binding runs: the hotkey's own press and
    // release, which the hotkey session turns into a start, a stop or neither.
    Q_SCRIPTABLE void Press()
    {
        log(QStringLiteral("Received parlotta --press \u2192 hotkey pressed"));
        hotkeyEvent(HotkeyEvent::Press, KeySource::Bus);
    }
    Q_SCRIPTABLE void Release()
    {
        log(QStringLiteral("Received parlotta --release \u2192 hotkey released"));
        hotkeyEvent(HotkeyEvent::Release, KeySource::Bus);
    }

    Q_SCRIPTABLE void Cancel()
    {
        log(QStringLiteral("Received parlotta --cancel \u2192 cancel recording"));
        cancelRecordingBecause(QStringLiteral("parlotta --cancel"));
    }
};

const QString busName = QStringLiteral(PARLOTTA_BUNDLE_ID);

void offerBusObject()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(QStringLiteral("/"), new DaemonBusObject,
                            QDBusConnection::ExportScriptableSlots) ||
        !bus.registerService(busName))
        log(QStringLiteral("ERROR: could not offer %1 on the session bus: %2")
                .arg(busName, bus.lastError().message()));
}

// Calls one of the running daemon's methods; false when it cannot be reached.
bool callRunningDaemon(const QString &method)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        busName, QStringLiteral("/"), QStringLiteral("org.parlotta.Daemon"), method);
    return QDBusConnection::sessionBus().call(call, QDBus::Block, 5000).type() ==
           QDBusMessage::ReplyMessage;
}

// When another account holds /tmp/parlotta, the user's own runtime folder
// serves instead; false when there is none either.
bool prepareRuntimeFiles(QString *error, QString *movedBecause)
{
    if (prepareRuntimeDir(commandDir, error))
        return true;
    const QString own = qEnvironmentVariable("XDG_RUNTIME_DIR");
    QString ignored;
    if (own.isEmpty() || !prepareRuntimeDir(own + QStringLiteral("/parlotta"), &ignored))
        return false;
    *movedBecause = *error;
    moveRuntimeFiles(own + QStringLiteral("/parlotta"));
    return true;
}

} // namespace

// This thread's nanoseconds on a CPU and waiting for one so far (the kernel's
// schedstat), and the times it went to sleep of its own accord.
struct SchedulerTimes {
    qint64 ran = 0;
    qint64 waited = 0;
    long sleeps = 0;
};
SchedulerTimes schedulerTimes()
{
    SchedulerTimes times;
    QFile file(QStringLiteral("/proc/thread-self/schedstat"));
    if (file.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> fields = file.readLine().split(' ');
        times.ran = fields.value(0).toLongLong();
        times.waited = fields.value(1).toLongLong();
    }
    rusage usage{};
    if (getrusage(RUSAGE_THREAD, &usage) == 0)
        times.sleeps = usage.ru_nvcsw;
    return times;
}

// For the stall benchmark (PARLOTTA_STALL_PROBE set to the seconds after
// start-up it begins, 3 by default, so that start-up's work is done): how late
// a 1 ms timer ran at worst, from then to the exit, where it is logged, in
// three figures. Our own code's: the thread running, or asleep in a call of
// ours (it slept more than once, the event loop's own wait being one). In
// all: what was not a wait for a CPU; the rest of it is time the thread was
// neither running nor asleep by our doing, which the machine's host took
// (a virtual machine's CPU held elsewhere). With the waits for a CPU (a busy
// whisper-server on few cores). Each new worst of our own is logged where it
// happened, among the lines that tell what ran.
void startStallProbe()
{
    if (!qEnvironmentVariableIsSet("PARLOTTA_STALL_PROBE"))
        return;
    auto *timer = new QTimer;
    timer->setTimerType(Qt::PreciseTimer);
    static QElapsedTimer clock;
    static qint64 last = 0, worstOwn = 0, worst = 0, worstWithCpu = 0;
    static SchedulerTimes before;
    QObject::connect(timer, &QTimer::timeout, [] {
        const qint64 now = clock.nsecsElapsed();
        const SchedulerTimes times = schedulerTimes();
        const qint64 late = now - last - 1000000;
        const qint64 notWaiting = late - (times.waited - before.waited);
        const qint64 own =
            times.sleeps - before.sleeps > 1 ? notWaiting : std::min(late, times.ran - before.ran);
        worstWithCpu = std::max(worstWithCpu, late);
        worst = std::max(worst, notWaiting);
        if (own > worstOwn) {
            worstOwn = own;
            if (own > 2000000)
                log(QStringLiteral("Stall probe: %1 ms of our own code")
                        .arg(double(own) / 1e6, 0, 'f', 1));
        }
        last = now;
        before = times;
    });
    const int delay = qEnvironmentVariableIntValue("PARLOTTA_STALL_PROBE");
    QTimer::singleShot(delay > 0 ? delay * 1000 : 3000, [timer] {
        clock.start();
        before = schedulerTimes();
        timer->start(1);
    });
    QObject::connect(&daemonEvents(), &DaemonEvents::shuttingDown, [] {
        log(QStringLiteral("Main thread's longest stall: %1 ms of our own code, %2 ms in all "
                           "(%3 ms with the waits for a CPU)")
                .arg(double(std::max<qint64>(worstOwn, 0)) / 1e6, 0, 'f', 1)
                .arg(double(worst) / 1e6, 0, 'f', 1)
                .arg(double(worstWithCpu) / 1e6, 0, 'f', 1));
    });
}

int sendDaemonCommand(const QString &option)
{
    static const QHash<QString, QString> methods = {
        {QStringLiteral("--start"), QStringLiteral("Start")},
        {QStringLiteral("--stop"), QStringLiteral("Stop")},
        {QStringLiteral("--toggle"), QStringLiteral("Toggle")},
        {QStringLiteral("--cancel"), QStringLiteral("Cancel")},
        {QStringLiteral("--press"), QStringLiteral("Press")},
        {QStringLiteral("--release"), QStringLiteral("Release")}};
    if (!methods.contains(option))
        return cannotStart(QStringLiteral("unknown option %1 (the options are --start, --stop, "
                                          "--toggle, --cancel, --press and --release)")
                               .arg(option));
    if (!callRunningDaemon(methods.value(option)))
        return cannotStart(QStringLiteral("no running Parlotta daemon answers on the session bus"));
    return 0;
}

int runDaemon(QApplication &app, const Session &session, PlatformFactory createPlatform)
{
    QString error, movedBecause;
    if (!prepareRuntimeFiles(&error, &movedBecause))
        return cannotStart(error);
    // Before anything is written: a second daemon would take over the first
    // one's files and server, and both would paste every transcript.
    bool heldByAnother = false;
    if (!holdDaemonLock(&error, &heldByAnother)) {
        if (heldByAnother && callRunningDaemon(QStringLiteral("ShowSettings"))) {
            std::printf("Parlotta is already running; showing its settings window\n");
            return 0;
        }
        return cannotStart(error);
    }
    if (!openLog(logPath, &error) || !loadSounds(&error))
        return cannotStart(error);

    log(QStringLiteral("=== Parlotta daemon starting (PID:%1) ===").arg(getpid()));
    if (!movedBecause.isEmpty())
        log(QStringLiteral("ERROR: %1; the runtime files are in %2 instead")
                .arg(movedBecause, commandDir));
    selectPlatform(createPlatform(session));
    PlatformServices &platform = platformServices();
    log(QStringLiteral("Key listener: ") + platform.keyListenerName());
    log(QStringLiteral("Paste: ") + platform.pasteName());
    log(QStringLiteral("Clipboard: ") + platform.clipboardName());
    requestMicrophoneAccess();
    // Outside tools steer the daemon through this file: say when it is missing.
    if (!writeFileAtomically(pidPath, QByteArray::number(getpid()), &error))
        log(QStringLiteral("ERROR: could not write %1: %2").arg(pidPath, error));

    // Only one daemon runs past the lock, so nothing of these is still in use.
    removeLeftovers(applicationDirectory());
    removeUnfinishedDownloads(modelDir());

    wireSubsystems();
    setActiveHotkey(selectedHotkey(), selectedHotkeyModifiers());

    if (!installSignalHandlers(&error)) {
        log(QStringLiteral("ERROR: ") + error);
        ::unlink(QFile::encodeName(pidPath).constData());
        return cannotStart(error);
    }

    stopStaleServer();
    startLocalServer();
    const TranscriptionTarget target = chosenTranscriptionTarget();
    if (target.engine == TranscriptionEngine::Remote) {
        log(target.problem.isEmpty()
                ? QStringLiteral("Transcription server: ") + target.endpoint.origin
                : QStringLiteral("Transcription server: none usable yet (%1)").arg(target.problem));
        loadApiKey(); // now, so that the first dictation does not wait for the keyring
    }

    log(QStringLiteral("Daemon ready \u2014 hotkey: %1, also accepting SIGUSR1 (start) / SIGUSR2 "
                       "(stop+transcribe)")
            .arg(hotkeyName(selectedHotkey(), selectedHotkeyModifiers())));

    // A tray daemon: closing the settings window must not end the process.
    app.setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(statusIcon(QString(), false));
    // The build's release site, and the copy that runs: what an update replaces.
    auto *updates = new UpdateChecker(releasesURL, runningManifest(), applicationDirectory(), &app);
    menuHandler = new MenuHandler(*updates);
    auto *catalogue = new ModelCatalogue(hubURL(), &app);
    settingsController = new SettingsController(*catalogue);
    // X11 asks no permission for key events, so there is nothing to prompt for.

    startEventTapThread();
    offerBusObject();

    installApplicationEntry();
    if (!preferenceBool(prefLoginItemConfigured, false)) {
        setOpenAtLogin(true);
        setPreference(prefLoginItemConfigured, true);
    }
    // Without a model nothing can be transcribed: the window to choose one opens.
    if (!activeModel() && target.engine != TranscriptionEngine::Remote)
        QMetaObject::invokeMethod(settingsController, &SettingsController::show,
                                  Qt::QueuedConnection);
    // Shortly after start-up, then daily; each started check runs on its own.
    QTimer::singleShot(5000, updates, [updates] { updates->checkForUpdate(false); });
    auto *daily = new QTimer(updates);
    QObject::connect(daily, &QTimer::timeout, updates,
                     [updates] { updates->checkForUpdate(false); });
    daily->start(86400 * 1000);

    startStallProbe();
    app.exec();
    shutdown();
}

} // namespace parlotta

#include "startup.moc"

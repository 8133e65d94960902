#include "server/server.h"

#include "core/events.h"
#include "core/log.h"
#include "core/preferences.h"
#include "core/runtime_files.h"
#include "core/signal_mask.h"
#include "core/system_error.h"
#include "models/catalogue.h"
#include "models/model_store.h"
#include "server/pid_file.h"
#include "server/port_owner.h"
#include "server/restart_policy.h"
#include "server/stale_server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpSocket>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace parlotta {

namespace {

// A server that ends this soon after its launch failed to start (a corrupt
// model, the port taken): it is given more time before each next try.
constexpr int quickFailureMs = 5000;

// The server we launched and still regard as ours. Each launch gets a new
// number, so an exit notice is matched to its very child, never to a later
// one that happens to reuse an address or a PID.
QProcess *serverProcess = nullptr;
quint64 serverLaunch = 0;
// A server asked to stop that has yet to end, and whether a start waits for
// it (or for a stale server) to free the port. Nothing waits on the main thread.
QProcess *stoppingProcess = nullptr;
bool staleEnding = false;
bool startWhenStopped = false;
QElapsedTimer sinceLaunch;
RestartPolicy restartPolicy;
std::function<LocalServerChoice()> chooseServer;
// What the running (or last) server is, as the log names it.
QString runningProgram = QStringLiteral("whisper-server");
// Freeing the model's memory when idle: the limit (zero: never), whether a
// dictation uses the server now, and whether it was stopped for being idle
// (it starts again at the next press, not at a restart).
std::chrono::milliseconds idleLimit{0};
bool inUse = false;
bool idleUnloaded = false;
// From a start asked for until the server listens (or ends); read by the inference thread.
std::atomic<bool> loading{false};
// The last server ended before it listened (a model it cannot load): a request
// refused now fails as such rather than reading as silence.
std::atomic<bool> loadFailed{false};

void unloadIdleServer();

QTimer &idleTimer()
{
    static QTimer *timer = [] {
        auto *t = new QTimer;
        t->setSingleShot(true);
        QObject::connect(t, &QTimer::timeout, unloadIdleServer);
        return t;
    }();
    return *timer;
}

void armIdleTimer()
{
    if (idleLimit.count() > 0 && !inUse)
        idleTimer().start(idleLimit);
    else
        idleTimer().stop();
}

QString idleSpan(std::chrono::milliseconds limit)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(limit).count();
    if (seconds % 60 != 0)
        return QStringLiteral("%1 s").arg(seconds);
    return seconds == 60 ? QStringLiteral("1 minute")
                         : QStringLiteral("%1 minutes").arg(seconds / 60);
}

// The memory a process holds, in MB, as the kernel counts it; 0 when unknown.
qint64 residentMegabytes(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    static const QRegularExpression rss(QStringLiteral("VmRSS:\\s*(\\d+) kB"));
    const QRegularExpressionMatch found = rss.match(QString::fromLatin1(status.readAll()));
    return found.hasMatch() ? found.captured(1).toLongLong() / 1024 : 0;
}

void unloadIdleServer()
{
    // A server still loading (a restart) is left to finish; the limit counts again.
    if (!serverProcess || inUse || loading) {
        armIdleTimer();
        return;
    }
    log(QStringLiteral("No dictation for %1: %2 stopped to free the model's memory (%3 MB); "
                       "it loads again at the next press")
            .arg(idleSpan(idleLimit), runningProgram)
            .arg(residentMegabytes(serverProcess->processId())));
    stopLocalServer();
    idleUnloaded = true;
}

// The server listens once its model is loaded (whisper-server's own line about it is
// block-buffered in its log): the port is tried until it answers.
void watchLoading(quint64 launch, const QString &program)
{
    auto *probe = new QTimer;
    auto *socket = new QTcpSocket(probe);
    const auto finish = [probe] {
        probe->stop();
        probe->deleteLater();
    };
    QObject::connect(socket, &QTcpSocket::connected, probe, [socket, launch, program, finish] {
        socket->abort();
        if (!serverProcess || serverLaunch != launch)
            return finish();
        // Another account's program on the port is not our server ready.
        if (foreignListenerUid(quint16(serverPort)))
            return;
        loading = false;
        loadFailed = false;
        log(QStringLiteral("%1 ready (model loaded in %2 s)")
                .arg(program)
                .arg(double(sinceLaunch.elapsed()) / 1000, 0, 'f', 1));
        Q_EMIT daemonEvents().dictationChanged(); // the tray's tooltip no longer says loading
        finish();
    });
    QObject::connect(socket, &QAbstractSocket::errorOccurred, probe, [socket] { socket->abort(); });
    QObject::connect(probe, &QTimer::timeout, [socket, launch, finish] {
        if (!serverProcess || serverLaunch != launch)
            return finish();
        if (socket->state() == QAbstractSocket::UnconnectedState)
            socket->connectToHost(serverHost, quint16(serverPort));
    });
    probe->start(100);
}

QTimer &restartTimer()
{
    static QTimer *timer = [] {
        auto *t = new QTimer;
        t->setSingleShot(true);
        t->setTimerType(Qt::PreciseTimer);
        QObject::connect(t, &QTimer::timeout, startLocalServer);
        return t;
    }();
    return *timer;
}

void reportForeignPortHolder()
{
    if (const auto uid = foreignListenerUid(quint16(serverPort)))
        log(QStringLiteral("ERROR: port %1 on %2 belongs to another user (uid %3); "
                           "%4 cannot listen there")
                .arg(serverPort)
                .arg(serverHost)
                .arg(*uid)
                .arg(runningProgram));
}

// Whether the server that just ended was set to compute on a GPU: ggml lists
// the Vulkan devices it will use as it starts, before the model is loaded onto
// one (where a broken driver fails); whisper.cpp and its Parakeet library name
// any other GPU backend.
bool serverUsedGpu()
{
    QFile file(serverLogPath);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    // A server that failed at once wrote a few kilobytes; never read more than a bounded head.
    const QByteArray output = file.read(1 << 20);
    return output.contains("ggml_vulkan: 0 = ") ||
           output.contains("whisper_backend_init_gpu: using ") ||
           output.contains("parakeet_backend_init_gpu: using ");
}

// parakeet-server times its warm-up pass before it listens; the figure is
// kept for the model list ("about … s per 5 s of speech here").
void watchWarmUp(quint64 launch, const QString &model)
{
    auto *watch = new QTimer;
    auto *clock = new QElapsedTimer;
    clock->start();
    QObject::connect(watch, &QTimer::timeout, [watch, clock, launch, model] {
        static const QRegularExpression line(
            QStringLiteral("warm-up pass: (\\d+) s of audio in (\\d+) ms"));
        QFile file(serverLogPath);
        const QRegularExpressionMatch found =
            file.open(QIODevice::ReadOnly) ? line.match(QString::fromUtf8(file.read(1 << 20)))
                                           : QRegularExpressionMatch();
        const bool current = serverProcess && serverLaunch == launch;
        if (found.hasMatch() && current) {
            const double seconds = found.captured(1).toDouble();
            const double took = found.captured(2).toDouble() / 1000;
            if (seconds > 0)
                storeModelSpeed(model, took * 5 / seconds);
        }
        if (found.hasMatch() || !current || clock->elapsed() > 300000) {
            watch->deleteLater();
            delete clock;
        }
    });
    watch->start(250);
}

QTimer &stopTimer()
{
    static QTimer *timer = [] {
        auto *t = new QTimer;
        t->setSingleShot(true);
        QObject::connect(t, &QTimer::timeout, [] {
            // Bounded: a server that ignores SIGTERM must not hold the port for ever.
            if (!stoppingProcess)
                return;
            stoppingProcess->kill();
            log(runningProgram + QStringLiteral(" did not stop within 5 s, killed"));
        });
        return t;
    }();
    return *timer;
}

// The port is free again (our server or a stale one ended): a start that
// waited for it goes ahead.
void portFreed()
{
    if (startWhenStopped && !stoppingProcess && !staleEnding) {
        startWhenStopped = false;
        startLocalServer();
    }
}

void onServerFinished(QProcess *child, quint64 launch)
{
    child->deleteLater();
    if (child == stoppingProcess) {
        stoppingProcess = nullptr;
        stopTimer().stop();
        QFile::remove(serverPidPath);
        log(runningProgram + QStringLiteral(" stopped"));
        portFreed();
        return;
    }
    if (!serverProcess || serverLaunch != launch)
        return; // already replaced
    serverProcess = nullptr;
    if (loading)
        loadFailed = true;
    loading = false; // a request waiting for it gives up and keeps its recording
    // Killed from outside is not failing to start; exiting with an error or
    // crashing soon after the launch is.
    const bool killed = child->exitStatus() == QProcess::CrashExit &&
                        (child->exitCode() == SIGKILL || child->exitCode() == SIGTERM);
    const bool quick = !killed && sinceLaunch.elapsed() < quickFailureMs;
    const auto next = restartPolicy.serverEnded(quick, quick && serverUsedGpu());
    const int delay = next.delayMs;
    // For a crash Qt reports the number of the signal that ended it.
    log(runningProgram + QStringLiteral(" exited unexpectedly (status %1), restarting in %2s")
                             .arg(child->exitCode())
                             .arg(delay / 1000));
    if (next.toCpu)
        log(runningProgram + QStringLiteral(" failed twice right after starting on the GPU; "
                                            "running it on the CPU until the model changes or "
                                            "SIGHUP"));
    else if (next.keepsFailing)
        log(runningProgram + QStringLiteral(" keeps failing right after it starts; waiting "
                                            "longer before each next try, up to 5 minutes "
                                            "(SIGHUP tries again at once)"));
    reportForeignPortHolder();
    restartTimer().start(delay);
}

} // namespace

QString localServerExecutable(const QString &program)
{
    const QFileInfo bundled(QCoreApplication::applicationDirPath() + u'/' + program);
    if (bundled.isFile() && bundled.isExecutable())
        return bundled.absoluteFilePath();
    return QStandardPaths::findExecutable(program);
}

void setLocalServerChoice(std::function<LocalServerChoice()> choice)
{
    chooseServer = std::move(choice);
}

void startLocalServer()
{
    if (serverProcess || !chooseServer)
        return;
    const LocalServerChoice choice = chooseServer();
    if (!choice.server) {
        log(choice.whyNone);
        return;
    }
    loading = true;
    if (stoppingProcess || staleEnding) {
        startWhenStopped = true;
        return;
    }
    const LocalServer &server = *choice.server;
    const QString &executable = server.executable;
    runningProgram = server.program;
    if (executable.isEmpty()) {
        loading = false;
        log(QStringLiteral("ERROR: %1 is missing from the app bundle").arg(server.program));
        return;
    }
    // The server log is opened here, without following a link planted in its
    // place; the child gets it as both output streams.
    const int logFd = openRuntimeFile(serverLogPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (logFd < 0)
        log(QStringLiteral("ERROR: could not open %1: %2; %3's output is lost")
                .arg(serverLogPath, systemErrorText(), server.program));
    auto *child = new QProcess;
    child->setProgram(executable);
    QStringList arguments = server.arguments;
    if (restartPolicy.gpuDisabled())
        arguments << QStringLiteral("--no-gpu");
    child->setArguments(arguments);
    child->setProcessChannelMode(QProcess::ForwardedChannels);
    child->setInputChannelMode(QProcess::ForwardedInputChannel);
    // ggml loads its CPU and GPU libraries from the server's folder and from
    // the working directory: the daemon's own (a terminal's folder, holding
    // another program's ggml perhaps) must not be searched.
    child->setWorkingDirectory(QFileInfo(executable).absolutePath());
    child->setChildProcessModifier([logFd] {
        resetSignalsInChild();
        if (logFd >= 0) {
            ::dup2(logFd, STDOUT_FILENO);
            ::dup2(logFd, STDERR_FILENO);
        }
    });
    const quint64 launch = ++serverLaunch;
    QObject::connect(
        child, &QProcess::finished, child, [child, launch] { onServerFinished(child, launch); },
        Qt::QueuedConnection);
    // A program that cannot be run is reported when Qt learns of it, not waited for.
    QObject::connect(child, &QProcess::errorOccurred, child, [child](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart || child != serverProcess)
            return;
        serverProcess = nullptr;
        loading = false;
        QFile::remove(serverPidPath);
        log(QStringLiteral("ERROR: could not start %1: %2")
                .arg(runningProgram, child->errorString()));
        child->deleteLater();
    });
    child->start();
    if (logFd >= 0)
        ::close(logFd);
    if (child->state() == QProcess::NotRunning) {
        loading = false;
        log(QStringLiteral("ERROR: could not start %1: %2")
                .arg(server.program, child->errorString()));
        child->deleteLater();
        return;
    }
    serverProcess = child;
    sinceLaunch.start();
    const qint64 pid = child->processId();
    QString error;
    const bool written = writeFileAtomically(serverPidPath, QByteArray::number(pid), &error);
    log(QStringLiteral("%1 started (PID %2)").arg(server.program).arg(pid));
    watchLoading(launch, server.program);
    if (!server.model.isEmpty())
        watchWarmUp(launch, server.model);
    // Without it a daemon after a crash cannot find this server; it runs all the same.
    if (!written)
        log(QStringLiteral("ERROR: could not write %1: %2").arg(serverPidPath, error));
}

void stopLocalServer()
{
    idleUnloaded = false; // stopped on purpose: nothing to load at the next press
    loadFailed = false;
    if (!serverProcess) {
        if (startWhenStopped)
            loading = false;
        startWhenStopped = false;
        return;
    }
    loading = false;
    startWhenStopped = false;
    stoppingProcess = serverProcess;
    serverProcess = nullptr;
    stoppingProcess->terminate();
    stopTimer().start(serverStopTimeoutMs);
}

void stopLocalServerNow()
{
    startWhenStopped = false;
    loading = false;
    idleTimer().stop();
    for (QProcess *child : {serverProcess, stoppingProcess}) {
        if (!child)
            continue;
        child->disconnect();
        if (child == serverProcess)
            child->terminate();
        // Bounded: a server that ignores SIGTERM must not hold up the exit.
        const int left = child == stoppingProcess && stopTimer().isActive()
                             ? stopTimer().remainingTime()
                             : serverStopTimeoutMs;
        if (!child->waitForFinished(std::max(0, left))) {
            child->kill();
            child->waitForFinished(serverStopTimeoutMs);
            log(runningProgram + QStringLiteral(" did not stop within 5 s, killed"));
        }
        log(runningProgram + QStringLiteral(" stopped"));
    }
    serverProcess = stoppingProcess = nullptr;
    stopTimer().stop();
    QFile::remove(serverPidPath);
}

bool isLocalServerRunning()
{
    return serverProcess != nullptr;
}

void restartLocalServer()
{
    // Asked for by the user (SIGHUP, another model): a fresh start, at once.
    restartPolicy.reset();
    restartTimer().stop();
    if (idleUnloaded) {
        // Whatever is chosen by then is what the next press loads.
        log(QStringLiteral("The model is not loaded while idle; it loads at the next press"));
        return;
    }
    stopLocalServer();
    startLocalServer();
}

void setLocalServerIdleLimit(std::chrono::milliseconds limit)
{
    idleLimit = limit;
    if (idleLimit.count() == 0 && idleUnloaded) {
        idleUnloaded = false;
        startLocalServer(); // "Never" frees nothing: the model is loaded again now
    }
    armIdleTimer();
}

void setLocalServerInUse(bool now)
{
    if (now == inUse)
        return;
    inUse = now;
    armIdleTimer();
}

void wakeLocalServer()
{
    armIdleTimer();
    if (!idleUnloaded)
        return;
    idleUnloaded = false;
    log(QStringLiteral("Loading the model again for this dictation"));
    startLocalServer();
}

bool localServerLoading()
{
    return loading;
}

bool localServerFailedToLoad()
{
    return loadFailed;
}

void stopStaleServer()
{
    staleEnding = endStaleServer([] {
        staleEnding = false;
        portFreed();
    });
}

} // namespace parlotta

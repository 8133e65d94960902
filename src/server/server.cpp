#include "server/server.h"

#include "core/log.h"
#include "core/runtime_files.h"
#include "core/signal_mask.h"
#include "models/model_store.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTimer>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace parlotta {

namespace {

constexpr int restartDelayMs = 3000;

// The server we launched and still regard as ours. Each launch gets a new
// number, so an exit notice is matched to its very child, never to a later
// one that happens to reuse an address or a PID.
QProcess *serverProcess = nullptr;
quint64 serverLaunch = 0;

void onServerFinished(QProcess *child, quint64 launch)
{
    child->deleteLater();
    if (!serverProcess || serverLaunch != launch)
        return; // stopped by us, or already replaced
    serverProcess = nullptr;
    // For a crash Qt reports the number of the signal that ended it.
    log(QStringLiteral("whisper-server exited unexpectedly (status %1), restarting in 3s")
            .arg(child->exitCode()));
    QTimer::singleShot(restartDelayMs, Qt::PreciseTimer, startWhisperServer);
}

} // namespace

QString whisperServerExecutable()
{
    const QFileInfo bundled(QCoreApplication::applicationDirPath() +
                            QStringLiteral("/whisper-server"));
    if (bundled.isFile() && bundled.isExecutable())
        return bundled.absoluteFilePath();
    return QStandardPaths::findExecutable(QStringLiteral("whisper-server"));
}

QStringList whisperServerArguments()
{
    return {QStringLiteral("--host"),
            serverHost,
            QStringLiteral("--port"),
            QString::number(serverPort),
            QStringLiteral("--model"),
            currentModelLink(),
            QStringLiteral("--threads"),
            QStringLiteral("8"),
            QStringLiteral("--no-timestamps"),
            QStringLiteral("--language"),
            QStringLiteral("auto")};
}

std::optional<qint32> parsePidFile(const QByteArray &content)
{
    static const QRegularExpression number(QStringLiteral("^[+-]?[0-9]+$"));
    const QString text = QString::fromUtf8(content).trimmed();
    if (!number.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const qint32 pid = text.toInt(&ok);
    return ok ? std::optional(pid) : std::nullopt;
}

void startWhisperServer()
{
    if (serverProcess)
        return;
    const QString executable = whisperServerExecutable();
    if (executable.isEmpty()) {
        log(QStringLiteral("ERROR: whisper-server is missing from the app bundle"));
        return;
    }
    if (!activeModel() || !QFileInfo::exists(currentModelLink())) {
        log(QStringLiteral("No model selected yet, whisper-server not started"));
        return;
    }
    // The server log is opened here, without following a link planted in its
    // place; the child gets it as both output streams.
    const int logFd = openRuntimeFile(serverLogPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    auto *child = new QProcess;
    child->setProgram(executable);
    child->setArguments(whisperServerArguments());
    child->setProcessChannelMode(QProcess::ForwardedChannels);
    child->setInputChannelMode(QProcess::ForwardedInputChannel);
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
    child->start();
    const bool started = child->waitForStarted();
    if (logFd >= 0)
        ::close(logFd);
    if (!started) {
        log(QStringLiteral("ERROR: could not start whisper-server: ") + child->errorString());
        child->deleteLater();
        return;
    }
    serverProcess = child;
    const qint64 pid = child->processId();
    QString error;
    const bool written = writeFileAtomically(serverPidPath, QByteArray::number(pid), &error);
    log(QStringLiteral("whisper-server started (PID %1)").arg(pid));
    // Without it a daemon after a crash cannot find this server; it runs all the same.
    if (!written)
        log(QStringLiteral("ERROR: could not write %1: %2").arg(serverPidPath, error));
}

void stopWhisperServer()
{
    if (!serverProcess)
        return;
    QProcess *child = serverProcess;
    serverProcess = nullptr;
    child->terminate();
    // Bounded: a server that ignores SIGTERM must not freeze the daemon.
    if (!child->waitForFinished(serverStopTimeoutMs)) {
        child->kill();
        child->waitForFinished(serverStopTimeoutMs);
        log(QStringLiteral("whisper-server did not stop within 5 s, killed"));
    }
    QFile::remove(serverPidPath);
    log(QStringLiteral("whisper-server stopped"));
}

bool isWhisperServerRunning()
{
    return serverProcess != nullptr;
}

void restartWhisperServer()
{
    stopWhisperServer();
    startWhisperServer();
}

void stopStaleWhisperServer()
{
    QFile file(serverPidPath);
    std::optional<qint32> pid;
    if (file.open(QIODevice::ReadOnly))
        pid = parsePidFile(file.read(64));
    if (pid && *pid > 0) {
        const QString exe = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(*pid));
        // Only our server: a PID since reused by another program is left alone.
        if (exe.section(u'/', -1) == QLatin1String("whisper-server")) {
            ::kill(*pid, SIGTERM);
            for (int i = 0; i < 20 && ::kill(*pid, 0) == 0; ++i)
                ::usleep(100000);
            log(QStringLiteral("Stopped stale whisper-server (PID %1)").arg(*pid));
        }
    }
    QFile::remove(serverPidPath);
}

} // namespace parlotta

#include "server/stale_server.h"

#include "core/log.h"
#include "core/runtime_files.h"
#include "server/pid_file.h"
#include "server/server.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <csignal>

namespace parlotta {

namespace {

// The name of the speech server a PID runs, or nothing when it runs another program.
QString speechServerName(qint32 pid)
{
    const QString name =
        QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid)).section(u'/', -1);
    return name == u"whisper-server" || name == u"parakeet-server" ? name : QString();
}

// Ended: gone, or a zombie that its parent has yet to collect.
bool hasEnded(qint32 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return ::kill(pid, 0) != 0 ||
           (stat.open(QIODevice::ReadOnly) && stat.read(512).split(')').value(1).startsWith(" Z"));
}

} // namespace

bool endStaleServer(std::function<void()> onEnded)
{
    QFile file(serverPidPath);
    std::optional<qint32> pid;
    if (file.open(QIODevice::ReadOnly))
        pid = parsePidFile(file.read(64));
    QFile::remove(serverPidPath);
    // Only our server: a PID since reused by another program is left alone.
    const QString name = pid && *pid > 0 ? speechServerName(*pid) : QString();
    if (name.isEmpty())
        return false;
    ::kill(*pid, SIGTERM);
    // Watched on a timer until it has ended. One that ignores SIGTERM would
    // hold the port for ever: as in the bounded stop, it is killed after 5 s
    // if it is still that server, and given a second more.
    auto *watch = new QTimer;
    auto *clock = new QElapsedTimer;
    clock->start();
    QObject::connect(watch, &QTimer::timeout, [watch, clock, stale = *pid, name, onEnded] {
        const bool ended = hasEnded(stale);
        if (!ended && clock->elapsed() >= serverStopTimeoutMs && speechServerName(stale) == name)
            ::kill(stale, SIGKILL);
        if (!ended && clock->elapsed() < serverStopTimeoutMs + 1000)
            return;
        watch->deleteLater();
        delete clock;
        log(QStringLiteral("Stopped stale %1 (PID %2)").arg(name).arg(stale));
        onEnded();
    });
    watch->start(100);
    return true;
}

} // namespace parlotta

#include "platform/wayland/xwayland_display.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace parlotta {

namespace {

// The parent of a process of ours; 0 when it is not ours or is gone.
pid_t parentOfOwnProcess(pid_t pid)
{
    struct stat info {};
    const QByteArray proc = "/proc/" + QByteArray::number(pid);
    if (::stat(proc.constData(), &info) != 0 || info.st_uid != ::geteuid())
        return 0;
    QFile stat(QString::fromLatin1(proc + "/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    // "PID (name) state PPID …": the name may hold spaces and parentheses.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 1 ? pid_t(fields[1].toInt()) : 0;
}

} // namespace

XWaylandDisplay findXWayland(int waylandFd)
{
    ucred peer{};
    socklen_t size = sizeof peer;
    if (::getsockopt(waylandFd, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid <= 0)
        return {};
    const QFileInfoList locks =
        QDir(QStringLiteral("/tmp"))
            .entryInfoList({QStringLiteral(".X*-lock")}, QDir::Files | QDir::Hidden, QDir::Name);
    for (const QFileInfo &lock : locks) {
        const int fd = ::open(QFile::encodeName(lock.filePath()).constData(),
                              O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        struct stat info {};
        if (fd < 0)
            continue;
        char text[32] = {};
        const bool ours = ::fstat(fd, &info) == 0 && info.st_uid == ::geteuid() &&
                          ::read(fd, text, sizeof text - 1) > 0;
        ::close(fd);
        const pid_t pid = pid_t(QByteArray(text).trimmed().toInt());
        const pid_t parent = ours && pid > 0 ? parentOfOwnProcess(pid) : 0; // 0: not ours
        if (parent == 0 || (pid != peer.pid && parent != peer.pid))
            continue;
        XWaylandDisplay found;
        found.display = ':' + lock.fileName().mid(2).chopped(5).toLatin1(); // ".X1-lock" → ":1"
        const QFileInfoList auth = QDir(qEnvironmentVariable("XDG_RUNTIME_DIR"))
                                       .entryInfoList({QStringLiteral(".mutter-Xwaylandauth.*")},
                                                      QDir::Files | QDir::Hidden);
        if (!auth.isEmpty())
            found.authority = auth.first().filePath();
        return found;
    }
    return {};
}

} // namespace parlotta

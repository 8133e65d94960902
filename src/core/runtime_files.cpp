#include "core/runtime_files.h"

#include "core/system_error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace parlotta {

namespace {

bool checkOwnDirectory(const QString &dir, int fd, QString *error)
{
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        *error = QStringLiteral("cannot inspect %1: %2").arg(dir, systemErrorText());
        return false;
    }
    if (!S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
        *error = QStringLiteral("%1 belongs to another user; refusing to use it").arg(dir);
        return false;
    }
    if ((st.st_mode & 07777) != 0700 && fchmod(fd, 0700) != 0) {
        *error = QStringLiteral("cannot make %1 private: %2").arg(dir, systemErrorText());
        return false;
    }
    return true;
}

} // namespace

void moveRuntimeFiles(const QString &dir)
{
    commandDir = dir;
    outputPath = dir + QStringLiteral("/recording.wav");
    logPath = dir + QStringLiteral("/helper.log");
    pidPath = dir + QStringLiteral("/helper-pid");
    serverLogPath = dir + QStringLiteral("/server.log");
    serverPidPath = dir + QStringLiteral("/server-pid");
}

bool prepareRuntimeDir(const QString &dir, QString *error)
{
    const QByteArray name = dir.toLocal8Bit();
    if (mkdir(name.constData(), 0700) != 0 && errno != EEXIST) {
        *error = QStringLiteral("cannot create %1: %2").arg(dir, systemErrorText());
        return false;
    }
    // O_NOFOLLOW on the last component: a symlink planted at the path fails here
    // instead of leading us into someone else's directory.
    const int fd = open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        if (err == ELOOP || err == ENOTDIR)
            *error =
                QStringLiteral("%1 is not a directory (a symlink or a file); refusing to use it")
                    .arg(dir);
        else
            *error = QStringLiteral("cannot open %1: %2").arg(dir, systemErrorText(err));
        return false;
    }
    const bool ok = checkOwnDirectory(dir, fd, error);
    close(fd);
    return ok;
}

int openRuntimeFile(const QString &path, int flags, int mode)
{
    const QByteArray name = path.toLocal8Bit();
    // O_NONBLOCK so that a FIFO in the file's place cannot hang the open.
    const int fullFlags = flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    int fd = open(name.constData(), fullFlags, mode);
    if (fd < 0 && errno == ELOOP && (flags & O_CREAT)) {
        if (unlink(name.constData()) != 0)
            return -1;
        fd = open(name.constData(), fullFlags, mode);
    }
    if (fd < 0)
        return -1;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    if (!(flags & O_NONBLOCK))
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool writeFileAtomically(const QString &path, const QByteArray &bytes, QString *error)
{
    QByteArray tmpl = (path + QStringLiteral(".XXXXXX")).toLocal8Bit();
    const int fd = mkostemp(tmpl.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = systemErrorText();
        return false;
    }
    bool written = fchmod(fd, 0644) == 0;
    if (!written)
        *error = systemErrorText();
    written = written && writeAll(fd, bytes.constData(), bytes.size(), error);
    if (close(fd) != 0 && written) {
        *error = systemErrorText();
        written = false;
    }
    if (written && rename(tmpl.constData(), path.toLocal8Bit().constData()) != 0) {
        *error = systemErrorText();
        written = false;
    }
    if (!written)
        unlink(tmpl.constData());
    return written;
}

} // namespace parlotta

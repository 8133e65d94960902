#include "core/log.h"

#include "core/runtime_files.h"
#include "core/system_error.h"

#include <atomic>
#include <fcntl.h>
#include <unistd.h>

namespace parlotta {

namespace {
std::atomic<int> logFile{-1};
} // namespace

QByteArray formatLogLine(std::time_t when, const QString &message)
{
    struct tm utc {};
    gmtime_r(&when, &utc);
    char stamp[40];
    const size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S +0000: ", &utc);
    QByteArray line = message.toUtf8();
    line.prepend(stamp, qsizetype(n));
    line.append('\n');
    return line;
}

void log(const QString &message)
{
    const int fd = logFile.load(std::memory_order_acquire);
    if (fd < 0)
        return;
    const QByteArray line = formatLogLine(std::time(nullptr), message);
    // One write of the whole line; a failed write (disk full) is deliberately ignored.
    [[maybe_unused]] const ssize_t written = write(fd, line.constData(), size_t(line.size()));
}

bool openLog(const QString &path, QString *error)
{
    const int fd = openRuntimeFile(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
    if (fd < 0) {
        *error = QStringLiteral("cannot open log file %1: %2").arg(path, systemErrorText());
        return false;
    }
    logFile.store(fd, std::memory_order_release);
    return true;
}

int logDescriptor()
{
    return logFile.load(std::memory_order_acquire);
}

void closeLog()
{
    const int fd = logFile.exchange(-1);
    if (fd >= 0)
        close(fd);
}

} // namespace parlotta

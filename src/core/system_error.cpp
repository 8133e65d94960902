#include "core/system_error.h"

#include <cstring>
#include <unistd.h>

namespace parlotta {

QString systemErrorText(int error)
{
    char buffer[256];
    // GNU strerror_r: thread-safe, and returns the text, which may not be in buffer.
    return QString::fromLocal8Bit(strerror_r(error, buffer, sizeof buffer));
}

bool writeAll(int fd, const char *data, qsizetype size, QString *error)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (error)
                *error = systemErrorText(n < 0 ? errno : ENOSPC);
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

} // namespace parlotta

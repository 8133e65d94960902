#include "core/system_error.h"

#include <cstring>

namespace parlotta {

QString systemErrorText(int error)
{
    char buffer[256];
    // GNU strerror_r: thread-safe, and returns the text, which may not be in buffer.
    return QString::fromLocal8Bit(strerror_r(error, buffer, sizeof buffer));
}

} // namespace parlotta

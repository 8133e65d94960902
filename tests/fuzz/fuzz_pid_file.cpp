// helper-pid and server-pid as another program or a hand edit may leave them.
#include "server/pid_file.h"

#include <QString>
#include <cstdint>
#include <cstdlib>

using namespace parlotta;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<qint32> pid = parsePidFile(content);
    if (!pid)
        return 0;
    // A number read is the number written there, blanks, sign and zeros aside.
    QString digits = QString::fromUtf8(content).trimmed();
    if (digits.startsWith(u'+'))
        digits.remove(0, 1);
    bool ok = false;
    if (digits.toLongLong(&ok) != *pid || !ok)
        std::abort();
    return 0;
}

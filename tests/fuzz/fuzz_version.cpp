// Version texts as a release site may send them: the order must stay an order
// (never both newer, never newer than itself), whatever the text.
#include "update/release.h"

#include <cstdint>
#include <cstdlib>

using namespace parlotta;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // Two versions, split at the first NUL.
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype split = input.indexOf('\0');
    const QString a = QString::fromUtf8(input.left(split < 0 ? input.size() : split));
    const QString b = split < 0 ? QString() : QString::fromUtf8(input.mid(split + 1));
    if (isNewer(a, a) || (isNewer(a, b) && isNewer(b, a)))
        std::abort();
    return 0;
}

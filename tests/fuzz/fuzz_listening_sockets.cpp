// /proc/net/tcp and /proc/net/tcp6, as the port check reads them.
#include "server/port_owner.h"

#include <cstdint>
#include <cstdlib>

using namespace parlotta;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const bool ipv6 = data[0] & 1;
    const QByteArray table(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1));
    const QList<ListeningSocket> sockets = parseListeningSockets(table, ipv6);
    // At most one socket a line, and never the column names.
    if (sockets.size() > table.count('\n'))
        std::abort();
    return 0;
}

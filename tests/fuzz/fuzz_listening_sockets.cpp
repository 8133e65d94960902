// The kernel's socket-diagnostics reply, as the port check reads it.
#include "server/port_owner.h"

#include <cstdint>
#include <cstdlib>

using namespace parlotta;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    bool done = false;
    const QList<ListeningSocket> sockets = parseSocketDiagReply(
        QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)), &done);
    // A record takes at least a netlink header and an inet_diag_msg.
    if (sockets.size() * 88 > qsizetype(size))
        std::abort();
    return 0;
}

#include "server/port_owner.h"

#include <arpa/inet.h>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace parlotta {

namespace {

// 127.0.0.1, or any address. For IPv6: ::, ::1 (where "localhost" may lead),
// or ::ffff:127.0.0.1; a socket on :: takes IPv4 unless it is IPv6-only, which
// the report does not say, so it counts.
bool reachesLoopback(int family, const quint32 address[4])
{
    if (family == AF_INET)
        return address[0] == htonl(INADDR_LOOPBACK) || address[0] == 0;
    if (address[0] != 0 || address[1] != 0)
        return false;
    if (address[2] == 0)
        return address[3] == 0 || address[3] == htonl(1);
    return address[2] == htonl(0xffff) && address[3] == htonl(INADDR_LOOPBACK);
}

// One dump of the listening TCP sockets of a family. Read through netlink
// rather than /proc/net/tcp, which walks every socket of the machine and costs
// milliseconds on each dictation.
QList<ListeningSocket> listeningSockets(int family)
{
    QList<ListeningSocket> sockets;
    const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0)
        return sockets;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = std::uint8_t(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1u << TCP_LISTEN;
    if (::send(fd, &message, sizeof message, 0) == ssize_t(sizeof message)) {
        QByteArray reply(32768, Qt::Uninitialized);
        bool done = false;
        while (!done) {
            const ssize_t n = ::recv(fd, reply.data(), size_t(reply.size()), 0);
            if (n <= 0)
                break;
            sockets += parseSocketDiagReply(reply.left(n), &done);
        }
    }
    ::close(fd);
    return sockets;
}

} // namespace

QList<ListeningSocket> parseSocketDiagReply(const QByteArray &reply, bool *done)
{
    QList<ListeningSocket> sockets;
    *done = false;
    int length = int(reply.size());
    for (auto *header = reinterpret_cast<const nlmsghdr *>(reply.constData());
         NLMSG_OK(header, length); header = NLMSG_NEXT(header, length)) {
        if (header->nlmsg_type == NLMSG_DONE || header->nlmsg_type == NLMSG_ERROR) {
            *done = true;
            break;
        }
        if (header->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            header->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
            continue;
        inet_diag_msg record;
        std::memcpy(&record, NLMSG_DATA(header), sizeof record);
        if (record.idiag_family != AF_INET && record.idiag_family != AF_INET6)
            continue;
        ListeningSocket socket;
        socket.reachesLoopback = reachesLoopback(record.idiag_family, record.id.idiag_src);
        socket.port = ntohs(record.id.idiag_sport);
        socket.uid = record.idiag_uid;
        sockets << socket;
    }
    return sockets;
}

std::optional<quint32> foreignListenerUid(quint16 port)
{
    for (const int family : {AF_INET, AF_INET6})
        for (const ListeningSocket &socket : listeningSockets(family))
            if (socket.reachesLoopback && socket.port == port && socket.uid != ::geteuid())
                return socket.uid;
    return std::nullopt;
}

} // namespace parlotta

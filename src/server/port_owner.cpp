#include "server/port_owner.h"

#include <QFile>
#include <unistd.h>

namespace parlotta {

namespace {

constexpr int listenState = 0x0A;

// The kernel prints each 32-bit word of an address in host byte order.
bool reachesLoopback(const QByteArray &address, bool ipv6)
{
    if (!ipv6) // 127.0.0.1, or any address
        return address == "0100007F" || address == "00000000";
    // ::, or ::ffff:127.0.0.1; a socket bound to :: takes IPv4 unless it is IPv6-only,
    // which the table does not say, so it counts.
    return address == "00000000000000000000000000000000" ||
           address == "0000000000000000FFFF00000100007F";
}

} // namespace

QList<ListeningSocket> parseListeningSockets(const QByteArray &table, bool ipv6)
{
    QList<ListeningSocket> sockets;
    const QList<QByteArray> lines = table.split('\n');
    for (qsizetype i = 1; i < lines.size(); ++i) { // the first line names the columns
        const QList<QByteArray> fields = lines[i].simplified().split(' ');
        if (fields.size() < 10)
            continue;
        const QList<QByteArray> local = fields[1].split(':');
        bool stateOk = false, portOk = false, uidOk = false, inodeOk = false;
        const int state = fields[3].toInt(&stateOk, 16);
        ListeningSocket socket;
        socket.port = quint16(local.value(1).toUInt(&portOk, 16));
        socket.uid = fields[7].toUInt(&uidOk);
        socket.inode = fields[9].toULongLong(&inodeOk);
        if (!stateOk || !portOk || !uidOk || !inodeOk || local.size() != 2 || state != listenState)
            continue;
        socket.reachesLoopback = reachesLoopback(local[0].toUpper(), ipv6);
        sockets << socket;
    }
    return sockets;
}

std::optional<quint32> foreignListenerUid(quint16 port)
{
    for (const bool ipv6 : {false, true}) {
        QFile file(ipv6 ? QStringLiteral("/proc/net/tcp6") : QStringLiteral("/proc/net/tcp"));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        for (const ListeningSocket &socket : parseListeningSockets(file.readAll(), ipv6))
            if (socket.reachesLoopback && socket.port == port && socket.uid != ::geteuid())
                return socket.uid;
    }
    return std::nullopt;
}

} // namespace parlotta

#pragma once

#include <QByteArray>
#include <QList>
#include <optional>

namespace parlotta {

// A listening TCP socket as /proc/net/tcp and /proc/net/tcp6 list it.
struct ListeningSocket {
    bool reachesLoopback = false; // a connection to 127.0.0.1 on its port lands here
    quint16 port = 0;
    quint32 uid = 0;
    quint64 inode = 0;
    bool operator==(const ListeningSocket &) const = default;
};

// The sockets in LISTEN state in the text of /proc/net/tcp (ipv6 false) or
// /proc/net/tcp6 (ipv6 true); lines it cannot read are passed over.
QList<ListeningSocket> parseListeningSockets(const QByteArray &table, bool ipv6);

// The user id that holds a socket a connection to 127.0.0.1:port would reach,
// when that is not our own user; nothing when every such socket is ours or
// nothing listens there. Another user's server would read every recording
// and choose the text we type into the user's windows.
std::optional<quint32> foreignListenerUid(quint16 port);

} // namespace parlotta

#pragma once

#include <QByteArray>
#include <QList>
#include <optional>

namespace parlotta {

// A listening TCP socket as the kernel's socket diagnostics report it.
struct ListeningSocket {
    bool reachesLoopback = false; // a connection to 127.0.0.1 or ::1 on its port lands here
    quint16 port = 0;
    quint32 uid = 0;
    bool operator==(const ListeningSocket &) const = default;
};

// The listening sockets in a reply of the kernel's socket diagnostics
// (NETLINK_SOCK_DIAG, inet_diag_msg records) as received; records it cannot
// read are passed over. done is set when the reply holds the end of the dump.
QList<ListeningSocket> parseSocketDiagReply(const QByteArray &reply, bool *done);

// The user id that holds a socket a connection to 127.0.0.1:port or [::1]:port would reach,
// when that is not our own user; nothing when every such socket is ours or
// nothing listens there. Another user's server would read every recording
// and choose the text we type into the user's windows.
std::optional<quint32> foreignListenerUid(quint16 port);

} // namespace parlotta

#pragma once

#include <QByteArray>
#include <QString>

namespace parlotta {

// Mutter starts XWayland when a client first connects, on a display it has
// reserved already (its lock file names gnome-shell, or XWayland once
// started); a daemon started outside the session's environment finds that
// display and its authority file itself. Only a lock of ours, naming our own
// compositor (the peer of our Wayland connection) or its XWayland, counts: in
// /tmp anyone may leave a lock file and a server behind it. Gives the display
// (":1") and Mutter's authority file for it; empty where there is none.
struct XWaylandDisplay {
    QByteArray display;
    QString authority;
};
XWaylandDisplay findXWayland(int waylandFd);

} // namespace parlotta

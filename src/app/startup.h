#pragma once

#include "platform/platform.h"

class QApplication;

namespace parlotta {

// Brings the daemon up in its fixed order and runs the event loop. Returns a
// non-zero status, after a message on stderr, when the daemon cannot start.
// The platform is the first of backends that serves the session.
int runDaemon(QApplication &app, const Session &session, PlatformFactory createPlatform);

// "--start", "--stop", "--toggle" or "--cancel": asks this user's running
// daemon over the session bus; 0 when it answered, else 1 after a message on
// stderr. For the key bindings of compositors that bind keys themselves.
int sendDaemonCommand(const QString &option);

} // namespace parlotta

#pragma once

#include "core/signal_mask.h"

#include <QString>

namespace parlotta {

// Turns SIGUSR1, SIGUSR2, SIGTERM and SIGHUP into main-thread events (see
// DaemonEvents). Needs a running Qt event loop to deliver them. False with a
// reason when the signals cannot be received (the daemon could not be steered).
bool installSignalHandlers(QString *error);

// Readable once SIGTERM has arrived and not yet been handled (-1 before the
// handlers exist). A wait that blocks the main thread for long watches it and
// calls shutdown(), so that the daemon still ends within seconds.
int terminationRequestFd();

// The one orderly way out: stops an open recording and the server, logs
// "Daemon shutting down", removes the PID file, closes the log, exits with 0.
[[noreturn]] void shutdown();

} // namespace parlotta

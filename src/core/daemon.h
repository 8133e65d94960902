#pragma once

#include "core/signal_mask.h"

#include <QString>

namespace parlotta {

// Turns SIGUSR1, SIGUSR2, SIGTERM and SIGHUP into main-thread events (see
// DaemonEvents). Needs a running Qt event loop to deliver them. False with a
// reason when the signals cannot be received (the daemon could not be steered).
bool installSignalHandlers(QString *error);

// The one orderly way out: stops an open recording and the server, logs
// "Daemon shutting down", removes the PID file, closes the log, exits with 0.
[[noreturn]] void shutdown();

} // namespace parlotta

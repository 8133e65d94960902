#pragma once

#include <csignal>

namespace parlotta {

// SIGUSR1, SIGUSR2, SIGTERM and SIGHUP: the signals that steer the daemon.
sigset_t controlSignals();

// Blocks the four control signals in the calling thread, and so in every thread
// started after it. Must run first in main, before any thread exists: a signal
// left unblocked in some thread would be handled there, or kill the process.
void blockControlSignals();

// Gives every child the default signal state back (call in the child after fork);
// blocked signals stay blocked across exec.
void resetSignalsInChild();

} // namespace parlotta

#pragma once

#include <functional>

namespace parlotta {

// What the signal handlers and shutdown ask of the other subsystems. The
// composition root fills these in at start-up; an empty one does nothing.
struct DaemonHooks {
    std::function<void()> beginRecording;             // SIGUSR1, after its log line
    std::function<void()> stopRecordingAndTranscribe; // SIGUSR2, after its log line
    std::function<void()>
        stopRecorderForShutdown;              // shutdown: stop an open recording, no transcription
    std::function<void()> stopWhisperServer;  // SIGHUP and shutdown
    std::function<void()> startWhisperServer; // SIGHUP
    std::function<void()> rebuildModelPopup;  // SIGHUP
};

extern DaemonHooks daemonHooks;

// Blocks the four control signals in the calling thread, and so in every thread
// started after it. Must run first in main, before any thread exists: a signal
// left unblocked in some thread would be handled there, or kill the process.
void blockControlSignals();

// Gives every child the default signal state back (call in the child after fork);
// blocked signals stay blocked across exec.
void resetSignalsInChild();

// Turns SIGUSR1, SIGUSR2, SIGTERM and SIGHUP into main-thread events that run
// their handlers. Needs a running Qt event loop to deliver them.
void installSignalHandlers();

// The one orderly way out: stops an open recording and the server, logs
// "Daemon shutting down", removes the PID file, closes the log, exits with 0.
[[noreturn]] void shutdown();

} // namespace parlotta

#pragma once

#include "core/server_address.h"
#include "server/pid_file.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

namespace parlotta {

// How long a server gets to end after SIGTERM before it is killed.
inline constexpr int serverStopTimeoutMs = 5000;

// Stops a whisper-server left running by an earlier daemon (named in
// server-pid); a start asked for meanwhile waits until it has ended. Returns at once.
void stopStaleWhisperServer();
// Starts whisper-server on the active model, unless one runs or none can
// start; once a server being stopped has ended, if there is one. Returns at once.
void startWhisperServer();
// Asks the running whisper-server, if any, to end (killed after 5 s); "whisper-server
// stopped" is logged once it has. Returns at once.
void stopWhisperServer();
// At shutdown: stops the servers still running or ending, waiting up to 5 s
// each before killing them.
void stopWhisperServerNow();
void restartWhisperServer();
// Whether a server we started is running (it may still be loading its model).
bool isWhisperServerRunning();

// "whisper-server" next to our own executable, else on PATH; empty when neither.
QString whisperServerExecutable();
// The server's 11 arguments, and "--no-gpu" after a GPU made it fail at once.
QStringList whisperServerArguments();

} // namespace parlotta

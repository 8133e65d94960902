#pragma once

#include "core/server_address.h"
#include "server/pid_file.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>

namespace parlotta {

// How long a server gets to end after SIGTERM before it is killed.
inline constexpr int serverStopTimeoutMs = 5000;

// A speech server to run on this computer.
struct LocalServer {
    QString program;       // "whisper-server", "parakeet-server": what the log names
    QString executable;    // empty when it is not installed
    QStringList arguments; // "--no-gpu" is added after a GPU made it fail at once
    QString model;         // the model's name: what a measured speed is stored under
};
// What should run here now: a server, or none and why (logged when a start finds none).
struct LocalServerChoice {
    std::optional<LocalServer> server;
    QString whyNone;
};
// Where the supervisor learns, at each start, what to run.
void setLocalServerChoice(std::function<LocalServerChoice()> choice);

// Stops a server left running by an earlier daemon (named in server-pid); a
// start asked for meanwhile waits until it has ended. Returns at once.
void stopStaleServer();
// Starts the chosen server, unless one runs or none can start; once a server
// being stopped has ended, if there is one. Returns at once.
void startLocalServer();
// Asks the running server, if any, to end (killed after 5 s); "… stopped" is
// logged once it has. Returns at once.
void stopLocalServer();
// At shutdown: stops the servers still running or ending, waiting up to 5 s
// each before killing them.
void stopLocalServerNow();
// A fresh start on what is chosen now (another model, SIGHUP, the engine changed).
void restartLocalServer();
// Whether a server we started is running (it may still be loading its model).
bool isLocalServerRunning();

// The longest a server is waited for while it loads its model: a recording
// that ends meanwhile is sent once it listens, or kept when it is not ready by then.
inline constexpr int serverLoadLimitMs = 120000;

// After this long without a recording or a transcription the server is
// stopped to free its model's memory, and started again at the next press;
// zero: never. A server freed while the limit becomes zero loads at once.
void setLocalServerIdleLimit(std::chrono::milliseconds limit);
// A recording or transcription is under way (no unload meanwhile), or none
// is any more (the idle time counts from now).
void setLocalServerInUse(bool inUse);
// A dictation begins: a server freed while idle starts loading now, while the user speaks.
void wakeLocalServer();
// Whether the chosen server is starting or loading its model, so a request
// refused now is worth retrying. Safe from any thread.
bool localServerLoading();
// Whether the last server ended before it listened, and none has listened since.
bool localServerFailedToLoad();

// The program next to our own executable, else on PATH; empty when neither.
QString localServerExecutable(const QString &program);

} // namespace parlotta

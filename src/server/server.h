#pragma once

namespace parlotta {

inline constexpr int serverPort = 8178;

// Stops a whisper-server left running by an earlier daemon.
void stopStaleWhisperServer();
// Starts whisper-server on the active model, if there is one.
void startWhisperServer();
// Stops the running whisper-server, if any, and waits for it.
void stopWhisperServer();

} // namespace parlotta

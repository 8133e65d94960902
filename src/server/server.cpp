#include "server/server.h"

namespace parlotta {

// Supervision arrives with the model store; until then no server is run.
void stopStaleWhisperServer() {}
void startWhisperServer() {}
void stopWhisperServer() {}

} // namespace parlotta

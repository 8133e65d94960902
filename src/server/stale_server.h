#pragma once

#include <functional>

namespace parlotta {

// Ends a speech server (whisper-server, parakeet-server) an earlier daemon left
// running (named in server-pid, checked to be that still): SIGTERM, and SIGKILL after 5 s.
// Returns at once: true when one is ending, and onEnded runs on the main thread
// once it has; false when there was none.
bool endStaleServer(std::function<void()> onEnded);

} // namespace parlotta

#pragma once

class QApplication;

namespace parlotta {

// Brings the daemon up in its fixed order and runs the event loop. Returns a
// non-zero status, after a message on stderr, when the daemon cannot start.
int runDaemon(QApplication &app);

} // namespace parlotta

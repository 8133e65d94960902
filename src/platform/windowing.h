#pragma once

class QWindow;

namespace parlotta {

// Gives a top-level window the keyboard focus and brings it to the front, as a
// taskbar does for the user. A background program's own request is refused by
// window managers that prevent focus stealing, which would leave a window the
// user just asked for behind the one they are working in. Main thread only;
// does nothing without a desktop.
void activateWindowForUser(QWindow *window);

} // namespace parlotta

#pragma once

#include <QByteArray>

namespace parlotta {

// Injects the paste keystroke into the focused window.
class KeyInjector {
  public:
    virtual ~KeyInjector() = default;
    enum class Keystroke { NotSent, ControlV, ControlShiftV };
    // Control+V, or Control+Shift+V where the focused window is a terminal;
    // keys the user holds are released around it and pressed again after.
    virtual Keystroke paste() = 0;
};

KeyInjector &keyInjector();

// Whether a window's WM_CLASS names a terminal emulator (they paste on Control+Shift+V).
bool isTerminalWindowClass(const QByteArray &instance, const QByteArray &className);

} // namespace parlotta

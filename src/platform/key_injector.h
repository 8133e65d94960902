#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

namespace parlotta {

// Injects the paste keystroke into the focused window.
class KeyInjector {
  public:
    virtual ~KeyInjector() = default;
    enum class Keystroke {
        ControlV,      // the desktop's paste shortcut
        ControlShiftV, // terminals, which pass Control+V on to the program
        ShiftInsert,   // the xterm family (PRIMARY), and any window when no key types "v"
        Enter,         // after a paste, where the user's rule asks for it
    };
    // What the desktop tells of the focused window: an identity that tells
    // one window from another (empty where none is told), and its class (the
    // X11 WM_CLASS class, or the Wayland application id).
    struct FocusedWindow {
        QByteArray id;
        QByteArray application;
        bool terminal = false;
    };
    // The mechanism, as "Pasted via ..." names it.
    virtual QString mechanism() const = 0;
    // The keystroke that pastes into the window that has the focus now.
    virtual Keystroke pasteKeystroke() = 0;
    virtual FocusedWindow focusedWindow()
    {
        return {};
    }
    // Posts it; keys the user holds are released around it and pressed again
    // after where liftsHeldKeys() holds. Returns at once; done runs on the main
    // thread once it is posted, or with the reason it could not be.
    using SendDone = std::function<void(bool sent, const QString &error)>;
    virtual void send(Keystroke keystroke, SendDone done) = 0;
    // False where the desktop adds the modifiers the user holds to our
    // keystroke (KWin's fake input, the portal): the paste then waits for them.
    virtual bool liftsHeldKeys() const
    {
        return true;
    }
};

KeyInjector &keyInjector();

} // namespace parlotta

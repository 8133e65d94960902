#include "platform/linux/pulse_audio.h"
#include "platform/platform.h"
#include "platform/x11/x11_display.h"
#include "platform/x11/x11_services.h"

namespace parlotta {

namespace {

// Xlib's default handler ends the process on any error, and errors here are
// routine: a paste target that closed its window while we answer it, a key
// grab that another program holds. The code that cares checks its results.
int ignoreXError(Display *, XErrorEvent *)
{
    return 0;
}

// X11, or XWayland on a Wayland desktop: XInput2 raw keys, XTest, the X selections.
class X11Services final : public PulseAudioServices {
    // Until the display answers, the start-up lines say what is missing.
    const bool hasDisplay = mainThreadDisplay() != nullptr;
    QString named(const QString &service) const
    {
        if (hasDisplay)
            return service;
        const QString display = qEnvironmentVariable("DISPLAY");
        return display.isEmpty()
                   ? QStringLiteral("none (no X display and no Wayland compositor)")
                   : service + QStringLiteral(", waiting for the X display ") + display;
    }

  public:
    QString keyListenerName() const override
    {
        return named(QStringLiteral("X11 (XInput2)"));
    }
    QString pasteName() const override
    {
        return named(QStringLiteral("XTest"));
    }
    QString clipboardName() const override
    {
        return named(QStringLiteral("X11 selections"));
    }
    KeyboardHook *keyboardHook() override
    {
        return &x11KeyboardHook();
    }
    ShortcutSource *shortcutSource() override
    {
        return nullptr;
    }
    Clipboard &clipboard() override
    {
        return x11Clipboard();
    }
    Clipboard &primarySelection() override
    {
        return x11PrimarySelection();
    }
    void handOverClipboardToManager() override
    {
        x11HandOverClipboard();
    }
    KeyInjector &keyInjector() override
    {
        return x11KeyInjector();
    }
    void activateWindowForUser(QWindow *window) override
    {
        x11ActivateWindow(window);
    }
    QString keyCharacter(int evdev) override
    {
        return x11KeyCharacter(evdev);
    }
    bool isLevel3Shift(int evdev) override
    {
        return x11IsLevel3Shift(evdev);
    }
};

} // namespace

std::unique_ptr<PlatformServices> createX11Services()
{
    return std::make_unique<X11Services>();
}

void initX11Threads()
{
    XInitThreads();
    XSetErrorHandler(ignoreXError);
}

Display *mainThreadDisplay()
{
    static Display *display = XOpenDisplay(nullptr);
    while (display && XPending(display)) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MappingNotify)
            XRefreshKeyboardMapping(&event.xmapping);
    }
    return display;
}

} // namespace parlotta

#include "platform/compositor_bindings.h"
#include "platform/linux/key_codes.h"
#include "platform/wayland/data_control.h"
#include "platform/wayland/wayland_connection.h"
#include "platform/wayland/wayland_services.h"

#include <QCoreApplication>
#include <wayland-client.h>

namespace parlotta {

namespace {

// GNOME: the focused window is an XWayland one (XTest) or a Wayland one (the
// remote desktop portal), decided at each paste.
class XWaylandFirstInjector final : public KeyInjector {
  public:
    XWaylandFirstInjector(KeyInjector &x11Injector, bool (*x11HasFocus)(),
                          std::unique_ptr<KeyInjector> wayland)
        : x11Injector(x11Injector)
        , x11HasFocus(x11HasFocus)
        , wayland(std::move(wayland))
    {
    }
    QString mechanism() const override
    {
        return x11 ? x11Injector.mechanism() : wayland->mechanism();
    }
    Keystroke pasteKeystroke() override
    {
        x11 = x11HasFocus();
        return x11 ? x11Injector.pasteKeystroke() : wayland->pasteKeystroke();
    }
    FocusedWindow focusedWindow() override
    {
        return x11HasFocus() ? x11Injector.focusedWindow() : wayland->focusedWindow();
    }
    void send(Keystroke keystroke, SendDone done) override
    {
        x11 ? x11Injector.send(keystroke, std::move(done))
            : wayland->send(keystroke, std::move(done));
    }
    bool liftsHeldKeys() const override
    {
        return x11 || wayland->liftsHeldKeys();
    }

  private:
    KeyInjector &x11Injector;
    bool (*const x11HasFocus)();
    std::unique_ptr<KeyInjector> wayland;
    bool x11 = false;
};

// sway and Hyprland bind keys in their own configuration: lines there send
// us the signals that start and stop a dictation.
class CompositorBindings final : public ShortcutSource {
  public:
    CompositorBindings(BindingCompositor compositor, WaylandConnection &connection)
        : compositor(compositor)
        , connection(connection)
    {
    }
    void bind(std::int64_t, std::uint64_t, BindDone done) override
    {
        done(true, {}); // the user's configuration holds the binding
    }
    void start(const std::function<void(bool)> &) override {}
    QString setupInstructions(std::int64_t key, std::uint64_t modifiers) const override
    {
        const int evdev = key < 0 ? -1 : evdevFromVirtualKey(key);
        if (evdev < 0)
            return {};
        char name[64] = "";
        xkb_keysym_get_name(connection.keysym(evdev), name, sizeof name);
        return compositorBindingLines(compositor, QCoreApplication::applicationFilePath(),
                                      QString::fromLatin1(name), modifiers);
    }

  private:
    const BindingCompositor compositor;
    WaylandConnection &connection;
};

} // namespace

std::unique_ptr<KeyInjector> createXWaylandFirstInjector(KeyInjector &x11Injector,
                                                         bool (*x11HasFocus)(),
                                                         std::unique_ptr<KeyInjector> wayland)
{
    return std::make_unique<XWaylandFirstInjector>(x11Injector, x11HasFocus, std::move(wayland));
}

std::unique_ptr<ShortcutSource> createCompositorBindings(BindingCompositor compositor,
                                                         WaylandConnection &connection)
{
    return std::make_unique<CompositorBindings>(compositor, connection);
}

std::unique_ptr<Clipboard> createDataControlClipboard(WaylandConnection &connection, bool primary)
{
    return std::make_unique<DataControlClipboard>(connection, primary);
}

QString waylandKeyCharacter(WaylandConnection &connection, int evdev)
{
    const uint32_t c = xkb_keysym_to_utf32(connection.keysym(evdev));
    return c >= 0x20 && c != 0x7f ? QString::fromUcs4(reinterpret_cast<const char32_t *>(&c), 1)
                                  : QString();
}

bool waylandIsLevel3Shift(WaylandConnection &connection, int evdev)
{
    return connection.keysym(evdev) == XKB_KEY_ISO_Level3_Shift;
}

XWaylandDisplay findXWayland(WaylandConnection &connection)
{
    return findXWayland(wl_display_get_fd(connection.display()));
}

} // namespace parlotta

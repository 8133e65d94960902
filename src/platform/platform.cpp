#include "platform/platform.h"

#include "platform/audio.h"
#include "platform/clipboard.h"
#include "platform/key_injector.h"
#include "platform/keyboard.h"
#include "platform/linux/evdev_keyboard.h"
#include "platform/windowing.h"

#include <QtGlobal>

namespace parlotta {

namespace {

std::unique_ptr<PlatformServices> selected;

} // namespace

Session Session::fromEnvironment()
{
    Session session;
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
        qEnvironmentVariable("XDG_SESSION_TYPE") == QStringLiteral("wayland"))
        session.kind = Kind::Wayland;
    else if (!qEnvironmentVariableIsEmpty("DISPLAY"))
        session.kind = Kind::X11;
    // XDG_CURRENT_DESKTOP may list several ("ubuntu:GNOME"); sway and Hyprland
    // are known by their own sockets too, where it names neither.
    const QString desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
    const auto names = [&](const char *name) {
        return desktops.contains(QLatin1String(name), Qt::CaseInsensitive);
    };
    if (desktops.split(u':').contains(QStringLiteral("KDE"), Qt::CaseInsensitive))
        session.desktop = Desktop::Kde;
    else if (names("Hyprland") || !qEnvironmentVariableIsEmpty("HYPRLAND_INSTANCE_SIGNATURE"))
        session.desktop = Desktop::Hyprland;
    else if (names("sway") || !qEnvironmentVariableIsEmpty("SWAYSOCK"))
        session.desktop = Desktop::Sway;
    else if (names("GNOME"))
        session.desktop = Desktop::Gnome;
    session.xDisplay = qgetenv("DISPLAY");
    return session;
}

QByteArray Session::qtPlatforms() const
{
    // offscreen last: with no display at all the daemon still runs, steered by signals.
    switch (kind) {
    case Kind::Wayland:
        return "wayland;xcb;offscreen";
    case Kind::X11:
        return "xcb;offscreen";
    case Kind::None:
        break;
    }
    return "offscreen";
}

void selectPlatform(std::unique_ptr<PlatformServices> services)
{
    selected = std::move(services);
}

PlatformServices &platformServices()
{
    Q_ASSERT_X(selected, "platformServices", "no platform selected");
    return *selected;
}

// The accessors the subsystems call, each reading the selected platform.

KeyboardHook *keyboardHook()
{
    return platformServices().keyboardHook();
}

ShortcutSource *shortcutSource()
{
    return platformServices().shortcutSource();
}

QString keyCharacter(std::int64_t key)
{
    return platformServices().keyCharacter(key);
}

bool isLevel3Shift(std::int64_t key)
{
    return platformServices().isLevel3Shift(key);
}

bool userMayReadKeyboards()
{
    return EvdevKeyboardHook::userMayRead();
}

std::int64_t keyOfScanCode(std::uint32_t scanCode)
{
    return platformServices().keyOfScanCode(scanCode);
}

Clipboard &clipboard()
{
    return platformServices().clipboard();
}

Clipboard &primarySelection()
{
    return platformServices().primarySelection();
}

void handOverClipboardToManager()
{
    platformServices().handOverClipboardToManager();
}

KeyInjector &keyInjector()
{
    return platformServices().keyInjector();
}

void activateWindowForUser(QWindow *window)
{
    platformServices().activateWindowForUser(window);
}

std::unique_ptr<AudioRecorder> createAudioRecorder()
{
    return platformServices().createAudioRecorder();
}

CuePlayer &cuePlayer()
{
    return platformServices().cuePlayer();
}

void queryMicrophone(std::function<void(bool available)> answer)
{
    platformServices().queryMicrophone(std::move(answer));
}

std::unique_ptr<AudioSourceWatch> watchAudioSources(SourcesChanged sources, LevelChanged level)
{
    return platformServices().watchAudioSources(std::move(sources), std::move(level));
}

} // namespace parlotta

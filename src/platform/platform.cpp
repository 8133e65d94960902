#include "platform/platform.h"

#include "platform/audio.h"
#include "platform/clipboard.h"
#include "platform/key_injector.h"
#include "platform/keyboard.h"
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
    session.desktop = qEnvironmentVariable("XDG_CURRENT_DESKTOP");
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

const PlatformBackend *selectPlatform(const Session &session,
                                      std::span<const PlatformBackend> backends)
{
    for (const PlatformBackend &backend : backends) {
        if (backend.serves(session)) {
            selected = backend.create(session);
            return &backend;
        }
    }
    return nullptr;
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

QString keyCharacter(int evdev)
{
    return platformServices().keyCharacter(evdev);
}

bool isLevel3Shift(int evdev)
{
    return platformServices().isLevel3Shift(evdev);
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

} // namespace parlotta

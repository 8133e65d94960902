#pragma once

#include "platform/audio.h"

#include <QString>
#include <functional>
#include <memory>

class QWindow;

namespace parlotta {

class AudioRecorder;
class CuePlayer;

class Clipboard;
class KeyboardHook;
class KeyInjector;
class ShortcutSource;

// Prepares the platform libraries for use from several threads. Call first in main.
void initPlatform();

// The desktop session the daemon runs in, probed once at start-up and handed
// to whatever chooses by it.
struct Session {
    enum class Kind { None, X11, Wayland };
    // The desktops whose own services some part of the platform uses.
    enum class Desktop { Other, Gnome, Kde, Sway, Hyprland };
    Kind kind = Kind::None;
    Desktop desktop = Desktop::Other;
    // The X display the X11 services open: the session's own, or on a Wayland
    // desktop its XWayland; empty with none. An authority file of its own
    // where the display came without one in the environment.
    QByteArray xDisplay;
    QString xAuthority;

    static Session fromEnvironment();
    // The Qt platform plugins to try, in order, for this session.
    QByteArray qtPlatforms() const;
};

// Every platform service of one desktop. Built once at start-up; a service is
// made on first use, so that one never asked for costs nothing.
class PlatformServices {
  public:
    virtual ~PlatformServices() = default;

    // What was chosen, named for the start-up log.
    virtual QString keyListenerName() const = 0;
    virtual QString pasteName() const = 0;
    virtual QString clipboardName() const = 0;

    // The raw key source; null where the desktop shows no key events to a client.
    virtual KeyboardHook *keyboardHook() = 0;
    // The desktop's own shortcut binding; null where a raw key source serves.
    virtual ShortcutSource *shortcutSource() = 0;
    virtual Clipboard &clipboard() = 0;
    virtual Clipboard &primarySelection() = 0;
    virtual void handOverClipboardToManager() = 0;
    virtual KeyInjector &keyInjector() = 0;
    virtual void activateWindowForUser(QWindow *window) = 0;
    virtual QString keyCharacter(std::int64_t key) = 0;
    virtual bool isLevel3Shift(std::int64_t key) = 0;
    virtual std::int64_t keyOfScanCode(std::uint32_t scanCode) = 0;
    virtual std::unique_ptr<AudioRecorder> createAudioRecorder() = 0;
    virtual CuePlayer &cuePlayer() = 0;
    virtual void queryMicrophone(std::function<void(bool available)> answer) = 0;
    virtual std::unique_ptr<AudioSourceWatch> watchAudioSources(SourcesChanged sources,
                                                                LevelChanged level)
    {
        (void)sources;
        (void)level;
        return nullptr;
    }
};

// Builds the services for a session: the platform a build offers.
using PlatformFactory = std::unique_ptr<PlatformServices> (*)(const Session &session);

// Makes these the process's platform, for good. Main thread, once Qt's
// application object exists.
void selectPlatform(std::unique_ptr<PlatformServices> services);

// The selected platform. Selecting one comes first: using a service before is a fault.
PlatformServices &platformServices();

} // namespace parlotta

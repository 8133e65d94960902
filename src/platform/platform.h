#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <span>

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

// The desktop session the daemon runs in, as its environment tells.
struct Session {
    enum class Kind { None, X11, Wayland };
    Kind kind = Kind::None;
    QString desktop; // XDG_CURRENT_DESKTOP, e.g. "KDE", "GNOME", "sway"

    static Session fromEnvironment();
    // The Qt platform plugins to try, in order, for this session.
    QByteArray qtPlatforms() const;
};

// Every platform service of one desktop. Built once at start-up; a service is
// made on first use, so that one never asked for costs nothing.
class PlatformServices {
  public:
    virtual ~PlatformServices() = default;

    // What runs, named for the start-up log.
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
    virtual QString keyCharacter(int evdev) = 0;
    virtual bool isLevel3Shift(int evdev) = 0;
    virtual std::unique_ptr<AudioRecorder> createAudioRecorder() = 0;
    virtual CuePlayer &cuePlayer() = 0;
    virtual void queryMicrophone(std::function<void(bool available)> answer) = 0;
};

// One set of services a build offers, and the sessions it serves.
struct PlatformBackend {
    const char *name;
    bool (*serves)(const Session &session);
    std::unique_ptr<PlatformServices> (*create)(const Session &session);
};

// Makes the first backend that serves the session the process's platform, for
// good; null when none does. Main thread, once Qt's application object exists.
const PlatformBackend *selectPlatform(const Session &session,
                                      std::span<const PlatformBackend> backends);

// The selected platform. Selecting one comes first: using a service before is a fault.
PlatformServices &platformServices();

} // namespace parlotta

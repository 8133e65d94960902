#pragma once

// The direct keyboard listener: reads the kernel's key events of every
// keyboard under /dev/input (plugged in later ones included), on any desktop.
// Opt-in: reading these devices needs the `input` group, which lets every
// program of the user read every key typed. Only the keys' up/down state is
// kept; no key code is ever logged.
#include "platform/keyboard.h"

#include <QString>
#include <atomic>
#include <functional>
#include <map>
#include <set>

namespace parlotta {

class EvdevKeyboardHook final : public KeyboardHook {
  public:
    // directory: where the event devices appear; isKeyboard: whether an opened
    // device has a keyboard's keys (the ioctl check by default).
    explicit EvdevKeyboardHook(QString directory = QStringLiteral("/dev/input"),
                               std::function<bool(int fd)> isKeyboard = nullptr);
    ~EvdevKeyboardHook() override;

    // Watches the directory and opens the keyboards there; false while none
    // can be read (the user not in the group yet).
    bool open() override;
    // Until stop(): each key's press, repeat (as a press) and release, merged
    // over the keyboards (a key is down while any keyboard holds it; a keyboard
    // unplugged during a hold releases what it held).
    void run(const std::function<void(std::int64_t key, bool pressed)> &onKey,
             const std::function<void(std::int64_t key, std::uint64_t modifiers)> &onGrabRefused)
        override;
    // The devices are only read: no key is kept from the focused window.
    void setSwallowedKey(std::int64_t, std::uint64_t) override {}
    // Capture by example sees every key already; they reach the window too.
    bool grabKeyboard(bool) override
    {
        return true;
    }

    // While the session is locked no key counts, and a hold ends. Any thread.
    void setLocked(bool locked);
    // Ends run(). Any thread.
    void stop();

    // Whether this user may read the keyboards: in the `input` group, or root.
    static bool userMayRead();

  private:
    struct Device {
        QString name;
        std::set<int> down;
    };
    void openDevice(const QString &name);
    void closeDevice(int fd);
    void readDevice(int fd);
    void key(int fd, int code, bool pressed);
    void releaseAll();

    const QString directory;
    std::function<bool(int)> isKeyboard;
    int watch = -1; // inotify
    int wake = -1;  // eventfd: stop() and lock changes
    std::map<int, Device> devices;
    std::map<int, int> holders; // key → how many keyboards hold it
    std::function<void(std::int64_t, bool)> deliver;
    std::atomic<bool> locked{false};
    std::atomic<bool> stopping{false};
};

} // namespace parlotta

#include "platform/linux/evdev_keyboard.h"
#include "platform/linux/key_codes.h"

#include <QDir>
#include <fcntl.h>
#include <grp.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>
#include <vector>

namespace parlotta {

namespace {

bool hasBit(const unsigned long *bits, int bit)
{
    constexpr int perWord = 8 * sizeof(unsigned long);
    return bits[bit / perWord] & (1UL << (bit % perWord));
}

// A keyboard has letters or a right Alt; power buttons, mice and lid
// switches report keys too, but none of those.
bool hasKeyboardKeys(int fd)
{
    unsigned long keys[KEY_MAX / (8 * sizeof(unsigned long)) + 1] = {};
    if (ioctl(fd, EVIOCGBIT(EV_KEY, sizeof keys), keys) < 0)
        return false;
    return (hasBit(keys, KEY_A) && hasBit(keys, KEY_Z) && hasBit(keys, KEY_SPACE)) ||
           hasBit(keys, KEY_RIGHTALT);
}

} // namespace

EvdevKeyboardHook::EvdevKeyboardHook(QString directory, std::function<bool(int fd)> isKeyboard)
    : directory(std::move(directory))
    , isKeyboard(isKeyboard ? std::move(isKeyboard) : hasKeyboardKeys)
{
}

EvdevKeyboardHook::~EvdevKeyboardHook()
{
    for (const auto &[fd, device] : devices)
        ::close(fd);
    if (watch >= 0)
        ::close(watch);
    if (wake >= 0)
        ::close(wake);
}

bool EvdevKeyboardHook::userMayRead()
{
    if (geteuid() == 0)
        return true;
    const group *input = getgrnam("input");
    if (!input)
        return false;
    std::vector<gid_t> groups(getgroups(0, nullptr));
    groups.resize(std::max(0, getgroups(int(groups.size()), groups.data())));
    return std::find(groups.begin(), groups.end(), input->gr_gid) != groups.end();
}

bool EvdevKeyboardHook::open()
{
    if (wake < 0)
        wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (watch < 0) {
        // Watched before the first look, so that no keyboard plugged in
        // between is missed; permissions arrive after the node (IN_ATTRIB).
        watch = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        if (watch >= 0 && inotify_add_watch(watch, QFile::encodeName(directory).constData(),
                                            IN_CREATE | IN_ATTRIB | IN_MOVED_TO | IN_DELETE) < 0) {
            ::close(watch);
            watch = -1;
        }
    }
    const QStringList names = QDir(directory).entryList({QStringLiteral("event*")}, QDir::System);
    for (const QString &name : names)
        openDevice(name);
    return wake >= 0 && watch >= 0 && !devices.empty();
}

void EvdevKeyboardHook::openDevice(const QString &name)
{
    if (!name.startsWith(QStringLiteral("event")))
        return;
    for (const auto &[fd, device] : devices)
        if (device.name == name)
            return;
    const int fd = ::open(QFile::encodeName(directory + u'/' + name).constData(),
                          O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return; // not ours to read (yet): IN_ATTRIB tells when that changes
    if (!isKeyboard(fd)) {
        ::close(fd);
        return;
    }
    devices[fd] = Device{name, {}};
}

void EvdevKeyboardHook::key(int fd, int code, bool pressed)
{
    Device &device = devices[fd];
    const bool wasDown = device.down.count(code);
    if (pressed) {
        device.down.insert(code);
        // A second keyboard pressing a key that is down already repeats it.
        if (!wasDown)
            ++holders[code];
        deliver(virtualKeyFromEvdev(code), true);
    } else if (wasDown) {
        device.down.erase(code);
        if (--holders[code] == 0) {
            holders.erase(code);
            deliver(virtualKeyFromEvdev(code), false);
        }
    }
}

void EvdevKeyboardHook::closeDevice(int fd)
{
    // An unplugged keyboard lets go of what it held.
    const std::set<int> held = devices[fd].down;
    for (const int code : held)
        key(fd, code, false);
    devices.erase(fd);
    ::close(fd);
}

void EvdevKeyboardHook::releaseAll()
{
    for (auto &[fd, device] : devices) {
        const std::set<int> held = device.down;
        for (const int code : held)
            key(fd, code, false);
    }
}

void EvdevKeyboardHook::readDevice(int fd)
{
    input_event events[64];
    for (;;) {
        const ssize_t got = ::read(fd, events, sizeof events);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            return;
        if (got <= 0) { // ENODEV, or the end of a recorded stream: unplugged
            closeDevice(fd);
            return;
        }
        for (ssize_t i = 0; i < got / ssize_t(sizeof(input_event)); ++i) {
            const input_event &event = events[i];
            if (event.type == EV_SYN && event.code == SYN_DROPPED) {
                // The kernel dropped events: take the keys' state afresh.
                unsigned long now[KEY_MAX / (8 * sizeof(unsigned long)) + 1] = {};
                if (ioctl(fd, EVIOCGKEY(sizeof now), now) >= 0) {
                    const std::set<int> held = devices[fd].down;
                    for (const int code : held)
                        if (!hasBit(now, code))
                            key(fd, code, false);
                }
                continue;
            }
            // value 0 release, 1 press, 2 autorepeat (a press of a key down)
            if (event.type != EV_KEY || event.code > KEY_MAX || event.value < 0 ||
                event.value > 2 || locked)
                continue;
            key(fd, event.code, event.value != 0);
        }
    }
}

void EvdevKeyboardHook::run(const std::function<void(std::int64_t, bool)> &onKey,
                            const std::function<void(std::int64_t, std::uint64_t)> &)
{
    deliver = onKey;
    bool wasLocked = false;
    while (!stopping) {
        std::vector<pollfd> polled = {{wake, POLLIN, 0}, {watch, POLLIN, 0}};
        for (const auto &[fd, device] : devices)
            polled.push_back({fd, POLLIN, 0});
        if (poll(polled.data(), polled.size(), -1) < 0 && errno != EINTR)
            return;
        if (polled[0].revents) {
            eventfd_t ignored;
            eventfd_read(wake, &ignored);
        }
        if (locked != wasLocked) {
            wasLocked = locked;
            if (wasLocked)
                releaseAll();
        }
        if (polled[1].revents) {
            alignas(inotify_event) char buffer[4096];
            ssize_t got;
            while ((got = ::read(watch, buffer, sizeof buffer)) > 0) {
                for (char *at = buffer; at < buffer + got;) {
                    const auto *change = reinterpret_cast<const inotify_event *>(at);
                    at += sizeof(inotify_event) + change->len;
                    if (change->len && !(change->mask & IN_DELETE))
                        openDevice(QFile::decodeName(change->name));
                }
            }
        }
        for (std::size_t i = 2; i < polled.size(); ++i)
            if (polled[i].revents && devices.count(polled[i].fd))
                readDevice(polled[i].fd);
    }
}

void EvdevKeyboardHook::setLocked(bool on)
{
    locked = on;
    if (wake >= 0)
        eventfd_write(wake, 1);
}

void EvdevKeyboardHook::stop()
{
    stopping = true;
    if (wake >= 0)
        eventfd_write(wake, 1);
}

} // namespace parlotta

#include "platform/wayland/wayland_connection.h"
#include "core/threads.h"
#include "platform/wayland/data_control.h"

#include "data-control-client-protocol.h"
#include "fake-input-client-protocol.h"
#include "foreign-toplevel-client-protocol.h"
#include "plasma-window-management-client-protocol.h"
#include "virtual-keyboard-client-protocol.h"

#include <QElapsedTimer>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/input-event-codes.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <wayland-client.h>

namespace parlotta {

namespace {
// How long a paste target may take to read on: long for a slow reader of a
// large image, short of keeping descriptors for ever.
constexpr int stalledWriteMs = 30000;
} // namespace

// On Dvorak the ANSI V key types another letter.
KeyPosition findKey(xkb_keymap *keymap, xkb_keysym_t sym)
{
    if (!keymap)
        return {};
    const xkb_keycode_t first = xkb_keymap_min_keycode(keymap);
    const xkb_keycode_t last = xkb_keymap_max_keycode(keymap);
    for (xkb_layout_index_t layout = 0; layout < xkb_keymap_num_layouts(keymap); ++layout)
        for (xkb_keycode_t code = first; code <= last; ++code) {
            const xkb_keysym_t *syms = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(keymap, code, layout, 0, &syms);
            for (int i = 0; i < count; ++i)
                if (syms[i] == sym)
                    return {int(code) - 8, layout};
        }
    return {};
}

WaylandConnection::~WaylandConnection() = default;

std::unique_ptr<WaylandConnection> WaylandConnection::connect()
{
    wl_display *display = wl_display_connect(nullptr);
    if (!display)
        return nullptr;
    std::unique_ptr<WaylandConnection> self(new WaylandConnection);
    self->wlDisplay = display;
    static const wl_registry_listener registryListener = {global, globalRemove};
    self->registry = wl_display_get_registry(display);
    wl_registry_add_listener(self->registry, &registryListener, self.get());
    // The globals, then the seat's capabilities, then its keyboard's layout.
    for (int i = 0; i < 3; ++i)
        if (wl_display_roundtrip(display) < 0)
            return nullptr;
    if (self->dataControlManager)
        self->dataControlState = std::make_unique<DataControl>(*self);
    self->followWindows();
    wl_display_roundtrip(display);
    self->keymap(); // the environment's layout where the seat sent none
    return self;
}

void WaylandConnection::global(void *data, wl_registry *registry, uint32_t name,
                               const char *interface, uint32_t version)
{
    auto *self = static_cast<WaylandConnection *>(data);
    auto bind = [&](const wl_interface *type, uint32_t highest) {
        return wl_registry_bind(registry, name, type, std::min(version, highest));
    };
    if (!std::strcmp(interface, wl_seat_interface.name) && !self->wlSeat) {
        self->wlSeat = static_cast<wl_seat *>(bind(&wl_seat_interface, 5));
        static const wl_seat_listener seatListener = {seatCapabilities, seatName};
        wl_seat_add_listener(self->wlSeat, &seatListener, self);
    } else if (!std::strcmp(interface, ext_data_control_manager_v1_interface.name)) {
        // The newer name wins where both are offered: it is the one that stays.
        if (self->dataControlManager && !self->dataControlIsExt)
            zwlr_data_control_manager_v1_destroy(self->dataControlManager);
        self->dataControlManager = static_cast<zwlr_data_control_manager_v1 *>(
            bind(&ext_data_control_manager_v1_interface, 1));
        self->dataControlIsExt = true;
    } else if (!std::strcmp(interface, zwlr_data_control_manager_v1_interface.name) &&
               version >= 2 && !self->dataControlManager) {
        // Version 2 brings PRIMARY, which the xterm family pastes.
        self->dataControlManager = static_cast<zwlr_data_control_manager_v1 *>(
            bind(&zwlr_data_control_manager_v1_interface, 2));
    } else if (!std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name)) {
        self->virtualKeyboardManager = static_cast<zwp_virtual_keyboard_manager_v1 *>(
            bind(&zwp_virtual_keyboard_manager_v1_interface, 1));
    } else if (!std::strcmp(interface, org_kde_kwin_fake_input_interface.name) && version >= 4) {
        self->fakeInput =
            static_cast<org_kde_kwin_fake_input *>(bind(&org_kde_kwin_fake_input_interface, 4));
    } else if (!std::strcmp(interface, org_kde_plasma_window_management_interface.name)) {
        self->plasmaWindows = static_cast<org_kde_plasma_window_management *>(
            bind(&org_kde_plasma_window_management_interface, 16));
    } else if (!std::strcmp(interface, zwlr_foreign_toplevel_manager_v1_interface.name)) {
        self->toplevelManager = static_cast<zwlr_foreign_toplevel_manager_v1 *>(
            bind(&zwlr_foreign_toplevel_manager_v1_interface, 3));
    }
}

void WaylandConnection::seatCapabilities(void *data, wl_seat *seat, uint32_t capabilities)
{
    auto *self = static_cast<WaylandConnection *>(data);
    if ((capabilities & WL_SEAT_CAPABILITY_KEYBOARD) && !self->keyboard) {
        self->keyboard = wl_seat_get_keyboard(seat);
        static const wl_keyboard_listener keyboardListener = {
            keymapEvent,
            [](void *, wl_keyboard *, uint32_t, wl_surface *, wl_array *) {},
            [](void *, wl_keyboard *, uint32_t, wl_surface *) {},
            [](void *, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t) {},
            [](void *, wl_keyboard *, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {},
            [](void *, wl_keyboard *, int32_t, int32_t) {},
        };
        wl_keyboard_add_listener(self->keyboard, &keyboardListener, self);
    }
}

void WaylandConnection::keymapEvent(void *data, wl_keyboard *, uint32_t format, int32_t fd,
                                    uint32_t size)
{
    auto *self = static_cast<WaylandConnection *>(data);
    if (format == WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1 && size > 1) {
        void *map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (map != MAP_FAILED) {
            // The text ends with a NUL the compiler needs.
            self->adoptKeymap(static_cast<const char *>(map));
            munmap(map, size);
        }
    }
    close(fd);
}

void WaylandConnection::adoptKeymap(const char *text)
{
    if (!xkbContext)
        xkbContext = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    xkb_keymap *candidate =
        xkbContext ? xkb_keymap_new_from_string(xkbContext, text, XKB_KEYMAP_FORMAT_TEXT_V1,
                                                XKB_KEYMAP_COMPILE_NO_FLAGS)
                   : nullptr;
    if (!candidate)
        return;
    // The seat passes on the layout of whichever keyboard typed last, and a
    // program that types (wtype, an on-screen keyboard) may bring a layout of
    // a few keys only: a layout without an Insert key is not the user's.
    bool hasInsert = false;
    xkb_keymap_key_for_each(
        candidate,
        [](xkb_keymap *keymap, xkb_keycode_t code, void *found) {
            const xkb_keysym_t *syms = nullptr;
            if (xkb_keymap_key_get_syms_by_level(keymap, code, 0, 0, &syms) > 0 &&
                syms[0] == XKB_KEY_Insert)
                *static_cast<bool *>(found) = true;
        },
        &hasInsert);
    if (!hasInsert) {
        xkb_keymap_unref(candidate);
        return;
    }
    xkb_keymap_unref(xkbKeymap);
    xkbKeymap = candidate;
    seatKeymap = text;
    publishKeymap();
}

void WaylandConnection::publishKeymap()
{
    std::vector<xkb_keysym_t> levelZero(KEY_CNT, XKB_KEY_NoSymbol);
    for (int evdev = 0; evdev < KEY_CNT; ++evdev) {
        const xkb_keysym_t *syms = nullptr;
        if (xkb_keymap_key_get_syms_by_level(xkbKeymap, xkb_keycode_t(evdev + 8), 0, 0, &syms) > 0)
            levelZero[evdev] = syms[0];
    }
    const bool v = findKey(xkbKeymap, XKB_KEY_v).evdev >= 0;
    std::lock_guard lock(keymapMutex);
    keysyms = std::move(levelZero);
    typesV = v;
}

xkb_keysym_t WaylandConnection::keysym(int evdev) const
{
    std::lock_guard lock(keymapMutex);
    return evdev >= 0 && size_t(evdev) < keysyms.size() ? keysyms[evdev] : XKB_KEY_NoSymbol;
}

bool WaylandConnection::layoutTypesV() const
{
    std::lock_guard lock(keymapMutex);
    return typesV;
}

xkb_keymap *WaylandConnection::keymap()
{
    if (!xkbKeymap) {
        // No keyboard on the seat yet: the layout the environment names
        // (XKB_DEFAULT_LAYOUT and its kin), else the compiled-in default.
        if (!xkbContext)
            xkbContext = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        xkb_keymap *names =
            xkbContext ? xkb_keymap_new_from_names(xkbContext, nullptr, XKB_KEYMAP_COMPILE_NO_FLAGS)
                       : nullptr;
        if (names) {
            char *text = xkb_keymap_get_as_string(names, XKB_KEYMAP_FORMAT_TEXT_V1);
            xkbKeymap = names;
            seatKeymap = text;
            free(text);
            publishKeymap();
        }
    }
    return xkbKeymap;
}

void WaylandConnection::start()
{
    startThread(QStringLiteral("Wayland"), [this] { run(); });
}

void WaylandConnection::run()
{
    // A paste target that closes its end early must not end the process:
    // the write then fails with EPIPE, and the signal stays blocked here.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSignal, nullptr);
    while (pump(-1, [] { return false; })) {
    }
    // The compositor went away: answer every caller, serving nothing.
    while (true) {
        pollfd fd{queue.fd(), POLLIN, 0};
        poll(&fd, 1, -1);
        queue.run();
    }
}

void WaylandConnection::flush()
{
    wl_display_flush(wlDisplay);
}

bool WaylandConnection::pump(int timeoutMs, const std::function<bool()> &done, int readFd)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        while (wl_display_prepare_read(wlDisplay) != 0)
            if (wl_display_dispatch_pending(wlDisplay) < 0)
                return false;
        wl_display_flush(wlDisplay);
        if (done()) {
            wl_display_cancel_read(wlDisplay);
            return true;
        }
        std::vector<pollfd> fds = {{wl_display_get_fd(wlDisplay), POLLIN, 0},
                                   {queue.fd(), POLLIN, 0},
                                   {readFd, POLLIN, 0}};
        for (const PendingWrite &write : writes)
            fds.push_back({write.fd, POLLOUT, 0});
        int wait = -1;
        if (timeoutMs >= 0)
            wait = int(std::max<qint64>(0, timeoutMs - clock.elapsed()));
        if (!writes.empty())
            wait = wait < 0 ? stalledWriteMs : std::min(wait, stalledWriteMs);
        const int ready = poll(fds.data(), fds.size(), wait);
        if (fds[0].revents & POLLIN) {
            if (wl_display_read_events(wlDisplay) < 0)
                return false;
        } else {
            wl_display_cancel_read(wlDisplay);
        }
        if (fds[0].revents & (POLLERR | POLLHUP))
            return false;
        if (wl_display_dispatch_pending(wlDisplay) < 0)
            return false;
        for (size_t i = 3; i < fds.size(); ++i)
            serveWrites(fds[i].revents, fds[i].fd);
        dropStalledWrites();
        if (fds[1].revents & POLLIN)
            queue.run();
        if (readFd >= 0 && fds[2].revents)
            return true;
        if (ready == 0 && timeoutMs >= 0 && clock.elapsed() >= timeoutMs)
            return false;
    }
    return true;
}

void WaylandConnection::writeInBackground(int fd, const QByteArray &bytes,
                                          std::function<void()> onWritten)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    writes.push_back({fd, bytes, 0, std::move(onWritten), {}});
    writes.back().sinceProgress.start();
    serveWrites(POLLOUT, fd);
}

void WaylandConnection::dropStalledWrites()
{
    // A target that asked and never reads would keep its descriptor and our
    // data for the life of the daemon.
    for (auto it = writes.begin(); it != writes.end();) {
        if (it->sinceProgress.elapsed() < stalledWriteMs) {
            ++it;
            continue;
        }
        ::close(it->fd);
        it = writes.erase(it);
    }
}

void WaylandConnection::serveWrites(short revents, int fd)
{
    if (!revents)
        return;
    for (auto it = writes.begin(); it != writes.end(); ++it) {
        if (it->fd != fd)
            continue;
        while (it->offset < it->bytes.size()) {
            const ssize_t n = ::write(fd, it->bytes.constData() + it->offset,
                                      size_t(it->bytes.size() - it->offset));
            if (n <= 0)
                break;
            it->offset += n;
            it->sinceProgress.start();
        }
        const bool finished = it->offset >= it->bytes.size();
        // A reader that closed its end gets nothing more.
        const bool gone = !finished && (errno != EAGAIN || (revents & (POLLERR | POLLHUP)));
        if (finished || gone) {
            ::close(fd);
            auto onWritten = std::move(it->onWritten);
            writes.erase(it);
            if (finished && onWritten)
                onWritten();
        }
        return;
    }
}

} // namespace parlotta

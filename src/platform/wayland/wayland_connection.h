#pragma once

// Parlotta's own connection to the Wayland compositor, private to this folder.
// It never depends on Qt's platform plugin: Qt may run on wayland or on xcb,
// and the clipboard must be served whatever the main thread does, so the
// connection has a thread of its own that reads and answers every event.
#include "platform/thread_queue.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>
#include <xkbcommon/xkbcommon.h>

struct wl_display;
struct wl_registry;
struct wl_seat;
struct wl_keyboard;
struct zwlr_data_control_manager_v1;
struct zwp_virtual_keyboard_manager_v1;
struct org_kde_kwin_fake_input;
struct zwlr_foreign_toplevel_manager_v1;
struct org_kde_plasma_window_management;

namespace parlotta {

class DataControl;

// A window of another client, as the compositor describes it.
struct Toplevel {
    QByteArray appId;
    bool active = false;
};

// Where a keysym sits in a layout: the key (evdev code) and the layout's index.
struct KeyPosition {
    int evdev = -1;
    xkb_layout_index_t layout = 0;
};

// The key that types sym unshifted, in the first layout that has one.
KeyPosition findKey(xkb_keymap *keymap, xkb_keysym_t sym);

class WaylandConnection {
  public:
    // Connects to the session's compositor and reads what it offers; null
    // when there is no compositor to talk to. Kept for the process's life:
    // the thread serving it never ends.
    static std::unique_ptr<WaylandConnection> connect();
    ~WaylandConnection();

    // What the compositor offers this client.
    bool hasDataControl() const
    {
        return dataControlManager != nullptr;
    }
    bool hasVirtualKeyboard() const
    {
        return virtualKeyboardManager != nullptr;
    }
    bool hasFakeInput() const
    {
        return fakeInput != nullptr;
    }

    // Starts the thread that answers the compositor; before it, nothing is served.
    void start();

    // The keysym a key (evdev code) types unshifted in the seat's first
    // layout, and whether any of its layouts types "v": from any thread,
    // without waiting for the connection's.
    xkb_keysym_t keysym(int evdev) const;
    bool layoutTypesV() const;

    // Runs work on the connection's thread and waits for its result.
    template <typename T> T call(std::function<T()> work)
    {
        return queue.call<T>(std::move(work));
    }
    // Runs work on the connection's thread; returns at once.
    void post(std::function<void()> work)
    {
        queue.post(std::move(work));
    }

    // Connection thread only, from here on.

    // Serves events until done() holds or timeoutMs has passed; with readFd,
    // also returns as soon as that descriptor has data or has closed. False on
    // timeout or a broken connection.
    bool pump(int timeoutMs, const std::function<bool()> &done, int readFd = -1);
    // Writes bytes to a paste target's descriptor in the background and closes
    // it; onWritten hears when the last byte went out.
    void writeInBackground(int fd, const QByteArray &bytes, std::function<void()> onWritten);
    void flush();

    wl_display *display() const
    {
        return wlDisplay;
    }
    wl_seat *seat() const
    {
        return wlSeat;
    }
    zwlr_data_control_manager_v1 *dataControl() const
    {
        return dataControlManager;
    }
    DataControl *selections() const
    {
        return dataControlState.get();
    }
    zwp_virtual_keyboard_manager_v1 *virtualKeyboards() const
    {
        return virtualKeyboardManager;
    }
    org_kde_kwin_fake_input *fakeInputDevice() const
    {
        return fakeInput;
    }
    // The seat's keyboard layout as the compositor sends it to clients, or
    // the environment's default one where the seat has no keyboard (yet).
    const QByteArray &keymapText() const
    {
        return seatKeymap;
    }
    xkb_keymap *keymap();
    // The application id of the window that has the focus; empty when unknown.
    QByteArray activeAppId() const;

  private:
    WaylandConnection() = default;
    void run();
    void serveWrites(short revents, int fd);
    void adoptKeymap(const char *text);
    void publishKeymap();

    static void global(void *data, wl_registry *registry, uint32_t name, const char *interface,
                       uint32_t version);
    static void globalRemove(void *, wl_registry *, uint32_t) {}
    static void seatCapabilities(void *data, wl_seat *seat, uint32_t capabilities);
    static void seatName(void *, wl_seat *, const char *) {}
    static void keymapEvent(void *data, wl_keyboard *, uint32_t format, int32_t fd, uint32_t size);

    wl_display *wlDisplay = nullptr;
    wl_registry *registry = nullptr;
    wl_seat *wlSeat = nullptr;
    wl_keyboard *keyboard = nullptr;
    zwlr_data_control_manager_v1 *dataControlManager = nullptr;
    bool dataControlIsExt = false;
    std::unique_ptr<DataControl> dataControlState;
    zwp_virtual_keyboard_manager_v1 *virtualKeyboardManager = nullptr;
    org_kde_kwin_fake_input *fakeInput = nullptr;
    zwlr_foreign_toplevel_manager_v1 *toplevelManager = nullptr;
    org_kde_plasma_window_management *plasmaWindows = nullptr;

    QByteArray seatKeymap;
    xkb_context *xkbContext = nullptr;
    xkb_keymap *xkbKeymap = nullptr;
    // What other threads may read of it, copied at each change.
    mutable std::mutex keymapMutex;
    std::vector<xkb_keysym_t> keysyms;
    bool typesV = false;

    // Windows by their protocol object; read from other threads.
    mutable std::mutex windowsMutex;
    QHash<void *, Toplevel> windows;

    struct PendingWrite {
        int fd;
        QByteArray bytes;
        qsizetype offset;
        std::function<void()> onWritten;
        QElapsedTimer sinceProgress; // a reader that stops reading is given up
    };
    void dropStalledWrites();
    std::deque<PendingWrite> writes;

    ThreadQueue queue;

    // Listens for the other clients' windows, where the compositor tells (wayland_toplevels.cpp).
    void followWindows();
    friend struct ToplevelListeners;
    friend struct PlasmaWindowListeners;
};

} // namespace parlotta

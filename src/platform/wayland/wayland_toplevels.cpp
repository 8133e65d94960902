// The windows of other clients and which one is active, for the terminal
// keystroke: wlroots' foreign toplevels, or KWin's plasma window management.
#include "platform/wayland/wayland_connection.h"

#include "foreign-toplevel-client-protocol.h"
#include "plasma-window-management-client-protocol.h"

#include <wayland-client.h>

namespace parlotta {

namespace {

// A window's "activated" state in the toplevel protocol's state array.
constexpr uint32_t toplevelActivated = 2;

} // namespace

// The windows of other clients (wlroots compositors), for the terminal keystroke.
struct ToplevelListeners {
    static Toplevel &window(void *data, void *handle)
    {
        // The connection thread alone writes; readers lock.
        return static_cast<WaylandConnection *>(data)->windows[handle];
    }
    static void title(void *, zwlr_foreign_toplevel_handle_v1 *, const char *) {}
    static void appId(void *data, zwlr_foreign_toplevel_handle_v1 *handle, const char *id)
    {
        auto *self = static_cast<WaylandConnection *>(data);
        std::lock_guard lock(self->windowsMutex);
        window(data, handle).appId = id;
    }
    static void output(void *, zwlr_foreign_toplevel_handle_v1 *, wl_output *) {}
    static void state(void *data, zwlr_foreign_toplevel_handle_v1 *handle, wl_array *states)
    {
        bool active = false;
        const auto *begin = static_cast<const uint32_t *>(states->data);
        for (size_t i = 0; i < states->size / sizeof(uint32_t); ++i)
            active |= begin[i] == toplevelActivated;
        auto *self = static_cast<WaylandConnection *>(data);
        std::lock_guard lock(self->windowsMutex);
        window(data, handle).active = active;
    }
    static void done(void *, zwlr_foreign_toplevel_handle_v1 *) {}
    static void closed(void *data, zwlr_foreign_toplevel_handle_v1 *handle)
    {
        auto *self = static_cast<WaylandConnection *>(data);
        {
            std::lock_guard lock(self->windowsMutex);
            self->windows.remove(handle);
        }
        zwlr_foreign_toplevel_handle_v1_destroy(handle);
    }
    static void parent(void *, zwlr_foreign_toplevel_handle_v1 *, zwlr_foreign_toplevel_handle_v1 *)
    {
    }
    static constexpr zwlr_foreign_toplevel_handle_v1_listener handle = {
        title, appId, output, output, state, done, closed, parent};

    static void toplevel(void *data, zwlr_foreign_toplevel_manager_v1 *,
                         zwlr_foreign_toplevel_handle_v1 *handle)
    {
        zwlr_foreign_toplevel_handle_v1_add_listener(handle, &ToplevelListeners::handle, data);
    }
    static void finished(void *, zwlr_foreign_toplevel_manager_v1 *) {}
    static constexpr zwlr_foreign_toplevel_manager_v1_listener manager = {toplevel, finished};
};

// A listener slot for an event we do not follow.
template <typename F> struct Ignore;
template <typename... A> struct Ignore<void (*)(A...)> {
    static void event(A...) {}
};
#define IGNORED(listener, slot) &Ignore<decltype(listener::slot)>::event

// KWin's windows (plasma window management), for the terminal keystroke.
struct PlasmaWindowListeners {
    using WindowListener = org_kde_plasma_window_listener;
    static void appId(void *data, org_kde_plasma_window *window, const char *id)
    {
        auto *self = static_cast<WaylandConnection *>(data);
        std::lock_guard lock(self->windowsMutex);
        self->windows[window].appId = id;
    }
    static void state(void *data, org_kde_plasma_window *window, uint32_t flags)
    {
        auto *self = static_cast<WaylandConnection *>(data);
        std::lock_guard lock(self->windowsMutex);
        self->windows[window].active = flags & ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_ACTIVE;
    }
    static void unmapped(void *data, org_kde_plasma_window *window)
    {
        auto *self = static_cast<WaylandConnection *>(data);
        {
            std::lock_guard lock(self->windowsMutex);
            self->windows.remove(window);
        }
        if (wl_proxy_get_version(reinterpret_cast<wl_proxy *>(window)) >= 4)
            org_kde_plasma_window_destroy(window);
        else
            wl_proxy_destroy(reinterpret_cast<wl_proxy *>(window));
    }
    static constexpr WindowListener window = {
        IGNORED(WindowListener, title_changed),
        appId,
        state,
        IGNORED(WindowListener, virtual_desktop_changed),
        IGNORED(WindowListener, themed_icon_name_changed),
        unmapped,
        IGNORED(WindowListener, initial_state),
        IGNORED(WindowListener, parent_window),
        IGNORED(WindowListener, geometry),
        IGNORED(WindowListener, icon_changed),
        IGNORED(WindowListener, pid_changed),
        IGNORED(WindowListener, virtual_desktop_entered),
        IGNORED(WindowListener, virtual_desktop_left),
        IGNORED(WindowListener, application_menu),
        IGNORED(WindowListener, activity_entered),
        IGNORED(WindowListener, activity_left),
        IGNORED(WindowListener, resource_name_changed),
    };

    using ManagerListener = org_kde_plasma_window_management_listener;
    // Before version 13 windows come by number, since then by UUID (and by
    // number too, which is then ignored).
    static void byNumber(void *data, org_kde_plasma_window_management *manager, uint32_t id)
    {
        if (wl_proxy_get_version(reinterpret_cast<wl_proxy *>(manager)) < 13)
            org_kde_plasma_window_add_listener(
                org_kde_plasma_window_management_get_window(manager, id), &window, data);
    }
    static void byUuid(void *data, org_kde_plasma_window_management *manager, uint32_t,
                       const char *uuid)
    {
        org_kde_plasma_window_add_listener(
            org_kde_plasma_window_management_get_window_by_uuid(manager, uuid), &window, data);
    }
    static constexpr ManagerListener manager = {
        IGNORED(ManagerListener, show_desktop_changed),
        byNumber,
        IGNORED(ManagerListener, stacking_order_changed),
        IGNORED(ManagerListener, stacking_order_uuid_changed),
        byUuid,
    };
};

void WaylandConnection::followWindows()
{
    if (toplevelManager)
        zwlr_foreign_toplevel_manager_v1_add_listener(toplevelManager, &ToplevelListeners::manager,
                                                      this);
    if (plasmaWindows)
        org_kde_plasma_window_management_add_listener(plasmaWindows,
                                                      &PlasmaWindowListeners::manager, this);
}

QByteArray WaylandConnection::activeAppId() const
{
    std::lock_guard lock(windowsMutex);
    for (const Toplevel &window : windows)
        if (window.active)
            return window.appId;
    return {};
}

} // namespace parlotta

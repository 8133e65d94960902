// A clipboard owner that misbehaves while its content is read, through data
// control (sway): "wlowner MODE" owns the clipboard until killed.
//   clear     on the first request, clears the clipboard, then answers late
//   handover  on the first request, hands the clipboard to a second owner
//             (text/plain;charset=utf-8 "new owner"), then answers late
//   huge      image/png without end, and a 1 MiB text/plain written as a
//             naive owner writes it (one blocking write loop, no retry)
// Prints "owned" once the compositor has made it the clipboard's owner.
#include "data-control-client-protocol.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>
#include <wayland-client.h>

namespace {

wl_seat *seat = nullptr;
zwlr_data_control_manager_v1 *manager = nullptr;
zwlr_data_control_device_v1 *device = nullptr;
wl_display *display = nullptr;
std::string mode;
bool firstRequest = true;

void global(void *, wl_registry *registry, uint32_t name, const char *interface, uint32_t)
{
    if (!std::strcmp(interface, wl_seat_interface.name))
        seat = static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (!std::strcmp(interface, zwlr_data_control_manager_v1_interface.name))
        manager = static_cast<zwlr_data_control_manager_v1 *>(
            wl_registry_bind(registry, name, &zwlr_data_control_manager_v1_interface, 2));
}
void globalRemove(void *, wl_registry *, uint32_t) {}

void writeAll(int fd, const std::string &bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return; // a naive owner gives up at the first refusal
        done += size_t(n);
    }
}

zwlr_data_control_source_v1 *offer(const std::vector<const char *> &types);

void send(void *, zwlr_data_control_source_v1 *, const char *type, int32_t fd)
{
    const bool first = firstRequest;
    firstRequest = false;
    if (mode == "huge") {
        if (!std::strcmp(type, "image/png")) {
            if (fork() == 0) {
                const std::string block(1 << 16, 'i');
                while (::write(fd, block.data(), block.size()) > 0) {
                }
                _exit(0);
            }
        } else {
            writeAll(fd, std::string(1 << 20, 't'));
        }
        ::close(fd);
        return;
    }
    if (first && mode == "clear")
        zwlr_data_control_device_v1_set_selection(device, nullptr);
    else if (first && mode == "handover")
        zwlr_data_control_device_v1_set_selection(device, offer({"text/plain;charset=utf-8"}));
    wl_display_flush(display);
    if (first)
        usleep(200000);
    writeAll(fd, std::strcmp(type, "text/html") ? "old owner" : "<b>old owner</b>");
    ::close(fd);
}

void sendNew(void *, zwlr_data_control_source_v1 *, const char *, int32_t fd)
{
    writeAll(fd, "new owner");
    ::close(fd);
}

void cancelled(void *, zwlr_data_control_source_v1 *source)
{
    zwlr_data_control_source_v1_destroy(source);
}

zwlr_data_control_source_v1 *offer(const std::vector<const char *> &types)
{
    static const zwlr_data_control_source_v1_listener first = {send, cancelled};
    static const zwlr_data_control_source_v1_listener second = {sendNew, cancelled};
    const bool isSecond = types.size() == 1;
    zwlr_data_control_source_v1 *source = zwlr_data_control_manager_v1_create_data_source(manager);
    zwlr_data_control_source_v1_add_listener(source, isSecond ? &second : &first, nullptr);
    for (const char *type : types)
        zwlr_data_control_source_v1_offer(source, type);
    return source;
}

} // namespace

int main(int argc, char *argv[])
{
    signal(SIGPIPE, SIG_IGN);
    signal(SIGCHLD, SIG_IGN);
    mode = argc > 1 ? argv[1] : "";
    display = wl_display_connect(nullptr);
    if (!display)
        return 2;
    static const wl_registry_listener listener = {global, globalRemove};
    wl_registry_add_listener(wl_display_get_registry(display), &listener, nullptr);
    wl_display_roundtrip(display);
    if (!seat || !manager) {
        std::fprintf(stderr, "wlowner: the compositor offers no data control\n");
        return 1;
    }
    device = zwlr_data_control_manager_v1_get_data_device(manager, seat);
    zwlr_data_control_device_v1_set_selection(
        device, mode == "huge" ? offer({"image/png", "text/plain"})
                               : offer({"text/html", "text/plain;charset=utf-8", "text/plain"}));
    wl_display_roundtrip(display);
    std::puts("owned");
    std::fflush(stdout);
    while (wl_display_dispatch(display) >= 0) {
    }
    return 0;
}

// Presses and releases keys through KWin's fake input, as a user's keyboard
// would: "wlkey 67:1 sleep:2000 67:0" holds F9 (evdev 67) for two seconds.
// KWin grants fake input to an installed desktop entry naming this program.
#include "fake-input-client-protocol.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <wayland-client.h>

namespace {

org_kde_kwin_fake_input *input = nullptr;

void global(void *, wl_registry *registry, uint32_t name, const char *interface, uint32_t)
{
    if (!std::strcmp(interface, org_kde_kwin_fake_input_interface.name))
        input = static_cast<org_kde_kwin_fake_input *>(
            wl_registry_bind(registry, name, &org_kde_kwin_fake_input_interface, 4));
}

void globalRemove(void *, wl_registry *, uint32_t) {}

} // namespace

int main(int argc, char *argv[])
{
    wl_display *display = wl_display_connect(nullptr);
    if (!display)
        return 2;
    static const wl_registry_listener listener = {global, globalRemove};
    wl_registry_add_listener(wl_display_get_registry(display), &listener, nullptr);
    wl_display_roundtrip(display);
    if (!input) {
        std::fprintf(stderr, "wlkey: KWin offers no fake input to this program\n");
        return 1;
    }
    org_kde_kwin_fake_input_authenticate(input, "wlkey", "test keys");
    for (int i = 1; i < argc; ++i) {
        if (!std::strncmp(argv[i], "sleep:", 6)) {
            usleep(useconds_t(std::atoi(argv[i] + 6)) * 1000);
            continue;
        }
        const char *state = std::strchr(argv[i], ':');
        org_kde_kwin_fake_input_keyboard_key(input, uint32_t(std::atoi(argv[i])),
                                             state && state[1] == '1' ? 1 : 0);
        wl_display_roundtrip(display);
    }
    return wl_display_roundtrip(display) < 0;
}

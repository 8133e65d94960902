// Lets sway run headless as root in CI: sway refuses to start when it could
// regain root after dropping it, which it tests with setuid(0) and setgid(0).
// Loaded into sway alone through LD_PRELOAD; nothing else changes, and the
// programs sway starts (key bindings' commands) never see it.
#include <cerrno>
#include <cstdlib>
#include <sys/types.h>

extern "C" int setuid(uid_t)
{
    errno = EPERM;
    return -1;
}

extern "C" int setgid(gid_t)
{
    errno = EPERM;
    return -1;
}

// A sanitized program refuses to run with another library preloaded first.
__attribute__((constructor)) static void leaveChildrenAlone()
{
    unsetenv("LD_PRELOAD");
}

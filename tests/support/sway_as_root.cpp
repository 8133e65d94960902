// Lets sway run headless as root in CI: sway refuses to start when it could
// regain root after dropping it, which it tests with setuid(0) and setgid(0).
// Loaded into sway alone through LD_PRELOAD; nothing else changes.
#include <cerrno>
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

#include "core/events.h"

namespace parlotta {

DaemonEvents &daemonEvents()
{
    static DaemonEvents *events = new DaemonEvents; // main thread, for the life of the process
    return *events;
}

} // namespace parlotta

#pragma once

// Whether the user's login session is locked, as logind tells (LockedHint):
// the direct keyboard listener counts no key meanwhile.
#include <functional>

namespace parlotta {

// Calls onChange on the main thread with the lock state now and at each
// change; does nothing where logind does not run. Main thread, once.
void followSessionLock(std::function<void(bool locked)> onChange);

} // namespace parlotta

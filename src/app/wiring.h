#pragma once

namespace parlotta {

// Connects the daemon's events to the subsystems they concern; once, before
// anything can emit one.
void wireSubsystems();

} // namespace parlotta

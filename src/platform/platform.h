#pragma once

namespace parlotta {

// Prepares the platform libraries for use from several threads. Call first in main.
void initPlatform();

} // namespace parlotta

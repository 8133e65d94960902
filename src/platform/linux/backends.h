#pragma once

#include "platform/platform.h"

namespace parlotta {

// The platform backends of the Linux desktop, in the order they are tried.
std::span<const PlatformBackend> linuxPlatformBackends();

} // namespace parlotta

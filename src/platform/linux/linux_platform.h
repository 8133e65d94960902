#pragma once

#include "platform/platform.h"

namespace parlotta {

// The Linux desktop's services for the session: for each part, the first
// candidate the session offers.
std::unique_ptr<PlatformServices> createLinuxPlatform(const Session &session);

} // namespace parlotta

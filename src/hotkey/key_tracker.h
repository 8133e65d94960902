#pragma once

#include "hotkey/tap_rules.h"

#include <QSet>
#include <optional>

namespace parlotta {

// Turns raw key presses and releases into the listener's event facts, keeping
// its own record of which keys are down: a press of a key already down is a
// repeat, and a release of a key that is up (which injected events can
// produce) is no event at all.
class KeyTracker {
  public:
    std::optional<TapEvent> onKey(std::int64_t code, bool pressed);

  private:
    std::uint64_t flags() const;
    QSet<std::int64_t> down;
};

} // namespace parlotta

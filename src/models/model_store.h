#pragma once

#include <QString>

namespace parlotta {

// ~/.config/parlotta/models
QString modelDir();

// The name of the model current.bin points to, or an empty string.
QString activeModel();

} // namespace parlotta

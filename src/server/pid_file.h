#pragma once

#include <QByteArray>
#include <optional>

namespace parlotta {

// A PID file's content: a signed 32-bit decimal number with blanks and line
// breaks around it; nothing when it is anything else.
std::optional<qint32> parsePidFile(const QByteArray &content);

} // namespace parlotta

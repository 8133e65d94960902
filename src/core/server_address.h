#pragma once

#include <QString>

namespace parlotta {

// Where whisper-server listens: the port it is started on and the address
// the inference request is posted to.
inline constexpr int serverPort = 8178;
inline const QString serverHost = QStringLiteral("127.0.0.1");

} // namespace parlotta

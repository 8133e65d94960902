#pragma once

#include <QByteArray>
#include <QString>

namespace parlotta {

inline const QString inferenceUrl = QStringLiteral("http://127.0.0.1:8178/inference");
inline constexpr int requestTimeoutMs = 300000; // without progress

// Posts the inference form and waits for the answer. Runs the request on the
// inference thread while the caller blocks; returns the body decoded as UTF-8
// and trimmed, or an empty text when the request failed (logged as
// "Request error: ...") or the body is not UTF-8.
QString postInference(const QByteArray &body, const QString &boundary);

} // namespace parlotta

#pragma once

#include "core/server_address.h"

#include <QByteArray>
#include <QString>

namespace parlotta {

// Where the recording is posted: whisper-server's inference path. Only tests
// point it elsewhere, at a server of their own.
inline QString inferenceUrl =
    QStringLiteral("http://%1:%2/inference").arg(serverHost).arg(serverPort);
inline constexpr int requestTimeoutMs = 300000; // without progress

// Posts the inference form and waits for the answer. Runs the request on the
// inference thread while the caller blocks; returns the body decoded as UTF-8
// and trimmed, or an empty text when the request failed (logged as
// "Request error: ...") or the body is not UTF-8.
QString postInference(const QByteArray &body, const QString &boundary);

} // namespace parlotta

#pragma once

#include "core/server_address.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

namespace parlotta {

// Where the recording is posted: whisper-server's inference path. Only tests
// point it elsewhere, at a server of their own.
inline QString inferenceUrl =
    QStringLiteral("http://%1:%2/inference").arg(serverHost).arg(serverPort);
inline constexpr int requestTimeoutMs = 300000; // without progress

// Posts the inference form on the inference thread and returns at once. The
// requests run one at a time in the order posted, and done is called on the
// main thread in that order with the body decoded as UTF-8 and trimmed, or an
// empty text when the request failed (logged as "Request error: ...") or the
// body is not UTF-8; with nothing when the recording was not sent (another
// user's program holds the server's port; logged).
void postInference(QByteArray body, QString boundary,
                   std::function<void(const std::optional<QString> &transcript)> done);

// At shutdown: stops the request in flight and drops those queued (their done
// is never called); waits up to two seconds for the one in flight to end.
void abortInference();

} // namespace parlotta

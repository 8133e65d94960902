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
inline const QString localServerFailure = QStringLiteral("whisper-server did not answer");
inline constexpr int requestTimeoutMs = 300000; // without progress

// Where a recording is sent. The local server gets the request as it always
// has; another server is held to https (or accepted plain http), must answer
// with a 2xx status within timeoutMs, and gets the key as a bearer token.
struct InferenceTarget {
    QByteArray url;
    bool remote = false;
    bool loopback = false; // a remote address on this machine: no proxy
    QString origin;        // the remote server, as log lines name it
    QByteArray apiKey;     // empty: none sent
    long long timeoutMs = 0;
};

struct InferenceResult {
    enum class Outcome { Answered, Failed, NotSent };
    Outcome outcome = Outcome::Failed;
    QString transcript; // decoded as UTF-8 and trimmed; empty when it was not UTF-8
    QString failure;    // what went wrong, in a few words, for the menu
};

// Posts the inference form on the inference thread and returns at once. The
// requests run one at a time in the order posted, and done is called on the
// main thread in that order. A failed request is logged ("Request error: ..."
// for the local server, "Transcription failed: ..." for another); NotSent when
// another user's program holds the local server's port (logged).
void postInference(InferenceTarget target, QByteArray body, QString boundary,
                   std::function<void(const InferenceResult &result)> done);

// At shutdown: stops the request in flight and drops those queued (their done
// is never called); waits up to two seconds for the one in flight to end.
void abortInference();

} // namespace parlotta

#pragma once

#include "core/server_address.h"

#include <QString>

namespace parlotta {

// Where a recording is posted to the server running here: its inference
// path. Only tests point it elsewhere, at a server of their own.
inline QString inferenceUrl =
    QStringLiteral("http://%1:%2/inference").arg(serverHost).arg(serverPort);

// The form a server takes: whisper.cpp's own, or the OpenAI-compatible one
// (which adds the model's name).
enum class ServerProtocol { WhisperCpp, OpenAI };

// Where another server takes recordings, as read from the address the user gave.
struct ServerEndpoint {
    QString url;    // where the form is posted
    QString origin; // scheme://host:port: what log lines name and plain http consent is given to
    ServerProtocol protocol = ServerProtocol::WhisperCpp;
    bool loopback = false;
    // Plain http to another machine, not yet accepted: recordings and the key would
    // cross the network readable by anyone on the way.
    bool needsPlainHttpConsent = false;
    QString problem; // why it cannot be used; empty when it can
};

// Reads an address: https anywhere, http to loopback or to the origin the user
// accepted. The path chooses the form: none or "/" means whisper.cpp's
// "/inference", "/v1" and ".../audio/transcriptions" the OpenAI-compatible one,
// any other path whisper.cpp's form posted there (its --inference-path).
ServerEndpoint serverEndpoint(const QString &address, const QString &acceptedPlainOrigin);
// The endpoint the stored address and plain-http consent give.
ServerEndpoint chosenServerEndpoint();

// The server here may be silent this long before it counts as gone.
inline constexpr int requestStallMs = 300000;

// Another server's limits: it must take the connection within 5 s, and answer
// within 20 s plus 2 s per second recorded (a busy CPU server is slower than speech).
inline constexpr int remoteConnectTimeoutMs = 5000;
long long remoteTimeoutMs(double recordedSeconds);

// The most of an answer that is read: a transcript of the longest recording is
// some 20 KB, and anything far larger is not one.
inline constexpr qsizetype answerLimitBytes = 1 << 20;

// A failed exchange with another server: the log line and the menu's short text.
struct ServerFailure {
    QString logLine;
    QString summary;
};
// From libcurl's result code (0 when the exchange completed), error text and
// the system's error number, the HTTP status and where a redirect pointed;
// nothing failed (both texts empty) when the code is 0 and the status 2xx.
ServerFailure describeServerFailure(const QString &origin, int curlCode, const QString &curlError,
                                    int osError, long httpStatus, long long timeoutMs,
                                    const QString &redirectTo = {});

} // namespace parlotta

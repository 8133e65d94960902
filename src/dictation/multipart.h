#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

namespace parlotta {

// A fresh boundary: a random UUID in upper case, 36 characters.
QString newBoundary();

// The inference form: the "file" part with the WAV bytes unchanged,
// "response_format" = "json", "language" unless the code is "auto", "prompt"
// unless empty, and "model" (the OpenAI-compatible form's) unless empty.
QByteArray inferenceBody(const QString &boundary, const QByteArray &wav,
                         const QString &languageCode, const QString &prompt = {},
                         const QString &model = {});

// A server's answer: the transcript when it is {"text": …}, else why it is none
// ("answered an error: …", or "answered something that is not a transcript").
struct TranscriptAnswer {
    std::optional<QString> transcript;
    QString problem;
};
TranscriptAnswer transcriptFromAnswer(const QByteArray &answer);

// The answer's text as a transcript: UTF-8 (else empty), each line (one per
// 30-second window) trimmed and the lines joined by one space.
QString transcriptFromBody(const QByteArray &body);

} // namespace parlotta

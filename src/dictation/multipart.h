#pragma once

#include <QByteArray>
#include <QString>

namespace parlotta {

// A fresh boundary: a random UUID in upper case, 36 characters.
QString newBoundary();

// The inference form: the "file" part with the WAV bytes unchanged,
// "response_format" = "text", and "language" unless the code is "auto".
QByteArray inferenceBody(const QString &boundary, const QByteArray &wav,
                         const QString &languageCode);

// The answer's body as a transcript: UTF-8 (else empty), each line (one per
// 30-second window) trimmed and the lines joined by one space.
QString transcriptFromBody(const QByteArray &body);

} // namespace parlotta

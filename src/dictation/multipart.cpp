#include "dictation/multipart.h"

#include "core/languages.h"

#include <QStringDecoder>
#include <QStringList>
#include <QUuid>

namespace parlotta {

QString newBoundary()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QByteArray inferenceBody(const QString &boundary, const QByteArray &wav,
                         const QString &languageCode)
{
    const QByteArray b = boundary.toUtf8();
    QByteArray body;
    body.reserve(wav.size() + 512);
    body += "--" + b +
            "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"recording.wav\"\r\n"
            "Content-Type: audio/wav\r\n\r\n";
    body += wav;
    body += "\r\n";
    body +=
        "--" + b + "\r\nContent-Disposition: form-data; name=\"response_format\"\r\n\r\ntext\r\n";
    if (!isAutomaticLanguage(languageCode))
        body += "--" + b + "\r\nContent-Disposition: form-data; name=\"language\"\r\n\r\n" +
                languageCode.toUtf8() + "\r\n";
    body += "--" + b + "--\r\n";
    return body;
}

QString transcriptFromBody(const QByteArray &body)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(body);
    if (decoder.hasError())
        return {};
    // The server answers one line per 30-second window: one paragraph, the
    // windows joined by a space.
    QStringList windows;
    for (const QString &line : text.split(u'\n')) {
        const QString window = line.trimmed();
        if (!window.isEmpty())
            windows << window;
    }
    return windows.join(u' ');
}

} // namespace parlotta

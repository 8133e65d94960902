#include "dictation/multipart.h"

#include "core/languages.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>
#include <QStringList>
#include <QUuid>

namespace parlotta {

QString newBoundary()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QByteArray inferenceBody(const QString &boundary, const QByteArray &wav,
                         const QString &languageCode, const QString &prompt, const QString &model)
{
    const QByteArray b = boundary.toUtf8();
    const auto field = [&](const char *name, const QString &value) -> QByteArray {
        return "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
               value.toUtf8() + "\r\n";
    };
    QByteArray body;
    body.reserve(wav.size() + 512);
    body += "--" + b +
            "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"recording.wav\"\r\n"
            "Content-Type: audio/wav\r\n\r\n";
    body += wav;
    body += "\r\n";
    if (!model.isEmpty())
        body += field("model", model);
    // An answer whose shape can be checked: whisper.cpp and OpenAI-compatible
    // servers both answer {"text": …}, and an error page or a JSON error is not that.
    body += field("response_format", QStringLiteral("json"));
    if (!isAutomaticLanguage(languageCode))
        body += field("language", languageCode);
    if (!prompt.isEmpty())
        body += field("prompt", prompt);
    body += "--" + b + "--\r\n";
    return body;
}

TranscriptAnswer transcriptFromAnswer(const QByteArray &answer)
{
    const QJsonDocument json = QJsonDocument::fromJson(answer);
    const QJsonObject object = json.object();
    if (const QJsonValue text = object.value(u"text"); text.isString())
        return {transcriptFromBody(text.toString().toUtf8()), {}};
    // {"error": "…"} (whisper.cpp) or {"error": {"message": "…"}} (OpenAI).
    const QJsonValue error = object.value(u"error");
    QString message =
        error.isString() ? error.toString() : error.toObject().value(u"message").toString();
    message = message.simplified().left(200);
    if (!message.isEmpty())
        return {std::nullopt, QStringLiteral("answered an error: ") + message};
    return {std::nullopt, QStringLiteral("answered something that is not a transcript")};
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

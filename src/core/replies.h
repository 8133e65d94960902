#pragma once

#include <QNetworkReply>

// For the subsystems that speak HTTP through Qt Network: header only, so that
// core itself needs Qt Core alone.
namespace parlotta {

// Whether the reply carries an answer of the server, whatever its status; a
// transport failure carries none.
inline bool hasHttpStatus(QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
}

// A failure of the connection rather than an answer of the server: before the
// headers, or after them (a reset or a timeout cuts the body short, and a
// body cut short is never taken for a whole one).
inline bool isTransportError(QNetworkReply::NetworkError error)
{
    return (error > QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied) ||
           error == QNetworkReply::ProtocolFailure;
}

// Stops reading a body past limit bytes (the buffer stops there too, so an
// endless body is never held whole); tooLong says so once finished.
inline void capBody(QNetworkReply *reply, qint64 limit, const std::shared_ptr<bool> &tooLong)
{
    reply->setReadBufferSize(limit + 1);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, limit, tooLong] {
        if (reply->bytesAvailable() > limit) {
            *tooLong = true;
            reply->abort();
        }
    });
}

} // namespace parlotta

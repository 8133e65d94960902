#include "dictation/session.h"

#include "core/log.h"
#include "dictation/multipart.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSemaphore>
#include <QThread>
#include <memory>

namespace parlotta {

namespace {

// The network thread and its one HTTP session, for the life of the process.
QNetworkAccessManager *session()
{
    static QNetworkAccessManager *manager = [] {
        auto *thread = new QThread;
        thread->setObjectName(QStringLiteral("Network"));
        thread->start();
        auto *nam = new QNetworkAccessManager;
        nam->setCookieJar(nullptr);
        nam->moveToThread(thread);
        return nam;
    }();
    return manager;
}

// Errors that come with an HTTP answer: its body still counts as the transcript.
bool isStatusError(QNetworkReply::NetworkError error)
{
    return (error >= QNetworkReply::ContentAccessDenied &&
            error <= QNetworkReply::UnknownContentError) ||
           (error >= QNetworkReply::InternalServerError &&
            error <= QNetworkReply::UnknownServerError) ||
           error == QNetworkReply::ProtocolInvalidOperationError;
}

} // namespace

QString postInference(const QByteArray &body, const QString &boundary)
{
    QSemaphore done;
    auto result = std::make_shared<QString>();
    QNetworkAccessManager *nam = session();
    QMetaObject::invokeMethod(
        nam,
        [nam, body, boundary, result, &done] {
            QNetworkRequest request{QUrl(inferenceUrl)};
            request.setHeader(QNetworkRequest::ContentTypeHeader,
                              QByteArray("multipart/form-data; boundary=") + boundary.toUtf8());
            request.setTransferTimeout(requestTimeoutMs);
            QNetworkReply *reply = nam->post(request, body);
            QObject::connect(reply, &QNetworkReply::finished, reply, [reply, result, &done] {
                if (reply->error() != QNetworkReply::NoError && !isStatusError(reply->error()))
                    log(QStringLiteral("Request error: ") + reply->errorString());
                else
                    *result = transcriptFromBody(reply->readAll());
                reply->deleteLater();
                done.release();
            });
        },
        Qt::QueuedConnection);
    done.acquire();
    return *result;
}

} // namespace parlotta

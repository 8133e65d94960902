#include "dictation/inference_request.h"

#include "core/log.h"
#include "core/server_address.h"
#include "core/threads.h"
#include "dictation/multipart.h"
#include "server/port_owner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <atomic>
#include <curl/curl.h>
#include <memory>

namespace parlotta {

namespace {

// The thread the inference requests run on, one at a time in the order they
// were posted, for the life of the process; they are queued to this object living there.
QObject *inferenceWorker()
{
    static QObject *worker = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        auto *object = new QObject;
        object->moveToThread(startWorkerThread(QStringLiteral("Inference")));
        return object;
    }();
    return worker;
}

// Set when the daemon ends: the request in flight stops, and those queued are dropped.
std::atomic<bool> abortRequest{false};
std::atomic<int> requestsInFlight{0};

int progress(void *, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return abortRequest ? 1 : 0;
}

size_t collect(char *data, size_t size, size_t count, void *body)
{
    static_cast<QByteArray *>(body)->append(data, qsizetype(size * count));
    return size * count;
}

// On the inference thread. The inference request goes through libcurl rather
// than the Qt session: Qt sends a request's head and body in separate writes
// without TCP_NODELAY, and the server's delayed ACK then holds the body back
// for 40 ms on every request but a connection's first.
QString runInference(const QByteArray &url, const QByteArray &body, const QString &boundary)
{
    static CURL *curl = curl_easy_init(); // kept, so the connection is reused
    if (!curl) {
        log(QStringLiteral("Request error: cannot create an HTTP client"));
        return {};
    }
    curl_easy_reset(curl);
    const QByteArray contentType =
        "Content-Type: multipart/form-data; boundary=" + boundary.toUtf8();
    curl_slist *headers = curl_slist_append(nullptr, contentType.constData());
    headers = curl_slist_append(headers, "Expect:"); // no 100-continue round trip
    QByteArray answer;
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_PROXY, ""); // a loopback server: never through a proxy
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress);
    // Fails only when no byte moves for the whole timeout; a long transcription is fine.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, long(requestTimeoutMs / 1000));
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(requestTimeoutMs));
    const CURLcode result = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    if (result != CURLE_OK) {
        log(QStringLiteral("Request error: ") +
            QString::fromUtf8(error[0] ? error : curl_easy_strerror(result)));
        return {};
    }
    // Whatever the status, the body is the transcript.
    return transcriptFromBody(answer);
}

} // namespace

void postInference(QByteArray body, QString boundary,
                   std::function<void(const std::optional<QString> &transcript)> done)
{
    ++requestsInFlight;
    QMetaObject::invokeMethod(
        inferenceWorker(),
        [url = inferenceUrl.toUtf8(), body = std::move(body), boundary = std::move(boundary),
         done = std::move(done)] {
            // Another user's program on the server's port would read the
            // recording and choose what we type: checked just before sending,
            // as the server may have restarted while this request waited.
            if (const auto uid =
                    abortRequest ? std::nullopt : foreignListenerUid(quint16(serverPort))) {
                log(QStringLiteral("ERROR: port %1 on %2 belongs to another user (uid %3); the "
                                   "recording was not sent")
                        .arg(serverPort)
                        .arg(serverHost)
                        .arg(*uid));
                --requestsInFlight;
                QMetaObject::invokeMethod(
                    qApp, [done] { done(std::nullopt); }, Qt::QueuedConnection);
                return;
            }
            const QString transcript = abortRequest ? QString() : runInference(url, body, boundary);
            --requestsInFlight;
            if (!abortRequest)
                QMetaObject::invokeMethod(
                    qApp, [done, transcript] { done(transcript); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void abortInference()
{
    abortRequest = true;
    // The request in flight stops at curl's next progress call; meanwhile the
    // server sees the connection go and drops its inference.
    QElapsedTimer clock;
    clock.start();
    while (requestsInFlight > 0 && clock.elapsed() < 2000)
        QThread::msleep(10);
}

} // namespace parlotta

#include "dictation/inference_request.h"

#include "core/log.h"
#include "core/server_address.h"
#include "core/threads.h"
#include "dictation/multipart.h"
#include "dictation/transcription_server.h"
#include "server/port_owner.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
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

// The answer's text. Some OpenAI-compatible services answer JSON whatever
// response_format asks for.
QString answerText(const QByteArray &answer, const char *contentType)
{
    if (contentType && QByteArray(contentType).startsWith("application/json")) {
        const QJsonDocument json = QJsonDocument::fromJson(answer);
        if (json.isObject() && json.object().value(u"text").isString())
            return transcriptFromBody(json.object().value(u"text").toString().toUtf8());
    }
    return transcriptFromBody(answer);
}

// On the inference thread. The inference request goes through libcurl rather
// than the Qt session: Qt sends a request's head and body in separate writes
// without TCP_NODELAY, and the server's delayed ACK then holds the body back
// for 40 ms on every request but a connection's first.
InferenceResult runInference(const InferenceTarget &target, const QByteArray &body,
                             const QString &boundary)
{
    using Outcome = InferenceResult::Outcome;
    static CURL *curl = curl_easy_init(); // kept, so the connection is reused
    if (!curl) {
        log(QStringLiteral("Request error: cannot create an HTTP client"));
        return {Outcome::Failed, {}, localServerFailure};
    }
    curl_easy_reset(curl);
    const QByteArray contentType =
        "Content-Type: multipart/form-data; boundary=" + boundary.toUtf8();
    curl_slist *headers = curl_slist_append(nullptr, contentType.constData());
    headers = curl_slist_append(headers, "Expect:"); // no 100-continue round trip
    QByteArray answer;
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, target.url.constData());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.constData());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body.size()));
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress);
    if (target.remote) {
        const bool https = target.url.startsWith("https:");
        curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, https ? "https" : "http,https");
        // A redirect may lead on, never down to plain http; the key goes to the
        // first host only (curl drops it on a change of host).
        curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "https");
        curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
        curl_easy_setopt(curl, CURLOPT_POSTREDIR, long(CURL_REDIR_POST_ALL));
        // The system's certificate store, or the one the environment names.
        if (const QByteArray file = qgetenv("SSL_CERT_FILE"); !file.isEmpty())
            curl_easy_setopt(curl, CURLOPT_CAINFO, file.constData());
        if (const QByteArray dir = qgetenv("SSL_CERT_DIR"); !dir.isEmpty())
            curl_easy_setopt(curl, CURLOPT_CAPATH, dir.constData());
        if (target.loopback)
            curl_easy_setopt(curl, CURLOPT_PROXY, "");
        if (!target.apiKey.isEmpty()) {
            curl_easy_setopt(curl, CURLOPT_HTTPAUTH, long(CURLAUTH_BEARER));
            curl_easy_setopt(curl, CURLOPT_XOAUTH2_BEARER, target.apiKey.constData());
        }
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(remoteConnectTimeoutMs));
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(target.timeoutMs));
    } else {
        curl_easy_setopt(curl, CURLOPT_PROXY, ""); // a loopback server: never through a proxy
        // Fails only when no byte moves for the whole timeout; a long transcription is fine.
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, long(requestTimeoutMs / 1000));
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, long(requestTimeoutMs));
    }
    const CURLcode result = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    const QString errorText = QString::fromUtf8(error[0] ? error : curl_easy_strerror(result));
    if (!target.remote) {
        if (result != CURLE_OK) {
            log(QStringLiteral("Request error: ") + errorText);
            return {Outcome::Failed, {}, localServerFailure};
        }
        // Whatever the status, the body is the transcript.
        return {Outcome::Answered, transcriptFromBody(answer), {}};
    }
    long status = 0;
    long osError = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osError);
    const ServerFailure failure = describeServerFailure(target.origin, int(result), errorText,
                                                        int(osError), status, target.timeoutMs);
    if (!failure.logLine.isEmpty()) {
        log(failure.logLine);
        return {Outcome::Failed, {}, failure.summary};
    }
    char *answerType = nullptr;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &answerType);
    return {Outcome::Answered, answerText(answer, answerType), {}};
}

} // namespace

void postInference(InferenceTarget target, QByteArray body, QString boundary,
                   std::function<void(const InferenceResult &result)> done)
{
    ++requestsInFlight;
    QMetaObject::invokeMethod(
        inferenceWorker(),
        [target = std::move(target), body = std::move(body), boundary = std::move(boundary),
         done = std::move(done)] {
            // Another user's program on the server's port would read the
            // recording and choose what we type: checked just before sending,
            // as the server may have restarted while this request waited.
            const auto uid = abortRequest || target.remote
                                 ? std::nullopt
                                 : foreignListenerUid(quint16(serverPort));
            if (uid) {
                log(QStringLiteral("ERROR: port %1 on %2 belongs to another user (uid %3); the "
                                   "recording was not sent")
                        .arg(serverPort)
                        .arg(serverHost)
                        .arg(*uid));
                --requestsInFlight;
                const InferenceResult refused{InferenceResult::Outcome::NotSent,
                                              {},
                                              QStringLiteral("Another user's program holds "
                                                             "whisper-server's port")};
                QMetaObject::invokeMethod(
                    qApp, [done, refused] { done(refused); }, Qt::QueuedConnection);
                return;
            }
            const InferenceResult result =
                abortRequest ? InferenceResult{} : runInference(target, body, boundary);
            --requestsInFlight;
            if (!abortRequest)
                QMetaObject::invokeMethod(
                    qApp, [done, result] { done(result); }, Qt::QueuedConnection);
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

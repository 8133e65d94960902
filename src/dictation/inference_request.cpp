#include "dictation/inference_request.h"

#include "core/daemon.h"
#include "core/log.h"
#include "core/system_error.h"
#include "dictation/multipart.h"

#include <QThread>
#include <atomic>
#include <cerrno>
#include <curl/curl.h>
#include <memory>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace parlotta {

namespace {

// The thread the inference request runs on while the main thread waits, for
// the life of the process; requests are queued to this object living there.
QObject *inferenceWorker()
{
    static QObject *worker = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        auto *thread = new QThread;
        thread->setObjectName(QStringLiteral("Inference"));
        thread->start();
        auto *object = new QObject;
        object->moveToThread(thread);
        return object;
    }();
    return worker;
}

// Set when the daemon must end while a request is in flight: the request stops.
std::atomic<bool> abortRequest{false};

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
QString runInference(const QByteArray &body, const QString &boundary)
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
    curl_easy_setopt(curl, CURLOPT_URL, inferenceUrl.toUtf8().constData());
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

QString postInference(const QByteArray &body, const QString &boundary)
{
    const int done = eventfd(0, EFD_CLOEXEC);
    if (done < 0) {
        log(QStringLiteral("Request error: ") + systemErrorText());
        return {};
    }
    QString result;
    QMetaObject::invokeMethod(
        inferenceWorker(),
        [&] {
            result = runInference(body, boundary);
            const quint64 one = 1;
            [[maybe_unused]] const ssize_t n = ::write(done, &one, sizeof one);
        },
        Qt::QueuedConnection);
    // No time limit of our own (the request's timeout ends a silent server),
    // but SIGTERM is answered: the request is dropped and the daemon shuts down.
    pollfd fds[2] = {{done, POLLIN, 0}, {terminationRequestFd(), POLLIN, 0}};
    while (true) {
        if (::poll(fds, fds[1].fd >= 0 ? 2 : 1, -1) < 0 && errno == EINTR)
            continue;
        if (fds[0].revents & POLLIN)
            break;
        if (fds[1].revents & POLLIN) {
            abortRequest = true;
            ::poll(fds, 1, 2000); // the server sees us go and drops its inference
            shutdown();
        }
    }
    ::close(done);
    return result;
}

} // namespace parlotta

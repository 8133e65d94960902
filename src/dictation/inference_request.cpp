#include "dictation/inference_request.h"

#include "core/log.h"
#include "core/server_address.h"
#include "core/threads.h"
#include "dictation/multipart.h"
#include "dictation/transcription_server.h"
#include "platform/wav.h"
#include "server/port_owner.h"
#include "server/server.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QUrl>
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
    auto *answer = static_cast<QByteArray *>(body);
    if (answer->size() + qsizetype(size * count) > answerLimitBytes)
        return 0; // curl ends the exchange with CURLE_WRITE_ERROR
    answer->append(data, qsizetype(size * count));
    return size * count;
}

// On the inference thread. The inference request goes through libcurl rather
// than the Qt session: Qt sends a request's head and body in separate writes
// without TCP_NODELAY, and the server's delayed ACK then holds the body back
// for 40 ms on every request but a connection's first.
InferenceResult runInference(const InferenceTarget &target, const InferenceForm &form)
{
    using Outcome = InferenceResult::Outcome;
    static CURL *curl = curl_easy_init(); // kept, so the connection is reused
    if (!curl) {
        log(QStringLiteral("Request error: cannot create an HTTP client"));
        return {Outcome::NoAnswer, {}, target.server + QStringLiteral(" did not answer")};
    }
    curl_easy_reset(curl);
    const RequestShape &shape = target.shape;
    // Built here, one request at a time: kept recordings sent again together
    // are not all held twice.
    const QString boundary = newBoundary();
    const QByteArray body = inferenceBody(boundary, paddedToOneSecond(form.wav), form.languageCode,
                                          form.prompt, form.model);
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
    curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(answerLimitBytes));
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, progress);
    // Redirects are never followed (curl's default): the recording goes only
    // where the user said, and a redirect is reported with where it pointed.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, shape.protocols.constData());
    if (shape.certificateEnvironment) {
        // The system's certificate store, or the one the environment names.
        if (const QByteArray file = qgetenv("SSL_CERT_FILE"); !file.isEmpty())
            curl_easy_setopt(curl, CURLOPT_CAINFO, file.constData());
        if (const QByteArray dir = qgetenv("SSL_CERT_DIR"); !dir.isEmpty())
            curl_easy_setopt(curl, CURLOPT_CAPATH, dir.constData());
    }
    if (shape.direct)
        curl_easy_setopt(curl, CURLOPT_PROXY, "");
    if (!target.apiKey.isEmpty()) {
        curl_easy_setopt(curl, CURLOPT_HTTPAUTH, long(CURLAUTH_BEARER));
        curl_easy_setopt(curl, CURLOPT_XOAUTH2_BEARER, target.apiKey.constData());
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, shape.connectTimeoutMs);
    if (shape.timeoutMs > 0)
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, long(shape.timeoutMs));
    if (shape.stallSeconds > 0) {
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, shape.stallSeconds);
    }
    // The server here may still be loading its model (started at the press,
    // after an idle unload or a restart): it refuses connections until it
    // listens, and the recording waits for it rather than being lost.
    CURLcode result = curl_easy_perform(curl);
    QElapsedTimer waited;
    waited.start();
    bool waitedForLoad = false;
    while (shape.ownServer && result == CURLE_COULDNT_CONNECT && localServerLoading() &&
           waited.elapsed() < serverLoadLimitMs && !abortRequest) {
        if (!waitedForLoad)
            log(QStringLiteral("Waiting for %1 to load the model").arg(target.server));
        waitedForLoad = true;
        QThread::msleep(25); // a refused connection on loopback costs next to nothing
        answer.clear();
        error[0] = '\0';
        result = curl_easy_perform(curl);
    }
    curl_slist_free_all(headers);
    const QString errorText = QString::fromUtf8(error[0] ? error : curl_easy_strerror(result));
    long status = 0;
    long osError = 0;
    char *redirect = nullptr;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &osError);
    curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &redirect);
    const auto failed = [](const QString &line, const QString &summary) {
        log(line);
        return InferenceResult{Outcome::Failed, {}, summary};
    };
    const bool tooLarge = result == CURLE_WRITE_ERROR || result == CURLE_FILESIZE_EXCEEDED;
    if (shape.ownServer) {
        if (result == CURLE_COULDNT_CONNECT && (waitedForLoad || localServerFailedToLoad()))
            return failed(QStringLiteral("Transcription failed: %1 did not load the model")
                              .arg(target.server),
                          target.server + QStringLiteral(" could not load the model"));
        // The server not there, or gone quiet: read as an empty answer.
        if (result != CURLE_OK && !tooLarge) {
            log(QStringLiteral("Request error: ") + errorText);
            return {Outcome::NoAnswer, {}, target.server + QStringLiteral(" did not answer")};
        }
        const QString server = QStringLiteral("Transcription failed: %1 ").arg(target.server);
        const QString summary = target.server + QStringLiteral(" did not give a transcript");
        if (tooLarge)
            return failed(server + QStringLiteral("answered more than %1 MB, which is no "
                                                  "transcript")
                                       .arg(answerLimitBytes >> 20),
                          summary);
        if (status < 200 || status >= 300)
            return failed(server + QStringLiteral("answered HTTP %1 (%2)")
                                       .arg(status)
                                       .arg(QString::fromUtf8(answer).simplified().left(200)),
                          summary);
        const TranscriptAnswer read = transcriptFromAnswer(answer);
        if (!read.transcript)
            return failed(server + read.problem, summary);
        return {Outcome::Answered, *read.transcript, {}};
    }
    const ServerFailure failure =
        describeServerFailure(target.server, int(result), errorText, int(osError), status,
                              shape.timeoutMs, QString::fromUtf8(redirect));
    if (!failure.logLine.isEmpty())
        return failed(failure.logLine, failure.summary);
    const TranscriptAnswer read = transcriptFromAnswer(answer);
    if (!read.transcript)
        return failed(QStringLiteral("Transcription failed: the server at %1 %2")
                          .arg(target.server, read.problem),
                      QStringLiteral("The transcription server's answer is not a transcript"));
    return {Outcome::Answered, *read.transcript, {}};
}

} // namespace

QByteArray paddedToOneSecond(const QByteArray &wav)
{
    const std::optional<WavAudio> audio = parseWav(wav);
    if (!audio || audio->bitsPerSample % 8 != 0)
        return wav;
    const qsizetype frame = qsizetype(audio->channels) * audio->bitsPerSample / 8;
    const qsizetype second = qsizetype(audio->sampleRate) * frame;
    if (frame <= 0 || audio->samples.size() >= second)
        return wav;
    const qsizetype samples = audio->samples.size() / frame * frame;
    return wavHeader(std::uint32_t(second), audio->sampleRate, audio->channels,
                     audio->bitsPerSample) +
           audio->samples.left(samples) + QByteArray(second - samples, '\0');
}

void postInference(InferenceTarget target, InferenceForm form,
                   std::function<void(const InferenceResult &result)> done)
{
    ++requestsInFlight;
    QMetaObject::invokeMethod(
        inferenceWorker(),
        [target = std::move(target), form = std::move(form), done = std::move(done)] {
            // Another user's program on a port of this computer would read the
            // recording (and the key) and choose what we type: checked just
            // before sending, as the server may have restarted, or a tunnel
            // gone down, while this request waited.
            const std::optional<quint16> port = target.shape.checkedPort;
            const auto uid = abortRequest || !port ? std::nullopt : foreignListenerUid(*port);
            if (uid) {
                const QString host = QUrl(QString::fromUtf8(target.url)).host();
                log(QStringLiteral("ERROR: port %1 on %2 belongs to another user (uid %3); the "
                                   "recording was not sent")
                        .arg(*port)
                        .arg(host)
                        .arg(*uid));
                --requestsInFlight;
                const InferenceResult refused{
                    InferenceResult::Outcome::NotSent,
                    {},
                    target.shape.ownServer
                        ? QStringLiteral("Another user's program holds %1's port")
                              .arg(target.server)
                        : QStringLiteral("Another user's program holds the transcription "
                                         "server's port")};
                QMetaObject::invokeMethod(
                    qApp, [done, refused] { done(refused); }, Qt::QueuedConnection);
                return;
            }
            const InferenceResult result =
                abortRequest ? InferenceResult{} : runInference(target, form);
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

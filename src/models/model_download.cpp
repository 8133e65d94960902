#include "models/model_download.h"

#include "core/system_error.h"

#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <cerrno>
#include <cstdlib>
#include <curl/curl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace parlotta {

namespace {

constexpr qint64 progressIntervalMs = 100;

struct Transfer {
    ModelDownload *download = nullptr;
    int fd = -1;
    CURL *curl = nullptr;
    long status = 0;
    QString writeError;
    QCryptographicHash hash{QCryptographicHash::Sha256};
    bool hashing = false;
    const std::atomic<bool> *cancelled = nullptr;
    QElapsedTimer sinceProgress;
};

size_t receive(char *data, size_t size, size_t count, void *context)
{
    auto *t = static_cast<Transfer *>(context);
    // Only the final answer's body is the model; an error page is not.
    if (t->status == 0)
        curl_easy_getinfo(t->curl, CURLINFO_RESPONSE_CODE, &t->status);
    if (t->status != 200)
        return 0;
    const size_t bytes = size * count;
    for (size_t done = 0; done < bytes;) {
        const ssize_t n = ::write(t->fd, data + done, bytes - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            t->writeError = systemErrorText();
            return 0;
        }
        done += size_t(n);
    }
    if (t->hashing)
        t->hash.addData(QByteArrayView(data, qsizetype(bytes)));
    return bytes;
}

int progress(void *context, curl_off_t expected, curl_off_t written, curl_off_t, curl_off_t)
{
    auto *t = static_cast<Transfer *>(context);
    if (*t->cancelled)
        return 1;
    if (t->sinceProgress.isValid() && t->sinceProgress.elapsed() < progressIntervalMs)
        return 0;
    t->sinceProgress.start();
    // Queued to the object, so a call still pending when it is deleted is dropped.
    ModelDownload *download = t->download;
    QMetaObject::invokeMethod(
        download,
        [download, written = qint64(written), expected = qint64(expected)] {
            Q_EMIT download->progressed(written, expected);
        },
        Qt::QueuedConnection);
    return 0;
}

} // namespace

ModelDownload::ModelDownload(QString url, QString destination, QByteArray sha256)
    : url(std::move(url))
    , destination(std::move(destination))
    , sha256(std::move(sha256))
{
}

ModelDownload::~ModelDownload()
{
    cancel();
}

void ModelDownload::start()
{
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    (void)initialised;
    worker = std::thread([this] { run(); });
}

void ModelDownload::cancel()
{
    cancelled = true;
    if (worker.joinable())
        worker.join();
}

void ModelDownload::run()
{
    const QByteArray target = QFile::encodeName(destination);
    QByteArray temporary = target + ".download-XXXXXX";
    QString error;
    Transfer t;
    t.download = this;
    t.cancelled = &cancelled;
    t.hashing = !sha256.isEmpty();
    t.fd = ::mkstemp(temporary.data());
    if (t.fd < 0) {
        error = systemErrorText();
    } else {
        ::fchmod(t.fd, 0644);
        t.curl = curl_easy_init();
        char curlError[CURL_ERROR_SIZE] = {};
        const QByteArray address = url.toUtf8();
        curl_easy_setopt(t.curl, CURLOPT_URL, address.constData());
        curl_easy_setopt(t.curl, CURLOPT_FOLLOWLOCATION, 1L); // the hub redirects to its storage
        curl_easy_setopt(t.curl, CURLOPT_MAXREDIRS, 10L);
        curl_easy_setopt(t.curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(t.curl, CURLOPT_BUFFERSIZE, 1L << 20); // fewer, larger writes
        curl_easy_setopt(t.curl, CURLOPT_WRITEFUNCTION, receive);
        curl_easy_setopt(t.curl, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(t.curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(t.curl, CURLOPT_XFERINFOFUNCTION, progress);
        curl_easy_setopt(t.curl, CURLOPT_XFERINFODATA, &t);
        curl_easy_setopt(t.curl, CURLOPT_ERRORBUFFER, curlError);
        const CURLcode result = curl_easy_perform(t.curl);
        if (t.status == 0)
            curl_easy_getinfo(t.curl, CURLINFO_RESPONSE_CODE, &t.status);
        curl_easy_cleanup(t.curl);
        if (cancelled) {
            ::close(t.fd);
            ::unlink(temporary.constData());
            return; // a cancel is not a failure: nothing to say
        }
        if (!t.writeError.isEmpty())
            error = t.writeError;
        else if (t.status != 200 && t.status != 0)
            error = QStringLiteral("The server responded with HTTP %1.").arg(t.status);
        else if (result != CURLE_OK)
            error = QString::fromUtf8(*curlError ? curlError : curl_easy_strerror(result));
        else if (t.hashing && t.hash.result().toHex() != sha256)
            error = QStringLiteral("The downloaded file does not match the checksum the model "
                                   "hub lists for it.");
        else if (::fdatasync(t.fd) != 0) // on disk before its name says it is complete
            error = systemErrorText();
        if (::close(t.fd) != 0 && error.isEmpty())
            error = systemErrorText();
        if (error.isEmpty() && ::rename(temporary.constData(), target.constData()) != 0)
            error = systemErrorText();
        if (!error.isEmpty())
            ::unlink(temporary.constData());
    }
    QMetaObject::invokeMethod(
        this, [this, error] { Q_EMIT finished(error); }, Qt::QueuedConnection);
}

} // namespace parlotta

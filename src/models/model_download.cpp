#include "models/model_download.h"

#include "core/system_error.h"
#include "core/threads.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
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

using Job = ModelDownload::Job;

// Runs on the main thread, unless the download was cancelled or deleted meanwhile.
template <typename Call> void toOwner(const std::shared_ptr<Job> &job, Call call)
{
    QMetaObject::invokeMethod(
        qApp,
        [job, call] {
            if (!job->cancelled && job->owner)
                call(job->owner.data());
        },
        Qt::QueuedConnection);
}

struct Transfer {
    std::shared_ptr<Job> job;
    int fd = -1;
    CURL *curl = nullptr;
    long status = 0;
    QString writeError;
    QCryptographicHash hash{QCryptographicHash::Sha256};
    bool hashing = false;
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
    if (!writeAll(t->fd, data, qsizetype(bytes), &t->writeError))
        return 0;
    if (t->hashing)
        t->hash.addData(QByteArrayView(data, qsizetype(bytes)));
    return bytes;
}

int progress(void *context, curl_off_t expected, curl_off_t written, curl_off_t, curl_off_t)
{
    auto *t = static_cast<Transfer *>(context);
    if (t->job->cancelled)
        return 1;
    if (t->sinceProgress.isValid() && t->sinceProgress.elapsed() < progressIntervalMs)
        return 0;
    t->sinceProgress.start();
    toOwner(t->job, [written = qint64(written), expected = qint64(expected)](ModelDownload *d) {
        Q_EMIT d->progressed(written, expected);
    });
    return 0;
}

void run(const std::shared_ptr<Job> &job)
{
    const QByteArray target = QFile::encodeName(job->destination);
    QByteArray temporary = target + ".download-XXXXXX";
    QString error;
    Transfer t;
    t.job = job;
    t.hashing = !job->sha256.isEmpty();
    t.fd = ::mkstemp(temporary.data());
    if (t.fd < 0) {
        error = systemErrorText();
    } else {
        ::fchmod(t.fd, 0644);
        t.curl = curl_easy_init();
        char curlError[CURL_ERROR_SIZE] = {};
        const QByteArray address = job->url.toUtf8();
        // Never from https down to http on a redirect; plain http only where
        // the hub itself is (a local hub in tests).
        const char *protocols = address.startsWith("http:") ? "http,https" : "https";
        curl_easy_setopt(t.curl, CURLOPT_URL, address.constData());
        curl_easy_setopt(t.curl, CURLOPT_PROTOCOLS_STR, protocols);
        curl_easy_setopt(t.curl, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
        curl_easy_setopt(t.curl, CURLOPT_FOLLOWLOCATION, 1L); // the hub redirects to its storage
        curl_easy_setopt(t.curl, CURLOPT_MAXREDIRS, 5L);
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
        // A redirect that is not followed (too many, or to another protocol)
        // is said in curl's words, not as the redirect's status.
        const bool redirectRefused = t.status >= 300 && t.status < 400 && result != CURLE_OK;
        if (!t.writeError.isEmpty())
            error = t.writeError;
        else if (t.status != 200 && t.status != 0 && !redirectRefused)
            error = QStringLiteral("The server responded with HTTP %1.").arg(t.status);
        else if (result != CURLE_OK)
            error = QString::fromUtf8(*curlError ? curlError : curl_easy_strerror(result));
        else if (t.hashing && t.hash.result().toHex() != job->sha256)
            error = QStringLiteral("The downloaded file does not match the checksum the model "
                                   "hub lists for it.");
        else if (::fdatasync(t.fd) != 0) // on disk before its name says it is complete
            error = systemErrorText();
        if (::close(t.fd) != 0 && error.isEmpty())
            error = systemErrorText();
        // A cancel is not a failure (nothing to say), and its file goes.
        if (job->cancelled) {
            ::unlink(temporary.constData());
            return;
        }
        if (error.isEmpty() && ::rename(temporary.constData(), target.constData()) != 0)
            error = systemErrorText();
        if (!error.isEmpty())
            ::unlink(temporary.constData());
    }
    toOwner(job, [error](ModelDownload *d) { Q_EMIT d->finished(error); });
}

} // namespace

ModelDownload::ModelDownload(QString url, QString destination, QByteArray sha256)
    : job(std::make_shared<Job>())
{
    job->url = std::move(url);
    job->destination = std::move(destination);
    job->sha256 = std::move(sha256);
    job->owner = this;
}

ModelDownload::~ModelDownload()
{
    cancel();
}

void ModelDownload::start()
{
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    (void)initialised;
    startThread(QStringLiteral("ModelDownload"), [job = job] { run(job); });
}

void ModelDownload::cancel()
{
    job->cancelled = true;
}

void removeUnfinishedDownloads(const QString &modelDir)
{
    const QDir models(modelDir);
    // The names a download gives its temporary file.
    for (const QString &name : models.entryList({QStringLiteral("ggml-*.bin.download-*")},
                                                QDir::Files | QDir::Hidden | QDir::System))
        QFile::remove(models.filePath(name));
}

} // namespace parlotta

// The update check, the offer-once policy and the install.
#include "update/update_checker.h"

#include "core/daemon.h"
#include "core/deployment.h"
#include "core/log.h"
#include "core/preferences.h"
#include "core/replies.h"
#include "core/threads.h"
#include "update/installer.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStringDecoder>
#include <QTemporaryFile>
#include <memory>

namespace parlotta {

namespace {
// A release is about 200 MB; the download stops well past that.
constexpr qint64 maxUpdateDownloadBytes = qint64(1) << 30;
} // namespace

namespace {

// A version file is a few bytes; anything past this is no version file, and
// is not read any further.
constexpr qint64 versionBodyLimit = 64 * 1024;

} // namespace

std::optional<QString> versionFromBody(const QByteArray &body)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = QString(utf8.decode(body)).trimmed();
    if (utf8.hasError() || text.isEmpty())
        return std::nullopt;
    return text;
}

UpdateChecker::UpdateChecker(QString releaseSite, std::optional<Manifest> running, QString appDir,
                             QObject *parent)
    : QObject(parent)
    , releaseSite(std::move(releaseSite))
    , running(std::move(running))
    , appDir(std::move(appDir))
{
}

QUrl UpdateChecker::releaseAddress(const QString &file) const
{
    return QUrl(releaseSite + u'/' + file +
                QStringLiteral("?t=%1").arg(QDateTime::currentSecsSinceEpoch()));
}

QNetworkAccessManager *UpdateChecker::network()
{
    if (!session)
        session = new QNetworkAccessManager(this);
    return session;
}

void UpdateChecker::checkForUpdate(bool userInitiated)
{
    // A development build has no version to compare a release with.
    const std::optional<QString> local = running ? std::optional(running->version) : std::nullopt;
    if (!local) {
        log(QStringLiteral("Update check: no installed version"));
        if (userInitiated)
            Q_EMIT message(QStringLiteral("Can't Check for Updates"),
                           QStringLiteral("No installed version found. This is probably a "
                                          "development build."));
        return;
    }
    QNetworkRequest request(releaseAddress(QStringLiteral("version.txt")));
    request.setTransferTimeout(10000);
    QNetworkReply *reply = network()->get(request);
    auto tooLong = std::make_shared<bool>(false);
    capBody(reply, versionBodyLimit, tooLong);
    connect(reply, &QNetworkReply::finished, this, [this, reply, tooLong, userInitiated, local] {
        reply->deleteLater();
        if (!*tooLong && isTransportError(reply->error())) {
            log(QStringLiteral("Update check failed: %1 (QNetworkReply::NetworkError %2)")
                    .arg(reply->errorString())
                    .arg(int(reply->error())));
            if (userInitiated)
                Q_EMIT message(QStringLiteral("Can't Check for Updates"), reply->errorString());
            return;
        }
        const std::optional<QString> remote =
            *tooLong ? std::nullopt : versionFromBody(reply->read(versionBodyLimit));
        if (!remote) {
            log(QStringLiteral("Update check: invalid remote response"));
            return;
        }
        log(QStringLiteral("Update check: local=%1 remote=%2").arg(*local, *remote));
        applyCheckResult(*remote, *local, userInitiated);
    });
}

void UpdateChecker::applyCheckResult(const QString &remote, const QString &local,
                                     bool userInitiated)
{
    if (!isNewer(remote, local)) {
        available.reset();
        Q_EMIT stateChanged();
        if (userInitiated)
            Q_EMIT message(QStringLiteral("You're up to date!"),
                           QStringLiteral("Parlotta %1 is currently the newest version available.")
                               .arg(local));
        return;
    }
    available = remote;
    Q_EMIT stateChanged();
    // An automatic check offers each version once; the menu keeps offering it.
    if (!userInitiated && preferenceValue(prefUpdateDismissed).toString() == remote)
        return;
    setPreference(prefUpdateDismissed, remote);
    Q_EMIT offerUpdate(remote, local);
}

void UpdateChecker::performUpdate()
{
    if (installing)
        return;
    if (!canReplaceApplication(appDir)) {
        Q_EMIT message(
            QStringLiteral("Can't Update This Copy"),
            QStringLiteral("Parlotta is installed in a folder you can't change, so it can't "
                           "update itself there. Update it the way you installed it, or download "
                           "the latest version from the web site."));
        return;
    }
    // The signature is read again: it may have gone since start-up.
    if (!running || !signingTeam(appDir)) {
        Q_EMIT message(QStringLiteral("Can't Install Updates"),
                       QStringLiteral("This copy of Parlotta isn't a signed release. It's "
                                      "probably a development build."));
        return;
    }
    installing = true;
    Q_EMIT stateChanged();
    log(QStringLiteral("Downloading update..."));

    auto archive = std::make_shared<QTemporaryFile>();
    if (!archive->open())
        return finishUpdate(QStringLiteral("Couldn't store the download: ") +
                            archive->errorString());
    QNetworkRequest request(releaseAddress(QStringLiteral("Parlotta.zip")));
    // A stalled transfer fails instead of leaving "Installing Update…" forever.
    request.setTransferTimeout(60000);
    QNetworkReply *reply = network()->get(request);
    // A release site that streams without end must not fill the disk.
    auto tooLarge = std::make_shared<bool>(false);
    connect(reply, &QNetworkReply::readyRead, this, [reply, archive, tooLarge] {
        const QByteArray data = reply->readAll();
        if (archive->size() + data.size() > maxUpdateDownloadBytes) {
            *tooLarge = true;
            reply->abort();
        } else if (archive->write(data) != data.size()) {
            reply->abort();
        }
    });
    const QByteArray key = running->publicKey;
    const QString identifier = running->identifier;
    // The download goes in every case, before the relaunch too: shutting down
    // runs no destructor that would remove it.
    const auto finish = [this, archive](const std::optional<QString> &failure) {
        archive->remove();
        finishUpdate(failure);
    };
    connect(
        reply, &QNetworkReply::finished, this,
        [this, reply, archive, key, identifier, finish, tooLarge] {
            reply->deleteLater();
            if (*tooLarge)
                return finish(QStringLiteral("The download is larger than a release of "
                                             "Parlotta can be (%1 MB).")
                                  .arg(maxUpdateDownloadBytes >> 20));
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (hasHttpStatus(reply) && status != 200)
                return finish(QStringLiteral("The download failed (HTTP %1).").arg(status));
            if (reply->error() != QNetworkReply::NoError)
                return finish(reply->errorString());
            const QByteArray rest = reply->readAll();
            if (archive->write(rest) != rest.size() || !archive->flush())
                return finish(QStringLiteral("Couldn't store the download: ") +
                              archive->errorString());
            // Unpacking and checking take a while: off the main thread, which keeps
            // the hotkey and the signals answered.
            startThread(QStringLiteral("UpdateInstall"), [this, archive, key, identifier, finish] {
                QString error;
                const std::optional<QString> failure =
                    installUpdate(archive->fileName(), appDir, key, identifier, &error)
                        ? std::nullopt
                        : std::optional(error);
                QMetaObject::invokeMethod(
                    this, [failure, finish] { finish(failure); }, Qt::QueuedConnection);
            });
        });
}

void UpdateChecker::finishUpdate(const std::optional<QString> &failure)
{
    if (!failure) {
        log(QStringLiteral("Update installed, relaunching"));
        relaunch(appDir);
        shutdown();
    }
    log(QStringLiteral("Update failed: ") + *failure);
    installing = false;
    Q_EMIT stateChanged();
    Q_EMIT message(QStringLiteral("Update Failed"),
                   *failure + QStringLiteral("\n\nYou can also download the latest version from ") +
                       siteURL + u'.');
}

} // namespace parlotta

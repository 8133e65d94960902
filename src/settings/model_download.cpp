// The model catalogue from the hub and model downloads.
#include "core/log.h"
#include "models/model_store.h"
#include "settings/settings_controller.h"
#include "settings/settings_window.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QSaveFile>
#include <QThreadPool>

namespace parlotta {

namespace {
constexpr int listingTimeoutMs = 10000;
} // namespace

void SettingsController::fetchModelList()
{
    if (!session)
        session = new QNetworkAccessManager(this);
    QNetworkRequest request{QUrl(modelListURL())};
    request.setTransferTimeout(listingTimeoutMs);
    QNetworkReply *reply = session->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        const QByteArray body = reply->readAll();
        const QString transportError =
            reply->error() == QNetworkReply::NoError ? QString() : reply->errorString();
        // Parsed off the main thread: a listing can be large.
        QPointer<SettingsController> self(this);
        QThreadPool::globalInstance()->start([self, body, transportError] {
            const std::optional<ModelListing> listing =
                body.isEmpty() ? std::nullopt : parseModelListing(body);
            if (!listing) {
                log(QStringLiteral("Model list unavailable, using defaults: ") +
                    (transportError.isEmpty() ? QStringLiteral("invalid response")
                                              : transportError));
                return;
            }
            if (listing->models.isEmpty())
                return;
            QMetaObject::invokeMethod(
                qApp,
                [self, listing] {
                    if (!self)
                        return;
                    self->models = mergedWithInstalledModels(listing->models);
                    self->modelChecksums = listing->sha256;
                    self->rebuildModelPopup();
                    self->refresh();
                },
                Qt::QueuedConnection);
        });
    });
}

void SettingsController::startDownload(const QString &name)
{
    QDir().mkpath(modelDir());
    downloadingModel = name;
    downloadProgress->setValue(0);
    downloadLabel->setText(QStringLiteral("Starting download\u2026"));
    log(QStringLiteral("Downloading model ") + name);
    // Straight to a file beside its destination, which only a complete, checked
    // download replaces (one rename); an unfinished one is removed.
    downloadFile = std::make_unique<QSaveFile>(modelPath(name));
    downloadHash.reset();
    downloadError.clear();
    refresh();
    if (!downloadFile->open(QIODevice::WriteOnly))
        return downloadFailed(downloadFile->errorString());
    if (!downloadSession)
        downloadSession = new QNetworkAccessManager(this);
    QNetworkRequest request{
        QUrl(modelBaseURL() + QStringLiteral("/ggml-") + name + QStringLiteral(".bin"))};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    downloadTask = downloadSession->get(request);
    connect(downloadTask, &QNetworkReply::downloadProgress, this,
            &SettingsController::downloadProgressed);
    connect(downloadTask, &QNetworkReply::readyRead, this, &SettingsController::downloadReceived);
    connect(downloadTask, &QNetworkReply::finished, this, &SettingsController::downloadFinished);
}

void SettingsController::downloadProgressed(qint64 written, qint64 expected)
{
    if (sender() != downloadTask)
        return;
    if (expected >= 1) {
        downloadProgress->setValue(int(double(written) / double(expected) * 1000));
        downloadLabel->setText(formatBytes(written) + QStringLiteral(" of ") +
                               formatBytes(expected));
    } else {
        downloadLabel->setText(formatBytes(written));
    }
}

void SettingsController::downloadReceived()
{
    if (sender() != downloadTask || !downloadFile)
        return;
    const QByteArray data = downloadTask->readAll();
    // Only the final answer's body is the model, not a redirect's.
    if (downloadTask->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() != 200)
        return;
    if (!downloadError.isEmpty())
        return;
    if (downloadFile->write(data) != data.size()) {
        downloadError = downloadFile->errorString();
        downloadTask->abort(); // nothing more can be kept: say so now
        return;
    }
    downloadHash.addData(data);
}

void SettingsController::downloadFinished()
{
    QNetworkReply *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply || reply != downloadTask || !downloadingModel)
        return;
    const QString name = *downloadingModel;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const qint64 written = downloadFile ? downloadFile->size() : 0;
    if (!downloadError.isEmpty())
        return downloadFailed(downloadError);
    if (reply->error() != QNetworkReply::NoError && status == 0)
        return downloadFailed(reply->errorString());
    if (status != 200)
        return downloadFailed(QStringLiteral("The server responded with HTTP %1.").arg(status));
    if (reply->error() != QNetworkReply::NoError)
        return downloadFailed(reply->errorString());
    // A transfer cut short must never become the active model.
    const qint64 announced = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
    if (announced > 0 && written != announced)
        return downloadFailed(QStringLiteral("The transfer ended early: %1 of %2 bytes arrived.")
                                  .arg(written)
                                  .arg(announced));
    const QByteArray expectedSha = modelChecksums.value(name);
    if (!expectedSha.isEmpty() && downloadHash.result().toHex() != expectedSha)
        return downloadFailed(QStringLiteral("The downloaded file does not match the checksum the "
                                             "model hub lists for it."));
    if (!downloadFile->commit())
        return downloadFailed(downloadFile->errorString());
    downloadFile.reset();
    log(QStringLiteral("Model ") + name + QStringLiteral(" downloaded"));
    reply->deleteLater();
    downloadTask = nullptr;
    downloadingModel.reset();
    activateModel(name);
    rebuildModelPopup();
    refresh();
}

void SettingsController::dropDownload()
{
    if (downloadTask) {
        QNetworkReply *reply = downloadTask;
        downloadTask = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
    if (downloadFile) {
        downloadFile->cancelWriting();
        downloadFile.reset(); // removes the unfinished file
    }
}

void SettingsController::cancelDownload()
{
    if (!downloadingModel)
        return;
    const QString name = *downloadingModel;
    dropDownload();
    downloadingModel.reset();
    log(QStringLiteral("Download of model ") + name + QStringLiteral(" cancelled"));
    rebuildModelPopup();
    refresh();
}

void SettingsController::downloadFailed(const QString &message)
{
    log(QStringLiteral("ERROR: model download failed: ") + message);
    dropDownload();
    downloadingModel.reset();
    rebuildModelPopup();
    refresh();
    if (window && window->isVisible()) {
        auto *sheet = new QMessageBox(QMessageBox::Warning, QStringLiteral("Download Failed"),
                                      QStringLiteral("Download Failed"), QMessageBox::Ok, window);
        sheet->setInformativeText(message);
        sheet->setWindowModality(Qt::WindowModal);
        sheet->setAttribute(Qt::WA_DeleteOnClose);
        sheet->open();
    }
}

} // namespace parlotta

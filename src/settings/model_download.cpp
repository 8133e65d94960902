// The model catalogue from the hub and model downloads.
#include "models/model_download.h"
#include "core/log.h"
#include "core/threads.h"
#include "menubar/plain_text.h"
#include "menubar/replies.h"
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

namespace parlotta {

namespace {
constexpr int listingTimeoutMs = 10000;
// The hub's listing is tens of kilobytes; past this it is no listing.
constexpr qint64 listingBodyLimit = 8 * 1024 * 1024;

} // namespace

void SettingsController::fetchModelList()
{
    if (!session)
        session = new QNetworkAccessManager(this);
    QNetworkRequest request{QUrl(modelListURL())};
    request.setTransferTimeout(listingTimeoutMs);
    QNetworkReply *reply = session->get(request);
    auto tooLong = std::make_shared<bool>(false);
    capBody(reply, listingBodyLimit, tooLong);
    connect(reply, &QNetworkReply::finished, this, [this, reply, tooLong] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        // An error page (a wrong owner gets 401 or 404 with a JSON object) is
        // no listing, whatever it holds.
        const QByteArray body =
            *tooLong || (hasHttpStatus(reply) && status != 200) ? QByteArray() : reply->readAll();
        const QString transportError =
            !*tooLong && isTransportError(reply->error()) ? reply->errorString() : QString();
        // Parsed off the main thread: a listing can be large.
        QPointer<SettingsController> self(this);
        startThread(QStringLiteral("ModelListing"), [self, body, transportError] {
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
    downloadTask =
        new ModelDownload(modelBaseURL() + QStringLiteral("/ggml-") + name + QStringLiteral(".bin"),
                          modelPath(name), modelChecksums.value(name));
    connect(downloadTask, &ModelDownload::progressed, this,
            &SettingsController::downloadProgressed);
    connect(downloadTask, &ModelDownload::finished, this, &SettingsController::downloadFinished);
    downloadTask->start();
    refresh();
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

void SettingsController::downloadFinished(const QString &error)
{
    if (sender() != downloadTask || !downloadingModel)
        return;
    if (!error.isEmpty())
        return downloadFailed(error);
    const QString name = *downloadingModel;
    log(QStringLiteral("Model ") + name + QStringLiteral(" downloaded"));
    dropDownload();
    downloadingModel.reset();
    activateModel(name);
    rebuildModelPopup();
    refresh();
}

void SettingsController::dropDownload()
{
    if (!downloadTask)
        return;
    // Stopped now (a transfer still running ends and its file goes); deleted
    // later, as this may run inside its own signal.
    downloadTask->disconnect(this);
    downloadTask->cancel();
    downloadTask->deleteLater();
    downloadTask = nullptr;
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
        usePlainText(*sheet);
        sheet->setWindowModality(Qt::WindowModal);
        sheet->setAttribute(Qt::WA_DeleteOnClose);
        sheet->open();
    }
}

} // namespace parlotta

#include "models/model_catalogue.h"

#include "core/log.h"
#include "core/replies.h"
#include "core/threads.h"
#include "models/model_store.h"

#include <QCoreApplication>
#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace parlotta {

namespace {

constexpr int listingTimeoutMs = 10000;
// The hub's listing is tens of kilobytes; past this it is no listing.
constexpr qint64 listingBodyLimit = 8 * 1024 * 1024;

} // namespace

ModelCatalogue::ModelCatalogue(QString hub, QObject *parent)
    : QObject(parent)
    , hub(std::move(hub))
    , listed(fallbackModels)
    , entries(mergedWithInstalledModels(fallbackModels))
{
}

std::optional<QString> ModelCatalogue::currentModel() const
{
    return downloading ? downloading : activeModel();
}

void ModelCatalogue::fetchModelList()
{
    for (const ModelEngine engine : {ModelEngine::Whisper, ModelEngine::Parakeet})
        fetchListing(engine);
}

void ModelCatalogue::fetchListing(ModelEngine engine)
{
    if (!session)
        session = new QNetworkAccessManager(this);
    QNetworkRequest request{QUrl(modelListURL(hub, engine))};
    request.setTransferTimeout(listingTimeoutMs);
    QNetworkReply *reply = session->get(request);
    auto tooLong = std::make_shared<bool>(false);
    capBody(reply, listingBodyLimit, tooLong);
    connect(reply, &QNetworkReply::finished, this, [this, reply, tooLong, engine] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        // An error page (a wrong owner gets 401 or 404 with a JSON object) is
        // no listing, whatever it holds.
        const QByteArray body =
            *tooLong || (hasHttpStatus(reply) && status != 200) ? QByteArray() : reply->readAll();
        const QString transportError =
            !*tooLong && isTransportError(reply->error()) ? reply->errorString() : QString();
        // Parsed off the main thread: a listing can be large.
        QPointer<ModelCatalogue> self(this);
        startThread(QStringLiteral("ModelListing"), [self, body, transportError, engine] {
            const std::optional<ModelListing> listing =
                body.isEmpty() ? std::nullopt : parseModelListing(body, engine);
            if (!listing) {
                log((engine == ModelEngine::Parakeet
                         ? QStringLiteral("Parakeet model list unavailable, using defaults: ")
                         : QStringLiteral("Model list unavailable, using defaults: ")) +
                    (transportError.isEmpty() ? QStringLiteral("invalid response")
                                              : transportError));
                return;
            }
            if (listing->models.isEmpty())
                return;
            QMetaObject::invokeMethod(
                qApp,
                [self, listing, engine] {
                    if (!self)
                        return;
                    // This repository's models replace its own only.
                    QList<ModelEntry> models = listing->models;
                    for (const ModelEntry &entry : std::as_const(self->listed))
                        if (engineOfModelName(entry.name) != engine)
                            models.append(entry);
                    self->listed = models;
                    self->entries = mergedWithInstalledModels(models);
                    self->modelChecksums.insert(listing->sha256);
                    Q_EMIT self->changed();
                },
                Qt::QueuedConnection);
        });
    });
}

void ModelCatalogue::chooseModel(const QString &name)
{
    if (currentModel() == name)
        return;
    if (downloading)
        cancelDownload();
    if (isModelInstalled(name)) {
        activateModel(name);
        Q_EMIT changed();
    } else {
        startDownload(name);
    }
}

void ModelCatalogue::startDownload(const QString &name)
{
    QDir().mkpath(modelDir());
    downloading = name;
    log(QStringLiteral("Downloading model ") + name);
    downloadTask = new ModelDownload(modelBaseURL(hub, engineOfModelName(name)) +
                                         QStringLiteral("/ggml-") + name + QStringLiteral(".bin"),
                                     modelPath(name), modelChecksums.value(name));
    connect(downloadTask, &ModelDownload::progressed, this,
            [this](qint64 written, qint64 expected) {
                if (sender() == downloadTask)
                    Q_EMIT progressed(written, expected);
            });
    connect(downloadTask, &ModelDownload::finished, this, &ModelCatalogue::downloadFinished);
    downloadTask->start();
    Q_EMIT changed();
}

void ModelCatalogue::downloadFinished(const QString &error)
{
    if (sender() != downloadTask || !downloading)
        return;
    const QString name = *downloading;
    dropDownload();
    downloading.reset();
    if (!error.isEmpty()) {
        log(QStringLiteral("ERROR: model download failed: ") + error);
        Q_EMIT changed();
        Q_EMIT downloadFailed(error);
        return;
    }
    log(QStringLiteral("Model ") + name + QStringLiteral(" downloaded"));
    activateModel(name);
    Q_EMIT changed();
}

void ModelCatalogue::dropDownload()
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

void ModelCatalogue::cancelDownload()
{
    if (!downloading)
        return;
    const QString name = *downloading;
    dropDownload();
    downloading.reset();
    log(QStringLiteral("Download of model ") + name + QStringLiteral(" cancelled"));
    Q_EMIT changed();
}

} // namespace parlotta

#pragma once

#include "models/catalogue.h"
#include "models/model_download.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <optional>

class QNetworkAccessManager;

namespace parlotta {

// The models the user can choose and what happens when they choose one: the
// hub's listing, the checksums it gives, the one download at a time, and the
// switch of the active model. The settings window shows it and reports the
// user's choices; nothing here knows of the window. Main thread.
class ModelCatalogue : public QObject {
    Q_OBJECT

  public:
    // hub: the model hub's base address (hubURL()).
    explicit ModelCatalogue(QString hub, QObject *parent = nullptr);

    // The catalogue (built in, or the hub's listing) plus the installed models it lacks.
    const QList<ModelEntry> &models() const
    {
        return entries;
    }
    // The model being downloaded, until its download ends.
    const std::optional<QString> &downloadingModel() const
    {
        return downloading;
    }
    // Whether a transfer still runs (a cancelled one ends a little later).
    bool downloadRuns() const
    {
        return downloadTask != nullptr;
    }

    // The model shown as current: the one downloading, else the active one.
    std::optional<QString> currentModel() const;
    // Asks the hub for its model listing; a usable answer replaces models.
    void fetchModelList();
    // The user chose a model: nothing when it is current already; else a
    // running download is cancelled, and an installed model becomes active
    // while another is downloaded (and made active once complete).
    void chooseModel(const QString &name);
    // Downloads a model into the model directory and makes it active.
    void startDownload(const QString &name);
    void cancelDownload();

  Q_SIGNALS:
    // What the window shows changed: the list, the current model, the download.
    void changed();
    // The running download's progress; expected < 1 when the size is unknown.
    void progressed(qint64 written, qint64 expected);
    // A download ended in failure (already logged, and changed() emitted).
    void downloadFailed(const QString &message);

  private:
    void fetchListing(ModelEngine engine);
    void downloadFinished(const QString &error);
    // Drops the running download's transfer and its unfinished file.
    void dropDownload();

    const QString hub;
    // Each repository's models (built in until its listing arrives), and those
    // with the installed models they lack: what is shown.
    QList<ModelEntry> listed;
    QList<ModelEntry> entries;
    // SHA-256 of the models the hub lists it for, by name.
    QHash<QString, QByteArray> modelChecksums;
    std::optional<QString> downloading;
    QPointer<ModelDownload> downloadTask;
    QNetworkAccessManager *session = nullptr;
};

} // namespace parlotta

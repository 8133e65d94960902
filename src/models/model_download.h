#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <atomic>
#include <memory>

namespace parlotta {

// One model file fetched over HTTP on a thread of its own, so that the main
// thread stays free for dictation however fast the data comes. The body goes
// straight to a temporary file beside the destination (never into memory);
// only a complete answer of status 200, matching the SHA-256 when one is given,
// replaces the destination, in one rename. Anything else leaves no file.
// Removes the temporary files of downloads killed halfway from modelDir. Only
// while no download runs (at start-up).
void removeUnfinishedDownloads(const QString &modelDir);

class ModelDownload : public QObject {
    Q_OBJECT

  public:
    // sha256: lower-case hex, or empty for no check.
    ModelDownload(QString url, QString destination, QByteArray sha256);
    // Cancels a running transfer.
    ~ModelDownload() override;

    void start();
    // Stops the transfer and returns at once: the thread ends on its own and
    // removes its file. finished is not emitted.
    void cancel();

  Q_SIGNALS:
    // On the main thread, at most ten times a second; expected < 1 when the
    // server does not announce the length.
    void progressed(qint64 written, qint64 expected);
    // On the main thread: error is empty on success, else says what went wrong.
    void finished(const QString &error);

  public:
    // What the transfer's thread shares with the object, which may go first.
    struct Job {
        QString url;
        QString destination;
        QByteArray sha256;
        std::atomic<bool> cancelled{false};
        QPointer<ModelDownload> owner; // read on the main thread only
    };

  private:
    std::shared_ptr<Job> job;
};

} // namespace parlotta

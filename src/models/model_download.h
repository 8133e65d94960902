#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <atomic>
#include <thread>

namespace parlotta {

// One model file fetched over HTTP on a thread of its own, so that the main
// thread stays free for dictation however fast the data comes. The body goes
// straight to a temporary file beside the destination (never into memory);
// only a complete answer of status 200, matching the SHA-256 when one is given,
// replaces the destination, in one rename. Anything else leaves no file.
class ModelDownload : public QObject {
    Q_OBJECT

  public:
    // sha256: lower-case hex, or empty for no check.
    ModelDownload(QString url, QString destination, QByteArray sha256);
    // Cancels a running transfer and waits for its thread.
    ~ModelDownload() override;

    void start();
    // Stops the transfer and removes its file; finished is not emitted.
    void cancel();

  Q_SIGNALS:
    // On the main thread, at most ten times a second; expected < 1 when the
    // server does not announce the length.
    void progressed(qint64 written, qint64 expected);
    // On the main thread: error is empty on success, else says what went wrong.
    void finished(const QString &error);

  private:
    void run();

    const QString url;
    const QString destination;
    const QByteArray sha256;
    std::atomic<bool> cancelled{false};
    std::thread worker;
};

} // namespace parlotta

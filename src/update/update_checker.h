#pragma once

#include <QObject>
#include <QString>
#include <QUrl>
#include <optional>

class QNetworkAccessManager;

namespace parlotta {

// The version check against the release site, the offer-once policy, and the
// download and install of a newer release. The tray menu shows its state and
// its messages; nothing here knows of a window. Main thread.
class UpdateChecker : public QObject {
    Q_OBJECT

  public:
    explicit UpdateChecker(QObject *parent = nullptr);

    // A newer version the last check found.
    std::optional<QString> updateAvailable;
    // Set while an update is being downloaded and installed.
    bool isInstallingUpdate = false;
    // Where version.txt and Parlotta.zip are fetched from: the build's release site.
    QString releaseSite;
    // The running copy's version, from its signed manifest; none for a development build.
    std::optional<QString> localVersion;

    // Starts a check; one the user asked for reports its outcome through
    // message(), an automatic one offers each newer version once.
    void checkForUpdate(bool userInitiated);
    // Downloads the release archive and installs it, unless an install runs
    // or this copy cannot be updated (then message() says why). Installed, the
    // new copy is started and the daemon shuts down.
    void performUpdate();

  Q_SIGNALS:
    // updateAvailable or isInstallingUpdate changed.
    void stateChanged();
    // Offer the user remote over local; accepted, performUpdate follows.
    void offerUpdate(const QString &remote, const QString &local);
    // Tell the user something, with one "OK" button.
    void message(const QString &title, const QString &text);

  private:
    void applyCheckResult(const QString &remote, const QString &local, bool userInitiated);
    void finishUpdate(const std::optional<QString> &failure, const QString &appDir);
    QUrl releaseAddress(const QString &file) const;
    QNetworkAccessManager *network();

    QNetworkAccessManager *session = nullptr;
};

// The remote version in a version file's body, or none for no usable text
// (not UTF-8, or blank once trimmed).
std::optional<QString> versionFromBody(const QByteArray &body);

} // namespace parlotta

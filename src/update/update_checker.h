#pragma once

#include "update/release.h"

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
    // releaseSite: where version.txt and Parlotta.zip are fetched from; running:
    // the running copy's signed manifest (none for a development build);
    // appDir: the folder an install replaces.
    UpdateChecker(QString releaseSite, std::optional<Manifest> running, QString appDir,
                  QObject *parent = nullptr);

    // A newer version the last check found.
    const std::optional<QString> &updateAvailable() const
    {
        return available;
    }
    // Whether an update is being downloaded and installed.
    bool isInstallingUpdate() const
    {
        return installing;
    }

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

  protected:
    // The state as a check or an install leaves it; for the menu's own tests.
    void setState(std::optional<QString> newer, bool installingNow)
    {
        available = std::move(newer);
        installing = installingNow;
        Q_EMIT stateChanged();
    }

  private:
    void applyCheckResult(const QString &remote, const QString &local, bool userInitiated);
    void finishUpdate(const std::optional<QString> &failure);
    QUrl releaseAddress(const QString &file) const;
    QNetworkAccessManager *network();

    const QString releaseSite;
    const std::optional<Manifest> running;
    const QString appDir;
    std::optional<QString> available;
    bool installing = false;
    QNetworkAccessManager *session = nullptr;
};

// The remote version in a version file's body, or none for no usable text
// (not UTF-8, or blank once trimmed).
std::optional<QString> versionFromBody(const QByteArray &body);

} // namespace parlotta

#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <optional>

class QAction;
class QMenu;
class QNetworkAccessManager;
class QSystemTrayIcon;

namespace parlotta {

class AboutDialog;

// The tray item and its menu. One exists from start-up to exit (menuHandler);
// the menu has no state of its own: rebuildMenu reads the preferences, the
// hotkey, whether the key listener runs and the two update fields, and whoever
// changes one of those calls it.
class MenuHandler : public QObject {
    Q_OBJECT

  public:
    MenuHandler();

    QSystemTrayIcon *const statusItem;
    // The language items of the menu built last.
    QList<QAction *> languageItems;
    // A newer version the update check found, shown in the update entry.
    std::optional<QString> updateAvailable;
    // Set while an update is being installed.
    bool isInstallingUpdate = false;

    // Replaces the icon, the tooltip and the whole menu with fresh ones.
    void rebuildMenu();
    // Starts an update check; one the user asked for reports its outcome.
    void checkForUpdate(bool userInitiated);
    // The offer to install remoteVersion (else updateAvailable) over
    // localVersion (else the installed one); accepted, the install starts.
    void showUpdateAlert(std::optional<QString> remoteVersion, std::optional<QString> localVersion);
    // A modal message with one "OK" button, in front of other windows.
    void showUpdateMessage(const QString &title, const QString &text);
    // Downloads the release archive and installs it, unless an install runs
    // or this copy cannot be updated.
    void performUpdate();

  public Q_SLOTS:
    void languageSelected();
    void openSettings();
    void openAccessibilitySettings();
    void showAbout();
    void updateMenuItemClicked();
    void checkForUpdatesClicked();
    void quitApp();

  private:
    void applyCheckResult(const QString &remote, const QString &local, bool userInitiated);
    void finishUpdate(const std::optional<QString> &failure, const QString &appDir);
    QNetworkAccessManager *network();

    QMenu *menu = nullptr;
    QNetworkAccessManager *session = nullptr;
    QPointer<AboutDialog> about;
};

extern MenuHandler *menuHandler;

// Opens the help page on giving Parlotta the keyboard (X11 asks no permission,
// so there is no system prompt to show).
void openAccessibilityPreferences();
// Opens an address in the user's web browser.
void openWebPage(const QString &url);

// What the menu sets off in the subsystems above it; defined in app/wiring.cpp.

} // namespace parlotta

#pragma once

#include "update/update_checker.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <optional>

class QAction;
class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace parlotta {

class AboutDialog;

// The tray item and its menu. One exists from start-up to exit (menuHandler);
// the menu has no state of its own: rebuildMenu reads the preferences, the
// hotkey, whether the key listener runs and the update checker's state, and
// whoever changes one of those calls it.
class MenuHandler : public QObject {
    Q_OBJECT

  public:
    // The update checker is the application's; the menu shows its state.
    explicit MenuHandler(UpdateChecker &updates);

    QSystemTrayIcon *const statusItem;
    // The language items of the menu built last, and everything it shows.
    QList<QAction *> languageItems;
    QStringList menuShape;
    // The update check and install, whose state the update entry shows.
    UpdateChecker &updates;

    // Replaces the icon, the tooltip and, where what it shows changed, the
    // whole menu with fresh ones.
    void rebuildMenu();
    // Shows in the icon and the tooltip whether it records, transcribes, or
    // waits for keyboard access; cheap, called on every change.
    void showState();
    // The offer to install remoteVersion (else updates.updateAvailable) over
    // localVersion (else the installed one); accepted, the install starts.
    void showUpdateAlert(std::optional<QString> remoteVersion, std::optional<QString> localVersion);
    // A modal message with one "OK" button, in front of other windows.
    void showUpdateMessage(const QString &title, const QString &text);

  public Q_SLOTS:
    void languageSelected();
    void openSettings();
    void openAccessibilitySettings();
    void showAbout();
    void updateMenuItemClicked();
    void checkForUpdatesClicked();
    void quitApp();

  private:
    void addRecentMenu();
    QMenu *menu = nullptr;
    QTimer *recordingClock; // the tooltip's seconds while a recording runs
    QString shownState;     // what icon and tooltip show now
    QPointer<AboutDialog> about;
};

extern MenuHandler *menuHandler;

// Opens the help page on giving Parlotta the keyboard (X11 asks no permission,
// so there is no system prompt to show).
void openAccessibilityPreferences();
// Opens an address in the user's web browser.
void openWebPage(const QString &url);

} // namespace parlotta

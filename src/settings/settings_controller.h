#pragma once

#include "hotkey/hotkey_model.h"
#include "models/catalogue.h"
#include "models/model_download.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
class QNetworkAccessManager;
class QProgressBar;
class QPushButton;
class QToolButton;
class QWidget;

namespace parlotta {

class SettingsWindow;

// The settings window and what its controls do. One exists from start-up to
// exit (settingsController); the window is built on the first show and kept:
// closing only hides it. refresh brings every control up to date with the
// stored settings and the daemon's state; whoever changes what it shows calls it.
class SettingsController : public QObject {
    Q_OBJECT

  public:
    SettingsController();

    QPointer<SettingsWindow> window;
    bool isRecordingHotkey = false;
    QComboBox *modelPopup = nullptr;
    QLabel *modelHint = nullptr;
    QProgressBar *downloadProgress = nullptr;
    QLabel *downloadLabel = nullptr;
    QWidget *downloadRow = nullptr; // the row's cells, shown and hidden together
    QPushButton *cancelButton = nullptr;
    QList<ModelEntry> models;
    // SHA-256 of the models the hub lists it for, by name.
    QHash<QString, QByteArray> modelChecksums;
    std::optional<QString> downloadingModel;
    QPointer<ModelDownload> downloadTask;
    QPushButton *hotkeyButton = nullptr;
    QToolButton *clearHotkeyButton = nullptr;
    QComboBox *languagePopup = nullptr;
    QCheckBox *showLanguageCheckbox = nullptr;
    QCheckBox *loginCheckbox = nullptr;
    QWidget *accessibilityRow = nullptr;

    // Builds the window if need be, refreshes it and brings it to the front.
    void show();
    void refresh();
    // Leaves hotkey capture: the key listener goes back to push-to-talk and
    // gives the keyboard back.
    void stopRecordingHotkey();
    // Fills the model popup from models and selects the current model.
    void rebuildModelPopup();
    void updateModelHint();
    // Called when the user closes the window: a capture ends with it.
    void windowWillClose();
    // Asks the hub for its model listing; a usable answer replaces models.
    void fetchModelList();
    // Downloads a model into the model directory and makes it active.
    void startDownload(const QString &name);
    // Ends the download with an error: logged, and shown while the window is.
    void downloadFailed(const QString &message);

  public Q_SLOTS:
    void hotkeyButtonClicked();
    void clearHotkey();
    void grantAccessibility();
    void languageChanged();
    void showLanguageChanged();
    void loginChanged();
    void modelChanged();
    void cancelDownload();

  private:
    void buildWindow();
    void downloadProgressed(qint64 written, qint64 expected);
    void downloadFinished(const QString &error);
    // Drops the running download's reply and its unfinished file.
    void dropDownload();
    // Runs on the main thread with what the key listener captured in the
    // capture numbered capture.
    void captured(quint64 capture, std::optional<ActiveHotkey> result);
    quint64 captureNumber = 0;

    QNetworkAccessManager *session = nullptr;
};

extern SettingsController *settingsController;

} // namespace parlotta

#pragma once

#include "hotkey/hotkey_model.h"
#include "models/model_catalogue.h"

#include <QObject>
#include <QPointer>
#include <optional>

class QCheckBox;
class QComboBox;
class QLabel;
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
    // The catalogue is the application's; the window shows it and passes on choices.
    explicit SettingsController(ModelCatalogue &catalogue);

    QPointer<SettingsWindow> window;
    bool isRecordingHotkey = false;
    QComboBox *modelPopup = nullptr;
    QLabel *modelHint = nullptr;
    QProgressBar *downloadProgress = nullptr;
    QLabel *downloadLabel = nullptr;
    QWidget *downloadRow = nullptr; // the row's cells, shown and hidden together
    QPushButton *cancelButton = nullptr;
    // The models it shows, and what choosing one does.
    ModelCatalogue &catalogue;
    QPushButton *hotkeyButton = nullptr;
    QToolButton *clearHotkeyButton = nullptr;
    QComboBox *languagePopup = nullptr;
    QCheckBox *showLanguageCheckbox = nullptr;
    QCheckBox *loginCheckbox = nullptr;
    // Wayland only: the direct keyboard listener, and what switching it on means.
    QCheckBox *directKeyboardCheckbox = nullptr;
    QLabel *directKeyboardHint = nullptr;
    QWidget *accessibilityRow = nullptr;
    QLabel *hotkeyRefusalLabel = nullptr; // in accessibilityRow
    // What the desktop wants done once for the hotkey to reach us, or why it cannot take it.
    QLabel *desktopHint = nullptr;

    // Builds the window if need be, refreshes it and brings it to the front.
    void show();
    void refresh();
    // Leaves hotkey capture: the key listener goes back to push-to-talk and
    // gives the keyboard back.
    void stopRecordingHotkey();
    // Fills the model popup from the catalogue and selects the current model.
    void rebuildModelPopup();
    void updateModelHint();
    // Called when the user closes the window: a capture ends with it.
    void windowWillClose();

  public Q_SLOTS:
    void hotkeyButtonClicked();
    void clearHotkey();
    void grantAccessibility();
    void languageChanged();
    void showLanguageChanged();
    void loginChanged();
    void directKeyboardChanged();
    void modelChanged();

  protected:
    // While capturing where the desktop binds the shortcut: the window's keys.
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    void buildWindow();
    void downloadProgressed(qint64 written, qint64 expected);
    // Shows a failed download while the window is open.
    void downloadFailed(const QString &message);
    // Runs on the main thread with what the key listener captured in the
    // capture numbered capture.
    void captured(quint64 capture, std::optional<ActiveHotkey> result);
    quint64 captureNumber = 0;
};

extern SettingsController *settingsController;

} // namespace parlotta

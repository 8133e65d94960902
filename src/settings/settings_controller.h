#pragma once

#include "hotkey/hotkey_model.h"
#include "models/model_catalogue.h"
#include "platform/audio.h"

#include <QObject>
#include <QPointer>
#include <memory>
#include <optional>

namespace parlotta {

class SettingsWindow;

// What the settings window's controls do. One exists from start-up to exit
// (settingsController); the window is built on the first show and kept:
// closing only hides it. refresh brings the window up to date with the stored
// settings and the daemon's state; whoever changes what it shows calls it.
class SettingsController : public QObject {
    Q_OBJECT

  public:
    // The catalogue is the application's; the window shows it and passes on choices.
    explicit SettingsController(ModelCatalogue &catalogue);

    // Builds the window if need be, refreshes it and brings it to the front.
    void show();
    void refresh();
    // Fills the model list from the catalogue and selects the current model.
    void rebuildModelPopup();

    // The window once shown, else null.
    SettingsWindow *window() const;
    bool isCapturingHotkey() const
    {
        return capturing;
    }

  protected:
    // While capturing where the desktop binds the shortcut: the window's keys.
    bool eventFilter(QObject *watched, QEvent *event) override;

  private:
    void buildWindow();
    void updateModelHint();
    void hotkeyClicked();
    void clearHotkey();
    void languageChosen(int row);
    void showLanguageChanged(bool on);
    void loginChanged(bool on);
    void directKeyboardChanged(bool on);
    void modelChosen();
    void downloadProgressed(qint64 written, qint64 expected);
    // Leaves hotkey capture: the key listener goes back to push-to-talk and
    // gives the keyboard back.
    void stopCapture();
    // Runs on the main thread with what the key listener captured in the
    // capture numbered capture.
    void captured(quint64 capture, std::optional<ActiveHotkey> result);

    void hotkeyModeChosen(int row);
    void silenceChanged(int seconds);
    void microphoneChosen(const QString &source);
    void keepRecentChanged(bool on);
    void idleLimitChosen(int row);
    void vocabularyEdited(const QString &text);
    void serverChosen(bool remote);
    void serverAddressEdited(const QString &address);
    void plainHttpToggled(bool accepted);
    void serverModelEdited(const QString &name);
    void apiKeyEntered(const QString &key);
    // The microphone list and its level, followed while the window is open.
    void watchMicrophones();

    ModelCatalogue &catalogue;
    std::unique_ptr<AudioSourceWatch> microphones;
    QPointer<SettingsWindow> shown;
    QString apiKeyOutcome; // what storing the key last said, until the window closes
    bool capturing = false;
    quint64 captureNumber = 0;
};

extern SettingsController *settingsController;

} // namespace parlotta

#pragma once

#include "settings/settings_sections.h"

#include <QWidget>

namespace parlotta {

// The settings window: titled and closable only; closing hides it. Its
// sections, on two pages (General, Text), are its own widgets; the controller shows them
// their states and follows what they report.
class SettingsWindow : public QWidget {
    Q_OBJECT

  public:
    SettingsWindow();

    void showState(const SettingsState &state);
    // A sheet on the window, while it is open.
    void showDownloadFailure(const QString &message);

    HotkeyView *const hotkey;
    LanguageView *const language;
    MicrophoneView *const microphone;
    TranscriptionView *const transcription;
    TextView *const text;
    StartupView *const startup;

  Q_SIGNALS:
    void closing();

  protected:
    void closeEvent(QCloseEvent *event) override;
};

} // namespace parlotta

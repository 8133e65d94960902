#pragma once

#include "platform/audio.h"
#include "settings/settings_state.h"

#include <QList>
#include <QWidget>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QTimer;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QToolButton;

namespace parlotta {

// Sets a hint's text and the height its wrapped lines need.
void setHintText(QLabel *hint, const QString &text);

// Everything the window shows apart from the model list, by section; the
// controller has it decided from the stored settings and the daemon's facts.
struct SettingsState {
    HotkeySection hotkey;
    TranscriptionSection transcription;
    GeneralSection general;
};

// One entry of the model list: its title, and the model it names (empty for
// the "Choose a model…" entry).
struct ModelChoice {
    QString title;
    QString name;
};

// The settings window: titled and closable only; closing hides it. It owns its
// controls, shows what it is given and reports what the user does.
class SettingsWindow : public QWidget {
    Q_OBJECT

  public:
    SettingsWindow();

    void showState(const SettingsState &state);
    void setModels(const QList<ModelChoice> &models, int current);
    // The model selected in the list; empty on "Choose a model…".
    QString selectedModel() const;
    void setModelHint(const QString &text);
    // permille of the download, or -1 for a download of unknown size.
    void setDownloadProgress(int permille, const QString &text);
    // The microphone list: "System default", then the sources; current is a
    // source's name, empty for the default.
    void setMicrophones(const QList<AudioSource> &sources, const QString &current);
    void setInputLevel(float dbfs);
    // A sheet on the window, while it is open.
    void showDownloadFailure(const QString &message);

  Q_SIGNALS:
    void hotkeyClicked();
    void hotkeyModeChosen(int row);
    void silenceChanged(int seconds); // 0: off
    void microphoneChosen(const QString &source);
    void keepRecentToggled(bool on);
    void idleLimitChosen(int row);              // in idleLimitChoices
    void vocabularyEdited(const QString &text); // once typing pauses, and at closing
    void serverChosen(bool remote);
    void serverAddressEdited(const QString &address);
    void plainHttpToggled(bool accepted);
    void serverModelEdited(const QString &name);
    void apiKeyEntered(const QString &key); // empty: remove the stored one
    void clearHotkeyClicked();
    void grantClicked();
    void languageChosen(int row);
    void showLanguageToggled(bool on);
    void openAtLoginToggled(bool on);
    void directKeyboardToggled(bool on);
    void modelChosen();
    void cancelDownloadClicked();
    void closing();

  protected:
    void closeEvent(QCloseEvent *event) override;

  private:
    QPushButton *hotkeyButton;
    QToolButton *clearHotkeyButton;
    QLabel *desktopHint;
    QComboBox *hotkeyModePopup;
    QLabel *hotkeyHint;
    QCheckBox *silenceCheckbox;
    QSpinBox *silenceSpin;
    QWidget *silenceRow;
    QComboBox *microphonePopup;
    QProgressBar *inputLevel;
    QCheckBox *keepRecentCheckbox;
    QPlainTextEdit *vocabularyEdit;
    QTimer *vocabularyPause;
    QLabel *vocabularyHint;
    QLabel *languageHint;
    QComboBox *serverPopup;
    QList<QWidget *> remoteRows; // shown with "Another server"
    QLineEdit *serverAddressEdit;
    QLabel *serverHint;
    QCheckBox *plainHttpCheckbox;
    QList<QWidget *> serverModelRow;
    QLineEdit *serverModelEdit;
    QLineEdit *apiKeyEdit;
    QPushButton *removeKeyButton;
    QLabel *apiKeyHint;
    QWidget *accessibilityRow;
    QLabel *refusalLabel; // in accessibilityRow
    QComboBox *languagePopup;
    QCheckBox *showLanguageCheckbox;
    QComboBox *modelPopup;
    QLabel *modelHint;
    QComboBox *idleLimitPopup;
    QList<QWidget *> idleLimitRow; // hidden while another server transcribes
    QWidget *downloadRow;          // the row's cells, shown and hidden together
    QProgressBar *downloadProgress;
    QLabel *downloadLabel;
    QCheckBox *directKeyboardCheckbox;
    QLabel *directKeyboardHint;
    QCheckBox *loginCheckbox;
};

} // namespace parlotta

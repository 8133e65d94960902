#pragma once

// The settings window's sections, one widget each: it owns its controls,
// shows the state its pure function decided (settings_state.h) and reports
// what the user does. Labels and the controls they name are siblings in the
// section's grid: that is how screen readers learn which label names which.
#include "settings/settings_state.h"

#include <QList>
#include <QWidget>

class QCheckBox;
class QListWidget;
class QTableWidget;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTimer;
class QToolButton;

namespace parlotta {

// Sets a hint's text and the height its wrapped lines need.
void setHintText(QLabel *hint, const QString &text);

// A grid of label | control rows.
class SectionView : public QWidget {
  public:
    // The width its labels take; the window gives every section the widest,
    // so that the sections' columns line up.
    int labelWidth() const;
    void setLabelWidth(int width);

  protected:
    SectionView();
    // A label (its first letter after & the mnemonic) and the control it
    // names; cell holds the control where it has company. Returns the row's
    // widgets, for rows that hide and show whole.
    QList<QWidget *> labelled(const QString &text, QWidget *control, QWidget *cell = nullptr);
    // A widget in the controls' column, under the last row.
    void under(QWidget *widget, bool alignLeft = true);
    // The gap above a group of rows within the section.
    void gap();

  private:
    QGridLayout *grid;
    QList<QLabel *> labels;
    int row = 0;
};

class HotkeyView : public SectionView {
    Q_OBJECT

  public:
    HotkeyView();
    void showState(const HotkeySection &state);

  Q_SIGNALS:
    void hotkeyClicked();
    void clearHotkeyClicked();
    void hotkeyModeChosen(int row);
    void silenceChanged(int seconds); // 0: off
    void grantClicked();
    void directKeyboardToggled(bool on);

  private:
    QPushButton *hotkeyButton;
    QToolButton *clearHotkeyButton;
    QComboBox *modePopup;
    QLabel *hint;
    QCheckBox *silenceCheckbox;
    QSpinBox *silenceSpin;
    QWidget *silenceRow;
    QLabel *desktopHint;
    QWidget *accessibilityRow;
    QLabel *refusalLabel;
    QCheckBox *directKeyboardCheckbox;
    QLabel *directKeyboardHint;
};

class LanguageView : public SectionView {
    Q_OBJECT

  public:
    LanguageView();
    void showState(const LanguageSection &state);

  Q_SIGNALS:
    void languageChosen(int row);
    void showLanguageToggled(bool on);
    void keepRecentToggled(bool on);

  private:
    QComboBox *languagePopup;
    QLabel *languageHint;
    QCheckBox *showLanguageCheckbox;
    QCheckBox *keepRecentCheckbox;
};

class MicrophoneView : public SectionView {
    Q_OBJECT

  public:
    MicrophoneView();
    void showState(const MicrophoneSection &state);
    void setInputLevel(float dbfs);

  Q_SIGNALS:
    void microphoneChosen(const QString &source);

  private:
    QComboBox *microphonePopup;
    QProgressBar *inputLevel;
};

// One entry of the model list: its title, and the model it names (empty for
// the "Choose a model…" entry).
struct ModelChoice {
    QString title;
    QString name;
};

class TranscriptionView : public SectionView {
    Q_OBJECT

  public:
    TranscriptionView();
    void showState(const TranscriptionSection &state);
    void setModels(const QList<ModelChoice> &models, int current);
    // The model selected in the list; empty on "Choose a model…".
    QString selectedModel() const;
    void setModelHint(const QString &text);
    // permille of the download, or -1 for a download of unknown size.
    void setDownloadProgress(int permille, const QString &text);
    // Reports the vocabulary typed since the last pause, at once.
    void finishVocabulary();

  Q_SIGNALS:
    void vocabularyEdited(const QString &text); // once typing pauses, and at closing
    void serverChosen(bool remote);
    void serverAddressEdited(const QString &address);
    void plainHttpToggled(bool accepted);
    void serverModelEdited(const QString &name);
    void apiKeyEntered(const QString &key); // empty: remove the stored one
    void modelChosen();
    void cancelDownloadClicked();
    void idleLimitChosen(int row); // in idleLimitChoices

  private:
    QPlainTextEdit *vocabularyEdit;
    QTimer *vocabularyPause;
    QLabel *vocabularyHint;
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
    QComboBox *modelPopup;
    QLabel *modelHint;
    QWidget *downloadRow;
    QProgressBar *downloadProgress;
    QLabel *downloadLabel;
    QComboBox *idleLimitPopup;
    QList<QWidget *> idleLimitRow; // hidden while another server transcribes
};

// What gets typed: filler words, spoken commands, the replacement list, and
// rules per application. Each change reports the whole setting anew.
class TextView : public SectionView {
    Q_OBJECT

  public:
    TextView();
    void showState(const TextSection &state);

  Q_SIGNALS:
    void fillersToggled(bool on);
    void lineCommandsToggled(bool on);
    void punctuationToggled(bool on);
    void replacementsEdited(const QList<Replacement> &replacements);
    void rulesEdited(const QList<ApplicationRule> &rules);

  private:
    // The table's rows that say something, as they would be stored.
    QList<Replacement> tableReplacements() const;
    void replacementsChanged();
    void showRule();
    void ruleChanged();

    QCheckBox *fillersCheckbox;
    QCheckBox *lineCommandsCheckbox;
    QCheckBox *punctuationCheckbox;
    QLabel *commandsHint;
    QTableWidget *replacementTable;
    QComboBox *ruleApplication; // editable: an application dictated into lately, or any
    QListWidget *ruleList;
    QWidget *ruleEditor;
    QComboBox *pastePopup;
    QCheckBox *enterCheckbox;
    QCheckBox *ruleReplacementsCheckbox;
    QCheckBox *ruleCommandsCheckbox;
    QCheckBox *lineBreaksCheckbox;
    QList<ApplicationRule> rules;
};

class StartupView : public SectionView {
    Q_OBJECT

  public:
    StartupView();
    void showState(const StartupSection &state);

  Q_SIGNALS:
    void openAtLoginToggled(bool on);

  private:
    QCheckBox *loginCheckbox;
};

} // namespace parlotta

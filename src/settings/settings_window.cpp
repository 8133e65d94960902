#include "settings/settings_window.h"

#include "core/languages.h"
#include "core/preferences.h"
#include "menubar/plain_text.h"
#include "menubar/status_icon.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <QWheelEvent>
#include <algorithm>

namespace parlotta {

namespace {

constexpr int sectionPadding = 14; // above the language, model and startup sections
constexpr int hintWidth = 260;

QFont smallFont(const QWidget *widget)
{
    QFont font = widget->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    return font;
}

QLabel *label(const QString &text)
{
    return new QLabel(text);
}

// A wrapping line of small, secondary text under a control.
QLabel *hint(const QString &text)
{
    auto *hint = new QLabel;
    hint->setWordWrap(true);
    hint->setFont(smallFont(hint));
    hint->setForegroundRole(QPalette::PlaceholderText);
    setHintText(hint, text);
    return hint;
}

// Cells side by side, as one widget, so that a row hides and shows whole.
QWidget *stack(std::initializer_list<QWidget *> cells, int spacing)
{
    auto *box = new QWidget;
    auto *layout = new QHBoxLayout(box);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    for (QWidget *cell : cells)
        layout->addWidget(cell, 0, Qt::AlignVCenter);
    layout->addStretch();
    return box;
}

// A choice box that a turn of the mouse wheel over it leaves alone unless it
// has the keyboard focus: passing over "Model:" must not start a download of
// gigabytes, nor passing over "Language:" store a language.
class ChoiceBox : public QComboBox {
  public:
    ChoiceBox()
    {
        setFocusPolicy(Qt::StrongFocus); // a wheel turn does not give it the focus
    }

  protected:
    void wheelEvent(QWheelEvent *event) override
    {
        if (hasFocus())
            QComboBox::wheelEvent(event);
        else
            event->ignore(); // the window under it gets it
    }
};

QPushButton *smallButton(const QString &text)
{
    auto *button = new QPushButton(text);
    button->setFont(smallFont(button));
    return button;
}

} // namespace

void setHintText(QLabel *hint, const QString &text)
{
    // Model names and descriptions come from the hub: never markup.
    hint->setTextFormat(Qt::PlainText);
    hint->setText(text);
    // A fixed-size window sizes itself from size hints, which know nothing of
    // wrapping: the label asks for the height its wrapped text needs.
    hint->setFixedWidth(hintWidth);
    hint->setFixedHeight(std::max(0, hint->heightForWidth(hintWidth))); // -1 while empty
}

SettingsWindow::SettingsWindow()
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint)
{
    setWindowTitle(QStringLiteral("Settings"));

    hotkeyButton = new QPushButton;
    hotkeyButton->setObjectName(QStringLiteral("hotkey"));
    hotkeyButton->setMinimumWidth(160);
    connect(hotkeyButton, &QPushButton::clicked, this, &SettingsWindow::hotkeyClicked);
    desktopHint = new QLabel;
    desktopHint->setWordWrap(true);
    desktopHint->setTextFormat(Qt::PlainText);
    desktopHint->setTextInteractionFlags(Qt::TextSelectableByMouse);
    clearHotkeyButton = new QToolButton;
    clearHotkeyButton->setObjectName(QStringLiteral("clearHotkey"));
    clearHotkeyButton->setIcon(iconFromSvg(QStringLiteral(":/parlotta/icons/clear.svg")));
    clearHotkeyButton->setAutoRaise(true);
    clearHotkeyButton->setAccessibleName(QStringLiteral("Clear hotkey"));
    clearHotkeyButton->setToolTip(QStringLiteral("Clear hotkey"));
    connect(clearHotkeyButton, &QToolButton::clicked, this, &SettingsWindow::clearHotkeyClicked);

    hotkeyModePopup = new ChoiceBox;
    hotkeyModePopup->setObjectName(QStringLiteral("hotkeyMode"));
    hotkeyModePopup->setAccessibleName(QStringLiteral("Hotkey mode"));
    hotkeyModePopup->addItems({QStringLiteral("Hold to talk"),
                               QStringLiteral("Press to start, press again to stop"),
                               QStringLiteral("Both")});
    connect(hotkeyModePopup, &QComboBox::activated, this, &SettingsWindow::hotkeyModeChosen);
    hotkeyHint = hint(QString());
    silenceCheckbox = new QCheckBox(QStringLiteral("Stop after"));
    silenceCheckbox->setObjectName(QStringLiteral("stopAfterSilence"));
    silenceCheckbox->setAccessibleName(QStringLiteral("Stop after seconds of silence"));
    silenceSpin = new QSpinBox;
    silenceSpin->setObjectName(QStringLiteral("silenceSeconds"));
    silenceSpin->setRange(1, 10);
    silenceSpin->setValue(2);
    silenceSpin->setSuffix(QStringLiteral(" s of silence"));
    silenceSpin->setAccessibleName(QStringLiteral("Seconds of silence"));
    const auto silence = [this] {
        silenceSpin->setEnabled(silenceCheckbox->isChecked());
        Q_EMIT silenceChanged(silenceCheckbox->isChecked() ? silenceSpin->value() : 0);
    };
    connect(silenceCheckbox, &QCheckBox::toggled, this, silence);
    connect(silenceSpin, &QSpinBox::valueChanged, this, silence);
    silenceRow = stack({silenceCheckbox, silenceSpin}, 6);

    microphonePopup = new ChoiceBox;
    microphonePopup->setObjectName(QStringLiteral("microphone"));
    microphonePopup->setMinimumWidth(260);
    connect(microphonePopup, &QComboBox::activated, this,
            [this] { Q_EMIT microphoneChosen(microphonePopup->currentData().toString()); });
    inputLevel = new QProgressBar;
    inputLevel->setObjectName(QStringLiteral("microphoneLevel"));
    inputLevel->setRange(0, 60); // -60 dBFS to full scale
    inputLevel->setFixedSize(260, 8);
    inputLevel->setTextVisible(false);
    inputLevel->setAccessibleName(QStringLiteral("Input level"));

    keepRecentCheckbox = new QCheckBox(QStringLiteral("Keep the last 10 transcripts in the menu"));
    keepRecentCheckbox->setObjectName(QStringLiteral("keepRecent"));
    connect(keepRecentCheckbox, &QCheckBox::toggled, this, &SettingsWindow::keepRecentToggled);

    vocabularyEdit = new QPlainTextEdit;
    vocabularyEdit->setObjectName(QStringLiteral("vocabulary"));
    vocabularyEdit->setAccessibleName(QStringLiteral("Words Parlotta should know"));
    vocabularyEdit->setPlaceholderText(QStringLiteral("Words Parlotta should know"));
    vocabularyEdit->setTabChangesFocus(true);
    vocabularyEdit->setFixedSize(hintWidth, 64);
    vocabularyPause = new QTimer(this);
    vocabularyPause->setSingleShot(true);
    vocabularyPause->setInterval(700);
    connect(vocabularyEdit, &QPlainTextEdit::textChanged, vocabularyPause,
            qOverload<>(&QTimer::start));
    connect(vocabularyPause, &QTimer::timeout, this,
            [this] { Q_EMIT vocabularyEdited(vocabularyEdit->toPlainText()); });
    vocabularyHint = hint(QString());
    languageHint = hint(QString());
    languageHint->setObjectName(QStringLiteral("languageHint"));
    vocabularyHint->setObjectName(QStringLiteral("vocabularyHint"));

    serverPopup = new ChoiceBox;
    serverPopup->setObjectName(QStringLiteral("server"));
    serverPopup->addItems({QStringLiteral("This computer"), QStringLiteral("Another server")});
    connect(serverPopup, &QComboBox::activated, this,
            [this](int row) { Q_EMIT serverChosen(row == 1); });
    serverAddressEdit = new QLineEdit;
    serverAddressEdit->setObjectName(QStringLiteral("serverAddress"));
    serverAddressEdit->setPlaceholderText(QStringLiteral("https://gpu-box.lan:8443"));
    serverAddressEdit->setFixedWidth(hintWidth);
    connect(serverAddressEdit, &QLineEdit::editingFinished, this,
            [this] { Q_EMIT serverAddressEdited(serverAddressEdit->text().trimmed()); });
    serverHint = hint(QString());
    plainHttpCheckbox = new QCheckBox;
    plainHttpCheckbox->setObjectName(QStringLiteral("plainHttp"));
    connect(plainHttpCheckbox, &QCheckBox::toggled, this, &SettingsWindow::plainHttpToggled);
    serverModelEdit = new QLineEdit;
    serverModelEdit->setObjectName(QStringLiteral("serverModel"));
    serverModelEdit->setFixedWidth(hintWidth);
    connect(serverModelEdit, &QLineEdit::editingFinished, this,
            [this] { Q_EMIT serverModelEdited(serverModelEdit->text().trimmed()); });
    apiKeyEdit = new QLineEdit;
    apiKeyEdit->setObjectName(QStringLiteral("apiKey"));
    apiKeyEdit->setEchoMode(QLineEdit::Password);
    apiKeyEdit->setAccessibleName(QStringLiteral("API key")); // its label names the row
    apiKeyEdit->setAccessibleDescription(QStringLiteral("Type a key and press Enter to store it"));
    apiKeyEdit->setFixedWidth(hintWidth - 80);
    // The field never shows a stored key: typing one, then Enter or leaving the
    // field, replaces it.
    connect(apiKeyEdit, &QLineEdit::editingFinished, this, [this] {
        const QString key = apiKeyEdit->text().trimmed();
        apiKeyEdit->clear();
        if (!key.isEmpty())
            Q_EMIT apiKeyEntered(key);
    });
    removeKeyButton = smallButton(QStringLiteral("Remove"));
    removeKeyButton->setAccessibleName(QStringLiteral("Remove API key"));
    connect(removeKeyButton, &QPushButton::clicked, this, [this] { Q_EMIT apiKeyEntered({}); });
    apiKeyHint = hint(QString());

    auto *warning = new QLabel;
    warning->setPixmap(warningIcon().pixmap(16));
    warning->setAccessibleName(QStringLiteral("Warning"));
    QPushButton *grant = smallButton(QStringLiteral("Grant Accessibility Access\u2026"));
    connect(grant, &QPushButton::clicked, this, &SettingsWindow::grantClicked);
    refusalLabel = new QLabel;
    refusalLabel->setWordWrap(true);
    accessibilityRow = stack({warning, refusalLabel, grant}, 6);
    accessibilityRow->setObjectName(QStringLiteral("accessibility"));

    languagePopup = new ChoiceBox;
    languagePopup->setObjectName(QStringLiteral("language"));
    for (const LanguageEntry &entry : languages)
        languagePopup->addItem(entry.name);
    connect(languagePopup, &QComboBox::activated, this, &SettingsWindow::languageChosen);
    showLanguageCheckbox = new QCheckBox(QStringLiteral("Show language in menu bar"));
    showLanguageCheckbox->setObjectName(QStringLiteral("showLanguage"));
    // toggled, not clicked: assistive technology toggles a check box without a click.
    connect(showLanguageCheckbox, &QCheckBox::toggled, this, &SettingsWindow::showLanguageToggled);

    modelPopup = new ChoiceBox;
    modelPopup->setObjectName(QStringLiteral("model"));
    modelPopup->setMinimumWidth(260);
    connect(modelPopup, &QComboBox::activated, this, &SettingsWindow::modelChosen);
    modelHint = hint(QString());
    idleLimitPopup = new ChoiceBox;
    idleLimitPopup->setObjectName(QStringLiteral("idleLimit"));
    for (const int minutes : idleLimitChoices)
        idleLimitPopup->addItem(minutes == 0   ? QStringLiteral("Never")
                                : minutes == 1 ? QStringLiteral("After 1 minute idle")
                                : minutes == 60
                                    ? QStringLiteral("After 1 hour idle")
                                    : QStringLiteral("After %1 minutes idle").arg(minutes));
    connect(idleLimitPopup, &QComboBox::activated, this, &SettingsWindow::idleLimitChosen);
    downloadProgress = new QProgressBar;
    downloadProgress->setRange(0, 1000);
    downloadProgress->setFixedWidth(140);
    downloadProgress->setTextVisible(false);
    downloadProgress->setAccessibleName(QStringLiteral("Download progress"));
    downloadLabel = new QLabel;
    downloadLabel->setFont(smallFont(downloadLabel));
    downloadLabel->setForegroundRole(QPalette::PlaceholderText);
    QPushButton *cancel = smallButton(QStringLiteral("Cancel"));
    cancel->setAccessibleName(QStringLiteral("Cancel download"));
    connect(cancel, &QPushButton::clicked, this, &SettingsWindow::cancelDownloadClicked);
    downloadRow = stack({downloadProgress, downloadLabel, cancel}, 8);
    downloadRow->setObjectName(QStringLiteral("download"));

    directKeyboardCheckbox = new QCheckBox(QStringLiteral("Read the keyboard directly"));
    directKeyboardCheckbox->setObjectName(QStringLiteral("directKeyboard"));
    connect(directKeyboardCheckbox, &QCheckBox::toggled, this,
            &SettingsWindow::directKeyboardToggled);
    directKeyboardHint = hint(QString());
    directKeyboardHint->setTextInteractionFlags(Qt::TextSelectableByMouse);

    loginCheckbox = new QCheckBox(QStringLiteral("Open at login"));
    loginCheckbox->setObjectName(QStringLiteral("login"));
    connect(loginCheckbox, &QCheckBox::toggled, this, &SettingsWindow::openAtLoginToggled);

    // Labels and the controls they name are siblings in the grid: that is how
    // screen readers learn which label names which control.
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(24, 20, 24, 20);
    grid->setVerticalSpacing(6);
    grid->setHorizontalSpacing(8);
    grid->setSizeConstraint(QLayout::SetFixedSize); // not resizable; fits its rows
    const auto right = Qt::AlignRight | Qt::AlignVCenter;
    const auto left = Qt::AlignLeft | Qt::AlignVCenter;
    int row = 0;
    // Each label's first letter takes the keyboard to its control (Alt+L for the
    // language list), as keyboard users expect of a settings window.
    const auto section = [&](const QString &text, QWidget *control) {
        grid->addItem(new QSpacerItem(0, sectionPadding, QSizePolicy::Fixed, QSizePolicy::Fixed),
                      row++, 0);
        QLabel *name = label(QLatin1Char('&') + text);
        name->setBuddy(control);
        grid->addWidget(name, row, 0, right);
        grid->addWidget(control, row++, 1, left);
    };
    QLabel *hotkeyLabel = label(QStringLiteral("&Hotkey:"));
    hotkeyLabel->setBuddy(hotkeyButton);
    grid->addWidget(hotkeyLabel, row, 0, right);
    grid->addWidget(stack({hotkeyButton, clearHotkeyButton}, 6), row++, 1);
    // Its own label: a list box without one is read out as its current entry.
    QLabel *modeLabel = label(QStringLiteral("M&ode:"));
    modeLabel->setBuddy(hotkeyModePopup);
    grid->addWidget(modeLabel, row, 0, right);
    grid->addWidget(hotkeyModePopup, row++, 1, left);
    grid->addWidget(hotkeyHint, row++, 1, left);
    grid->addWidget(silenceRow, row++, 1);
    grid->addWidget(desktopHint, row++, 1);
    grid->addWidget(accessibilityRow, row++, 1);
    grid->addWidget(directKeyboardCheckbox, row++, 1, left);
    grid->addWidget(directKeyboardHint, row++, 1);
    section(QStringLiteral("Language:"), languagePopup);
    grid->addWidget(languageHint, row++, 1, left);
    grid->addWidget(showLanguageCheckbox, row++, 1, left);
    grid->addWidget(keepRecentCheckbox, row++, 1, left);
    grid->addItem(new QSpacerItem(0, sectionPadding, QSizePolicy::Fixed, QSizePolicy::Fixed), row++,
                  0);
    QLabel *microphoneLabel = label(QStringLiteral("M&icrophone:"));
    microphoneLabel->setBuddy(microphonePopup);
    grid->addWidget(microphoneLabel, row, 0, right);
    grid->addWidget(microphonePopup, row++, 1, left);
    grid->addWidget(inputLevel, row++, 1, left);
    section(QStringLiteral("Vocabulary:"), vocabularyEdit);
    grid->addWidget(vocabularyHint, row++, 1, left);
    section(QStringLiteral("Transcription:"), serverPopup);
    // A labelled row that shows and hides whole.
    const auto labelled = [&](const QString &text, QWidget *control,
                              QWidget *cell = nullptr) -> QList<QWidget *> {
        QLabel *name = label(text);
        name->setBuddy(control);
        grid->addWidget(name, row, 0, right);
        grid->addWidget(cell ? cell : control, row++, 1, left);
        return {name, cell ? cell : control};
    };
    remoteRows << labelled(QStringLiteral("A&ddress:"), serverAddressEdit) << serverHint
               << plainHttpCheckbox;
    grid->addWidget(serverHint, row++, 1, left);
    grid->addWidget(plainHttpCheckbox, row++, 1, left);
    serverModelRow = labelled(QStringLiteral("Model &name:"), serverModelEdit);
    remoteRows << labelled(QStringLiteral("API &key:"), apiKeyEdit,
                           stack({apiKeyEdit, removeKeyButton}, 6));
    grid->addWidget(apiKeyHint, row++, 1, left);
    section(QStringLiteral("Model:"), modelPopup);
    grid->addWidget(modelHint, row++, 1, left);
    grid->addWidget(downloadRow, row++, 1);
    idleLimitRow = labelled(QStringLiteral("&Free its memory:"), idleLimitPopup);
    section(QStringLiteral("Startup:"), loginCheckbox);
}

void SettingsWindow::showState(const SettingsState &state)
{
    // A key may be named "&" (the 1 key on AZERTY), which a button would take
    // for a mnemonic marker.
    hotkeyButton->setText(QString(state.hotkey.text).replace(u'&', QStringLiteral("&&")));
    clearHotkeyButton->setVisible(state.hotkey.clearable);
    hotkeyModePopup->setCurrentIndex(state.hotkey.modeRow);
    setHintText(hotkeyHint, state.hotkey.hint);
    silenceRow->setVisible(state.hotkey.modeRow != 0);
    accessibilityRow->setVisible(state.hotkey.accessibilityShown);
    refusalLabel->setText(state.hotkey.refusal.isEmpty()
                              ? QString()
                              : QStringLiteral("The desktop did not bind this hotkey: ") +
                                    state.hotkey.refusal);
    refusalLabel->setVisible(!state.hotkey.refusal.isEmpty());
    desktopHint->setText(state.hotkey.desktopSetup);
    desktopHint->setVisible(!state.hotkey.desktopSetup.isEmpty());
    languagePopup->setCurrentIndex(state.transcription.languageRow);
    {
        // Showing a state is not choosing it.
        const QSignalBlocker quietShow(showLanguageCheckbox);
        const QSignalBlocker quietLogin(loginCheckbox);
        const QSignalBlocker quietDirect(directKeyboardCheckbox);
        const QSignalBlocker quietRecent(keepRecentCheckbox);
        const QSignalBlocker quietSilence(silenceCheckbox);
        const QSignalBlocker quietSeconds(silenceSpin);
        keepRecentCheckbox->setChecked(state.general.keepRecent);
        silenceCheckbox->setChecked(state.hotkey.silenceSeconds > 0);
        if (state.hotkey.silenceSeconds > 0)
            silenceSpin->setValue(state.hotkey.silenceSeconds);
        silenceSpin->setEnabled(state.hotkey.silenceSeconds > 0);
        showLanguageCheckbox->setChecked(state.general.showLanguage);
        loginCheckbox->setChecked(state.general.openAtLogin);
        directKeyboardCheckbox->setChecked(state.hotkey.directKeyboard);
    }
    directKeyboardCheckbox->setVisible(state.hotkey.directKeyboardOffered);
    directKeyboardHint->setVisible(state.hotkey.directKeyboardOffered);
    setHintText(directKeyboardHint, state.hotkey.directKeyboardAbout);
    downloadRow->setVisible(state.transcription.downloading);
    // Typing in progress is not overwritten by what was stored before it.
    if (!vocabularyPause->isActive() &&
        vocabularyEdit->toPlainText() != state.transcription.vocabulary) {
        const QSignalBlocker quiet(vocabularyEdit);
        vocabularyEdit->setPlainText(state.transcription.vocabulary);
    }
    setHintText(vocabularyHint, state.transcription.vocabularyHint);
    setHintText(languageHint, state.transcription.languageHint);
    languageHint->setVisible(!state.transcription.languageHint.isEmpty());
    serverPopup->setCurrentIndex(state.transcription.remoteServer ? 1 : 0);
    for (QWidget *widget : std::as_const(remoteRows))
        widget->setVisible(state.transcription.remoteServer);
    if (!serverAddressEdit->hasFocus())
        serverAddressEdit->setText(state.transcription.serverAddress);
    setHintText(serverHint, state.transcription.serverHint);
    plainHttpCheckbox->setVisible(state.transcription.remoteServer &&
                                  !state.transcription.plainHttpConsent.isEmpty());
    plainHttpCheckbox->setText(state.transcription.plainHttpConsent);
    {
        const QSignalBlocker quiet(plainHttpCheckbox);
        plainHttpCheckbox->setChecked(state.transcription.plainHttpAccepted);
    }
    for (QWidget *widget : std::as_const(serverModelRow))
        widget->setVisible(state.transcription.remoteServer &&
                           state.transcription.serverModelShown);
    if (!serverModelEdit->hasFocus())
        serverModelEdit->setText(state.transcription.serverModel);
    apiKeyEdit->setPlaceholderText(state.transcription.apiKeyStored
                                       ? QStringLiteral("Stored; type to replace")
                                       : QStringLiteral("None"));
    removeKeyButton->setVisible(state.transcription.remoteServer &&
                                state.transcription.apiKeyStored);
    setHintText(apiKeyHint, state.transcription.apiKeyHint);
    apiKeyHint->setVisible(state.transcription.remoteServer &&
                           !state.transcription.apiKeyHint.isEmpty());
    // The model is the server's to choose while another one transcribes.
    modelPopup->setEnabled(!state.transcription.remoteServer);
    idleLimitPopup->setCurrentIndex(state.transcription.idleLimitRow);
    for (QWidget *widget : std::as_const(idleLimitRow))
        widget->setVisible(!state.transcription.remoteServer);
    adjustSize();
}

void SettingsWindow::setModels(const QList<ModelChoice> &models, int current)
{
    modelPopup->clear();
    for (const ModelChoice &model : models)
        modelPopup->addItem(model.title, model.name.isEmpty() ? QVariant() : model.name);
    modelPopup->setCurrentIndex(current);
}

void SettingsWindow::setMicrophones(const QList<AudioSource> &sources, const QString &current)
{
    microphonePopup->clear();
    microphonePopup->addItem(QStringLiteral("System default"), QString());
    for (const AudioSource &source : sources)
        microphonePopup->addItem(source.description.isEmpty() ? source.name : source.description,
                                 source.name);
    int row = microphonePopup->findData(current);
    if (row < 0) { // chosen once, unplugged now: recordings use the default meanwhile
        microphonePopup->addItem(QStringLiteral("%1 (not connected)").arg(current), current);
        row = microphonePopup->count() - 1;
    }
    microphonePopup->setCurrentIndex(row);
}

void SettingsWindow::setInputLevel(float dbfs)
{
    inputLevel->setValue(int(std::clamp(dbfs + 60.0f, 0.0f, 60.0f)));
}

QString SettingsWindow::selectedModel() const
{
    return modelPopup->currentData().toString();
}

void SettingsWindow::setModelHint(const QString &text)
{
    setHintText(modelHint, text);
}

void SettingsWindow::setDownloadProgress(int permille, const QString &text)
{
    if (permille >= 0)
        downloadProgress->setValue(permille);
    downloadLabel->setText(text);
}

void SettingsWindow::showDownloadFailure(const QString &message)
{
    if (!isVisible())
        return;
    auto *sheet = new QMessageBox(QMessageBox::Warning, QStringLiteral("Download Failed"),
                                  QStringLiteral("Download Failed"), QMessageBox::Ok, this);
    sheet->setInformativeText(message);
    usePlainText(*sheet);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->open();
}

void SettingsWindow::closeEvent(QCloseEvent *event)
{
    if (vocabularyPause->isActive()) {
        vocabularyPause->stop();
        Q_EMIT vocabularyEdited(vocabularyEdit->toPlainText());
    }
    Q_EMIT closing();
    QWidget::closeEvent(event);
}

} // namespace parlotta

#include "settings/settings_sections.h"

#include "core/languages.h"
#include "core/preferences.h"
#include "menubar/status_icon.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>

namespace parlotta {

namespace {

constexpr int groupPadding = 14; // above each group of rows
constexpr int hintWidth = 260;

QFont smallFont(const QWidget *widget)
{
    QFont font = widget->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    return font;
}

// A wrapping line of small, secondary text under a control.
QLabel *hint(const QString &text = {})
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
    explicit ChoiceBox(const QString &name)
    {
        setObjectName(name);
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

QCheckBox *checkbox(const QString &text, const QString &name)
{
    auto *box = new QCheckBox(text);
    box->setObjectName(name);
    return box;
}

QLineEdit *lineEdit(const QString &name, int width)
{
    auto *edit = new QLineEdit;
    edit->setObjectName(name);
    edit->setFixedWidth(width);
    return edit;
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

SectionView::SectionView()
    : grid(new QGridLayout(this))
{
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setVerticalSpacing(6);
    grid->setHorizontalSpacing(8);
    grid->setColumnStretch(1, 1); // a wider window widens the controls' column, not the labels'
}

int SectionView::labelWidth() const
{
    int width = 0;
    for (const QLabel *label : labels)
        width = std::max(width, label->sizeHint().width());
    return width;
}

void SectionView::setLabelWidth(int width)
{
    grid->setColumnMinimumWidth(0, width);
}

QList<QWidget *> SectionView::labelled(const QString &text, QWidget *control, QWidget *cell)
{
    // Each label's mnemonic takes the keyboard to its control (Alt+L for the
    // language list), as keyboard users expect of a settings window.
    auto *name = new QLabel(text);
    name->setBuddy(control);
    labels.append(name);
    grid->addWidget(name, row, 0, Qt::AlignRight | Qt::AlignVCenter);
    grid->addWidget(cell ? cell : control, row++, 1, Qt::AlignLeft | Qt::AlignVCenter);
    return {name, cell ? cell : control};
}

void SectionView::under(QWidget *widget, bool alignLeft)
{
    if (alignLeft)
        grid->addWidget(widget, row++, 1, Qt::AlignLeft | Qt::AlignVCenter);
    else
        grid->addWidget(widget, row++, 1);
}

void SectionView::gap()
{
    grid->addItem(new QSpacerItem(0, groupPadding, QSizePolicy::Fixed, QSizePolicy::Fixed), row++,
                  0);
}

HotkeyView::HotkeyView()
{
    hotkeyButton = new QPushButton;
    hotkeyButton->setObjectName(QStringLiteral("hotkey"));
    hotkeyButton->setMinimumWidth(160);
    connect(hotkeyButton, &QPushButton::clicked, this, &HotkeyView::hotkeyClicked);
    clearHotkeyButton = new QToolButton;
    clearHotkeyButton->setObjectName(QStringLiteral("clearHotkey"));
    clearHotkeyButton->setIcon(iconFromSvg(QStringLiteral(":/parlotta/icons/clear.svg")));
    clearHotkeyButton->setAutoRaise(true);
    clearHotkeyButton->setAccessibleName(QStringLiteral("Clear hotkey"));
    clearHotkeyButton->setToolTip(QStringLiteral("Clear hotkey"));
    connect(clearHotkeyButton, &QToolButton::clicked, this, &HotkeyView::clearHotkeyClicked);

    modePopup = new ChoiceBox(QStringLiteral("hotkeyMode"));
    modePopup->setAccessibleName(QStringLiteral("Hotkey mode"));
    modePopup->addItems({QStringLiteral("Hold to talk"),
                         QStringLiteral("Press to start, press again to stop"),
                         QStringLiteral("Both")});
    connect(modePopup, &QComboBox::activated, this, &HotkeyView::hotkeyModeChosen);
    hint = parlotta::hint();

    silenceCheckbox = checkbox(QStringLiteral("Stop after"), QStringLiteral("stopAfterSilence"));
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

    desktopHint = new QLabel;
    desktopHint->setWordWrap(true);
    desktopHint->setTextFormat(Qt::PlainText);
    desktopHint->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto *warning = new QLabel;
    warning->setPixmap(warningIcon().pixmap(16));
    warning->setAccessibleName(QStringLiteral("Warning"));
    QPushButton *grant = smallButton(QStringLiteral("Grant Accessibility Access\u2026"));
    connect(grant, &QPushButton::clicked, this, &HotkeyView::grantClicked);
    refusalLabel = new QLabel;
    refusalLabel->setWordWrap(true);
    accessibilityRow = stack({warning, refusalLabel, grant}, 6);
    accessibilityRow->setObjectName(QStringLiteral("accessibility"));

    directKeyboardCheckbox =
        checkbox(QStringLiteral("Read the keyboard directly"), QStringLiteral("directKeyboard"));
    connect(directKeyboardCheckbox, &QCheckBox::toggled, this, &HotkeyView::directKeyboardToggled);
    directKeyboardHint = parlotta::hint();
    directKeyboardHint->setTextInteractionFlags(Qt::TextSelectableByMouse);

    labelled(QStringLiteral("&Hotkey:"), hotkeyButton, stack({hotkeyButton, clearHotkeyButton}, 6));
    // Its own label: a list box without one is read out as its current entry.
    labelled(QStringLiteral("M&ode:"), modePopup);
    under(hint);
    under(silenceRow, false);
    under(desktopHint, false);
    under(accessibilityRow, false);
    under(directKeyboardCheckbox);
    under(directKeyboardHint, false);
}

void HotkeyView::showState(const HotkeySection &state)
{
    // A key may be named "&" (the 1 key on AZERTY), which a button would take
    // for a mnemonic marker.
    hotkeyButton->setText(QString(state.text).replace(u'&', QStringLiteral("&&")));
    clearHotkeyButton->setVisible(state.clearable);
    modePopup->setCurrentIndex(state.modeRow);
    setHintText(hint, state.hint);
    silenceRow->setVisible(state.modeRow != 0);
    accessibilityRow->setVisible(state.accessibilityShown);
    refusalLabel->setText(state.refusal.isEmpty()
                              ? QString()
                              : QStringLiteral("The desktop did not bind this hotkey: ") +
                                    state.refusal);
    refusalLabel->setVisible(!state.refusal.isEmpty());
    desktopHint->setText(state.desktopSetup);
    desktopHint->setVisible(!state.desktopSetup.isEmpty());
    {
        // Showing a state is not choosing it.
        const QSignalBlocker quietDirect(directKeyboardCheckbox);
        const QSignalBlocker quietSilence(silenceCheckbox);
        const QSignalBlocker quietSeconds(silenceSpin);
        silenceCheckbox->setChecked(state.silenceSeconds > 0);
        if (state.silenceSeconds > 0)
            silenceSpin->setValue(state.silenceSeconds);
        silenceSpin->setEnabled(state.silenceSeconds > 0);
        directKeyboardCheckbox->setChecked(state.directKeyboard);
    }
    directKeyboardCheckbox->setVisible(state.directKeyboardOffered);
    directKeyboardHint->setVisible(state.directKeyboardOffered);
    setHintText(directKeyboardHint, state.directKeyboardAbout);
}

LanguageView::LanguageView()
{
    languagePopup = new ChoiceBox(QStringLiteral("language"));
    for (const LanguageEntry &entry : languages)
        languagePopup->addItem(entry.name);
    connect(languagePopup, &QComboBox::activated, this, &LanguageView::languageChosen);
    languageHint = hint();
    languageHint->setObjectName(QStringLiteral("languageHint"));
    showLanguageCheckbox =
        checkbox(QStringLiteral("Show language in menu bar"), QStringLiteral("showLanguage"));
    // toggled, not clicked: assistive technology toggles a check box without a click.
    connect(showLanguageCheckbox, &QCheckBox::toggled, this, &LanguageView::showLanguageToggled);
    keepRecentCheckbox = checkbox(QStringLiteral("Keep the last 10 transcripts in the menu"),
                                  QStringLiteral("keepRecent"));
    connect(keepRecentCheckbox, &QCheckBox::toggled, this, &LanguageView::keepRecentToggled);

    labelled(QStringLiteral("&Language:"), languagePopup);
    under(languageHint);
    under(showLanguageCheckbox);
    under(keepRecentCheckbox);
}

void LanguageView::showState(const LanguageSection &state)
{
    languagePopup->setCurrentIndex(state.languageRow);
    setHintText(languageHint, state.languageHint);
    languageHint->setVisible(!state.languageHint.isEmpty());
    const QSignalBlocker quietShow(showLanguageCheckbox);
    const QSignalBlocker quietRecent(keepRecentCheckbox);
    showLanguageCheckbox->setChecked(state.showLanguage);
    keepRecentCheckbox->setChecked(state.keepRecent);
}

MicrophoneView::MicrophoneView()
{
    microphonePopup = new ChoiceBox(QStringLiteral("microphone"));
    microphonePopup->setMinimumWidth(260);
    connect(microphonePopup, &QComboBox::activated, this,
            [this] { Q_EMIT microphoneChosen(microphonePopup->currentData().toString()); });
    inputLevel = new QProgressBar;
    inputLevel->setObjectName(QStringLiteral("microphoneLevel"));
    inputLevel->setRange(0, 60); // -60 dBFS to full scale
    inputLevel->setFixedSize(260, 8);
    inputLevel->setTextVisible(false);
    inputLevel->setAccessibleName(QStringLiteral("Input level"));

    labelled(QStringLiteral("M&icrophone:"), microphonePopup);
    under(inputLevel);
}

void MicrophoneView::showState(const MicrophoneSection &state)
{
    microphonePopup->clear();
    for (const MicrophoneEntry &entry : state.entries)
        microphonePopup->addItem(entry.title, entry.source);
    microphonePopup->setCurrentIndex(state.current);
}

void MicrophoneView::setInputLevel(float dbfs)
{
    inputLevel->setValue(int(std::clamp(dbfs + 60.0f, 0.0f, 60.0f)));
}

TranscriptionView::TranscriptionView()
{
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
    vocabularyHint = hint();
    vocabularyHint->setObjectName(QStringLiteral("vocabularyHint"));

    serverPopup = new ChoiceBox(QStringLiteral("server"));
    serverPopup->addItems({QStringLiteral("This computer"), QStringLiteral("Another server")});
    connect(serverPopup, &QComboBox::activated, this,
            [this](int row) { Q_EMIT serverChosen(row == 1); });
    serverAddressEdit = lineEdit(QStringLiteral("serverAddress"), hintWidth);
    serverAddressEdit->setPlaceholderText(QStringLiteral("https://gpu-box.lan:8443"));
    connect(serverAddressEdit, &QLineEdit::editingFinished, this,
            [this] { Q_EMIT serverAddressEdited(serverAddressEdit->text().trimmed()); });
    serverHint = hint();
    plainHttpCheckbox = checkbox({}, QStringLiteral("plainHttp"));
    connect(plainHttpCheckbox, &QCheckBox::toggled, this, &TranscriptionView::plainHttpToggled);
    serverModelEdit = lineEdit(QStringLiteral("serverModel"), hintWidth);
    connect(serverModelEdit, &QLineEdit::editingFinished, this,
            [this] { Q_EMIT serverModelEdited(serverModelEdit->text().trimmed()); });
    apiKeyEdit = lineEdit(QStringLiteral("apiKey"), hintWidth - 80);
    apiKeyEdit->setEchoMode(QLineEdit::Password);
    apiKeyEdit->setAccessibleName(QStringLiteral("API key")); // its label names the row
    apiKeyEdit->setAccessibleDescription(QStringLiteral("Type a key and press Enter to store it"));
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
    apiKeyHint = hint();

    modelPopup = new ChoiceBox(QStringLiteral("model"));
    modelPopup->setMinimumWidth(260);
    connect(modelPopup, &QComboBox::activated, this, &TranscriptionView::modelChosen);
    modelHint = hint();
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
    connect(cancel, &QPushButton::clicked, this, &TranscriptionView::cancelDownloadClicked);
    downloadRow = stack({downloadProgress, downloadLabel, cancel}, 8);
    downloadRow->setObjectName(QStringLiteral("download"));
    idleLimitPopup = new ChoiceBox(QStringLiteral("idleLimit"));
    for (const int minutes : idleLimitChoices)
        idleLimitPopup->addItem(minutes == 0   ? QStringLiteral("Never")
                                : minutes == 1 ? QStringLiteral("After 1 minute idle")
                                : minutes == 60
                                    ? QStringLiteral("After 1 hour idle")
                                    : QStringLiteral("After %1 minutes idle").arg(minutes));
    connect(idleLimitPopup, &QComboBox::activated, this, &TranscriptionView::idleLimitChosen);

    labelled(QStringLiteral("&Vocabulary:"), vocabularyEdit);
    under(vocabularyHint);
    gap();
    labelled(QStringLiteral("&Transcription:"), serverPopup);
    remoteRows << labelled(QStringLiteral("A&ddress:"), serverAddressEdit) << serverHint
               << plainHttpCheckbox;
    under(serverHint);
    under(plainHttpCheckbox);
    serverModelRow = labelled(QStringLiteral("Model &name:"), serverModelEdit);
    remoteRows << labelled(QStringLiteral("API &key:"), apiKeyEdit,
                           stack({apiKeyEdit, removeKeyButton}, 6));
    under(apiKeyHint);
    gap();
    labelled(QStringLiteral("&Model:"), modelPopup);
    under(modelHint);
    under(downloadRow, false);
    idleLimitRow = labelled(QStringLiteral("&Free its memory:"), idleLimitPopup);
}

void TranscriptionView::showState(const TranscriptionSection &state)
{
    downloadRow->setVisible(state.downloading);
    // Typing in progress is not overwritten by what was stored before it.
    if (!vocabularyPause->isActive() && vocabularyEdit->toPlainText() != state.vocabulary) {
        const QSignalBlocker quiet(vocabularyEdit);
        vocabularyEdit->setPlainText(state.vocabulary);
    }
    setHintText(vocabularyHint, state.vocabularyHint);
    serverPopup->setCurrentIndex(state.remoteServer ? 1 : 0);
    for (QWidget *widget : std::as_const(remoteRows))
        widget->setVisible(state.remoteServer);
    if (!serverAddressEdit->hasFocus())
        serverAddressEdit->setText(state.serverAddress);
    setHintText(serverHint, state.serverHint);
    plainHttpCheckbox->setVisible(state.remoteServer && !state.plainHttpConsent.isEmpty());
    plainHttpCheckbox->setText(state.plainHttpConsent);
    {
        const QSignalBlocker quiet(plainHttpCheckbox);
        plainHttpCheckbox->setChecked(state.plainHttpAccepted);
    }
    for (QWidget *widget : std::as_const(serverModelRow))
        widget->setVisible(state.remoteServer && state.serverModelShown);
    if (!serverModelEdit->hasFocus())
        serverModelEdit->setText(state.serverModel);
    apiKeyEdit->setPlaceholderText(state.apiKeyStored ? QStringLiteral("Stored; type to replace")
                                                      : QStringLiteral("None"));
    removeKeyButton->setVisible(state.remoteServer && state.apiKeyStored);
    setHintText(apiKeyHint, state.apiKeyHint);
    apiKeyHint->setVisible(state.remoteServer && !state.apiKeyHint.isEmpty());
    // The model is the server's to choose while another one transcribes.
    modelPopup->setEnabled(!state.remoteServer);
    idleLimitPopup->setCurrentIndex(state.idleLimitRow);
    for (QWidget *widget : std::as_const(idleLimitRow))
        widget->setVisible(!state.remoteServer);
}

void TranscriptionView::setModels(const QList<ModelChoice> &models, int current)
{
    modelPopup->clear();
    for (const ModelChoice &model : models)
        modelPopup->addItem(model.title, model.name.isEmpty() ? QVariant() : model.name);
    modelPopup->setCurrentIndex(current);
}

QString TranscriptionView::selectedModel() const
{
    return modelPopup->currentData().toString();
}

void TranscriptionView::setModelHint(const QString &text)
{
    setHintText(modelHint, text);
}

void TranscriptionView::setDownloadProgress(int permille, const QString &text)
{
    if (permille >= 0)
        downloadProgress->setValue(permille);
    downloadLabel->setText(text);
}

void TranscriptionView::finishVocabulary()
{
    if (vocabularyPause->isActive()) {
        vocabularyPause->stop();
        Q_EMIT vocabularyEdited(vocabularyEdit->toPlainText());
    }
}

TextView::TextView()
{
    fillersCheckbox =
        checkbox(QStringLiteral("Remove filler words (um, uh)"), QStringLiteral("removeFillers"));
    connect(fillersCheckbox, &QCheckBox::toggled, this, &TextView::fillersToggled);
    lineCommandsCheckbox = checkbox(QStringLiteral("Say \u201cnew line\u201d or \u201cnew "
                                                   "paragraph\u201d for a line break"),
                                    QStringLiteral("lineCommands"));
    connect(lineCommandsCheckbox, &QCheckBox::toggled, this, &TextView::lineCommandsToggled);
    punctuationCheckbox = checkbox(QStringLiteral("Say punctuation (\u201ccomma\u201d, "
                                                  "\u201cperiod\u201d, \u2026)"),
                                   QStringLiteral("spokenPunctuation"));
    connect(punctuationCheckbox, &QCheckBox::toggled, this, &TextView::punctuationToggled);
    commandsHint = hint();

    replacementTable = new QTableWidget(0, 2);
    replacementTable->setObjectName(QStringLiteral("replacements"));
    replacementTable->setAccessibleName(QStringLiteral("Replacements"));
    replacementTable->setHorizontalHeaderLabels(
        {QStringLiteral("When I say"), QStringLiteral("Type")});
    replacementTable->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    replacementTable->verticalHeader()->hide();
    replacementTable->setFixedSize(hintWidth, 110);
    replacementTable->setTabKeyNavigation(
        false); // Tab leaves the table, as in the rest of the window
    connect(replacementTable, &QTableWidget::itemChanged, this, &TextView::replacementsChanged);
    QPushButton *addReplacement = smallButton(QStringLiteral("Add"));
    addReplacement->setAccessibleName(QStringLiteral("Add replacement"));
    connect(addReplacement, &QPushButton::clicked, this, [this] {
        const int row = replacementTable->rowCount();
        replacementTable->insertRow(row);
        replacementTable->setCurrentCell(row, 0);
        replacementTable->editItem(replacementTable->item(row, 0));
        replacementTable->setFocus();
    });
    QPushButton *removeReplacement = smallButton(QStringLiteral("Remove"));
    removeReplacement->setAccessibleName(QStringLiteral("Remove replacement"));
    connect(removeReplacement, &QPushButton::clicked, this, [this] {
        if (replacementTable->currentRow() < 0)
            return;
        replacementTable->removeRow(replacementTable->currentRow());
        replacementsChanged();
    });

    ruleApplication = new ChoiceBox(QStringLiteral("ruleApplication"));
    ruleApplication->setEditable(true);
    ruleApplication->setAccessibleName(QStringLiteral("Application"));
    ruleApplication->lineEdit()->setPlaceholderText(QStringLiteral("Application"));
    ruleApplication->setMinimumWidth(160);
    QPushButton *addRule = smallButton(QStringLiteral("Add Rule"));
    addRule->setAccessibleName(QStringLiteral("Add rule"));
    connect(addRule, &QPushButton::clicked, this, [this] {
        const QString application = ruleApplication->currentText().trimmed();
        if (application.isEmpty() || ruleFor(rules, application))
            return;
        rules.append({application});
        ruleApplication->setCurrentText({});
        // Selected at once, for its settings; the stored list follows.
        ruleList->addItem(application);
        ruleList->setCurrentRow(ruleList->count() - 1);
        Q_EMIT rulesEdited(rules);
    });
    ruleList = new QListWidget;
    ruleList->setObjectName(QStringLiteral("rules"));
    ruleList->setAccessibleName(QStringLiteral("Application rules"));
    ruleList->setFixedSize(hintWidth, 64);
    connect(ruleList, &QListWidget::currentRowChanged, this, &TextView::showRule);
    pastePopup = new ChoiceBox(QStringLiteral("rulePaste"));
    pastePopup->setAccessibleName(QStringLiteral("Paste with"));
    pastePopup->addItems({QStringLiteral("Automatic"), QStringLiteral("Ctrl+V"),
                          QStringLiteral("Ctrl+Shift+V"), QStringLiteral("Shift+Insert")});
    connect(pastePopup, &QComboBox::activated, this, &TextView::ruleChanged);
    enterCheckbox =
        checkbox(QStringLiteral("Press Enter after the paste"), QStringLiteral("ruleEnter"));
    ruleReplacementsCheckbox =
        checkbox(QStringLiteral("Use the replacements"), QStringLiteral("ruleReplacements"));
    ruleCommandsCheckbox =
        checkbox(QStringLiteral("Use spoken commands"), QStringLiteral("ruleCommands"));
    lineBreaksCheckbox = checkbox(QStringLiteral("Type line breaks (in a terminal they run "
                                                 "the command)"),
                                  QStringLiteral("ruleLineBreaks"));
    for (QCheckBox *box :
         {enterCheckbox, ruleReplacementsCheckbox, ruleCommandsCheckbox, lineBreaksCheckbox})
        connect(box, &QCheckBox::toggled, this, &TextView::ruleChanged);
    QPushButton *removeRule = smallButton(QStringLiteral("Remove Rule"));
    removeRule->setAccessibleName(QStringLiteral("Remove rule"));
    connect(removeRule, &QPushButton::clicked, this, [this] {
        const int row = ruleList->currentRow();
        if (row < 0 || row >= rules.size())
            return;
        rules.removeAt(row);
        Q_EMIT rulesEdited(rules);
    });
    ruleEditor = new QWidget;
    auto *editor = new QVBoxLayout(ruleEditor);
    editor->setContentsMargins(0, 0, 0, 0);
    editor->setSpacing(4);
    auto *pasteLabel = new QLabel(QStringLiteral("Paste &with:"));
    pasteLabel->setBuddy(pastePopup);
    editor->addWidget(stack({pasteLabel, pastePopup}, 6));
    for (QWidget *widget :
         {static_cast<QWidget *>(enterCheckbox), static_cast<QWidget *>(ruleReplacementsCheckbox),
          static_cast<QWidget *>(ruleCommandsCheckbox), static_cast<QWidget *>(lineBreaksCheckbox),
          static_cast<QWidget *>(removeRule)})
        editor->addWidget(widget, 0, Qt::AlignLeft);

    labelled(QStringLiteral("Te&xt:"), fillersCheckbox);
    under(lineCommandsCheckbox);
    under(punctuationCheckbox);
    under(commandsHint);
    labelled(QStringLiteral("&Replacements:"), replacementTable);
    under(stack({addReplacement, removeReplacement}, 6));
    labelled(QStringLiteral("A&pplications:"), ruleApplication,
             stack({ruleApplication, addRule}, 6));
    under(ruleList);
    under(ruleEditor, false);
}

void TextView::showState(const TextSection &state)
{
    {
        const QSignalBlocker quietFillers(fillersCheckbox);
        const QSignalBlocker quietLines(lineCommandsCheckbox);
        const QSignalBlocker quietPunctuation(punctuationCheckbox);
        fillersCheckbox->setChecked(state.settings.removeFillers);
        lineCommandsCheckbox->setChecked(state.settings.lineCommands);
        punctuationCheckbox->setChecked(state.settings.spokenPunctuation);
    }
    setHintText(commandsHint, state.commandsHint);
    // A row being typed is not overwritten by what was stored before it.
    if (tableReplacements() != state.settings.replacements && !replacementTable->hasFocus()) {
        const QSignalBlocker quiet(replacementTable);
        replacementTable->setRowCount(int(state.settings.replacements.size()));
        for (int row = 0; row < replacementTable->rowCount(); ++row) {
            replacementTable->setItem(
                row, 0, new QTableWidgetItem(state.settings.replacements[row].spoken));
            replacementTable->setItem(row, 1,
                                      new QTableWidgetItem(state.settings.replacements[row].typed));
        }
    }
    const QString typing = ruleApplication->currentText();
    {
        const QSignalBlocker quiet(ruleApplication);
        ruleApplication->clear();
        ruleApplication->addItems(state.offered);
        ruleApplication->setCurrentText(typing);
    }
    rules = state.settings.rules;
    // The rule selected stays selected, by its application.
    const QString selected = ruleList->currentItem() ? ruleList->currentItem()->text() : QString();
    {
        const QSignalBlocker quiet(ruleList);
        ruleList->clear();
        for (const ApplicationRule &rule : std::as_const(rules)) {
            ruleList->addItem(rule.application);
            if (rule.application == selected)
                ruleList->setCurrentRow(ruleList->count() - 1);
        }
    }
    showRule();
}

QList<Replacement> TextView::tableReplacements() const
{
    QList<Replacement> replacements;
    for (int row = 0; row < replacementTable->rowCount(); ++row) {
        const QTableWidgetItem *spoken = replacementTable->item(row, 0);
        const QTableWidgetItem *typed = replacementTable->item(row, 1);
        if (spoken && !spoken->text().trimmed().isEmpty())
            replacements.append({spoken->text().trimmed(), typed ? typed->text() : QString()});
    }
    return replacements;
}

void TextView::replacementsChanged()
{
    Q_EMIT replacementsEdited(tableReplacements());
}

void TextView::showRule()
{
    const int row = ruleList->currentRow();
    ruleEditor->setVisible(row >= 0 && row < rules.size());
    if (!ruleEditor->isVisibleTo(this))
        return;
    const ApplicationRule &rule = rules[row];
    const QSignalBlocker quietEnter(enterCheckbox);
    const QSignalBlocker quietReplacements(ruleReplacementsCheckbox);
    const QSignalBlocker quietCommands(ruleCommandsCheckbox);
    const QSignalBlocker quietBreaks(lineBreaksCheckbox);
    pastePopup->setCurrentIndex(int(rule.paste));
    enterCheckbox->setChecked(rule.pressEnter);
    ruleReplacementsCheckbox->setChecked(rule.replacements);
    ruleCommandsCheckbox->setChecked(rule.commands);
    lineBreaksCheckbox->setChecked(rule.lineBreaks);
}

void TextView::ruleChanged()
{
    const int row = ruleList->currentRow();
    if (row < 0 || row >= rules.size())
        return;
    ApplicationRule &rule = rules[row];
    rule.paste = PasteKey(pastePopup->currentIndex());
    rule.pressEnter = enterCheckbox->isChecked();
    rule.replacements = ruleReplacementsCheckbox->isChecked();
    rule.commands = ruleCommandsCheckbox->isChecked();
    rule.lineBreaks = lineBreaksCheckbox->isChecked();
    Q_EMIT rulesEdited(rules);
}

StartupView::StartupView()
{
    loginCheckbox = checkbox(QStringLiteral("Open at login"), QStringLiteral("login"));
    connect(loginCheckbox, &QCheckBox::toggled, this, &StartupView::openAtLoginToggled);
    labelled(QStringLiteral("&Startup:"), loginCheckbox);
}

void StartupView::showState(const StartupSection &state)
{
    const QSignalBlocker quiet(loginCheckbox);
    loginCheckbox->setChecked(state.openAtLogin);
}

} // namespace parlotta

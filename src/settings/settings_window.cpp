#include "settings/settings_window.h"

#include "core/languages.h"
#include "menubar/status_icon.h"
#include "settings/settings_controller.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
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

SettingsWindow::SettingsWindow(SettingsController *controller)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint)
    , controller(controller)
{
    setWindowTitle(QStringLiteral("Settings"));
    SettingsController &c = *controller;

    c.hotkeyButton = new QPushButton;
    c.hotkeyButton->setMinimumWidth(160);
    connect(c.hotkeyButton, &QPushButton::clicked, &c, &SettingsController::hotkeyButtonClicked);
    c.desktopHint = new QLabel;
    c.desktopHint->setWordWrap(true);
    c.desktopHint->setTextFormat(Qt::PlainText);
    c.desktopHint->setTextInteractionFlags(Qt::TextSelectableByMouse);
    c.clearHotkeyButton = new QToolButton;
    c.clearHotkeyButton->setIcon(iconFromSvg(QStringLiteral(":/parlotta/icons/clear.svg")));
    c.clearHotkeyButton->setAutoRaise(true);
    c.clearHotkeyButton->setAccessibleName(QStringLiteral("Clear hotkey"));
    c.clearHotkeyButton->setToolTip(QStringLiteral("Clear hotkey"));
    connect(c.clearHotkeyButton, &QToolButton::clicked, &c, &SettingsController::clearHotkey);

    auto *warning = new QLabel;
    warning->setPixmap(warningIcon().pixmap(16));
    warning->setAccessibleName(QStringLiteral("Warning"));
    QPushButton *grant = smallButton(QStringLiteral("Grant Accessibility Access\u2026"));
    connect(grant, &QPushButton::clicked, &c, &SettingsController::grantAccessibility);
    c.hotkeyRefusalLabel = new QLabel;
    c.hotkeyRefusalLabel->setWordWrap(true);
    c.accessibilityRow = stack({warning, c.hotkeyRefusalLabel, grant}, 6);

    c.languagePopup = new ChoiceBox;
    for (const LanguageEntry &entry : languages)
        c.languagePopup->addItem(entry.name);
    connect(c.languagePopup, &QComboBox::activated, &c, &SettingsController::languageChanged);
    c.showLanguageCheckbox = new QCheckBox(QStringLiteral("Show language in menu bar"));
    // toggled, not clicked: assistive technology toggles a check box without a click.
    connect(c.showLanguageCheckbox, &QCheckBox::toggled, &c,
            &SettingsController::showLanguageChanged);

    c.modelPopup = new ChoiceBox;
    c.modelPopup->setMinimumWidth(260);
    connect(c.modelPopup, &QComboBox::activated, &c, &SettingsController::modelChanged);
    c.modelHint = hint(QString());
    c.downloadProgress = new QProgressBar;
    c.downloadProgress->setRange(0, 1000);
    c.downloadProgress->setFixedWidth(140);
    c.downloadProgress->setTextVisible(false);
    c.downloadProgress->setAccessibleName(QStringLiteral("Download progress"));
    c.downloadLabel = new QLabel;
    c.downloadLabel->setFont(smallFont(c.downloadLabel));
    c.downloadLabel->setForegroundRole(QPalette::PlaceholderText);
    QPushButton *cancel = smallButton(QStringLiteral("Cancel"));
    cancel->setAccessibleName(QStringLiteral("Cancel download"));
    c.cancelButton = cancel;
    connect(cancel, &QPushButton::clicked, &c.catalogue, &ModelCatalogue::cancelDownload);
    c.downloadRow = stack({c.downloadProgress, c.downloadLabel, cancel}, 8);
    c.rebuildModelPopup();

    c.directKeyboardCheckbox = new QCheckBox(QStringLiteral("Read the keyboard directly"));
    connect(c.directKeyboardCheckbox, &QCheckBox::toggled, &c,
            &SettingsController::directKeyboardChanged);
    c.directKeyboardHint = hint(QString());
    c.directKeyboardHint->setWordWrap(true);
    c.directKeyboardHint->setTextInteractionFlags(Qt::TextSelectableByMouse);

    c.loginCheckbox = new QCheckBox(QStringLiteral("Open at login"));
    connect(c.loginCheckbox, &QCheckBox::toggled, &c, &SettingsController::loginChanged);

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
    hotkeyLabel->setBuddy(c.hotkeyButton);
    grid->addWidget(hotkeyLabel, row, 0, right);
    grid->addWidget(stack({c.hotkeyButton, c.clearHotkeyButton}, 6), row++, 1);
    grid->addWidget(hint(QStringLiteral("Hold to record, release to transcribe and paste.")), row++,
                    1, left);
    grid->addWidget(c.desktopHint, row++, 1);
    grid->addWidget(c.accessibilityRow, row++, 1);
    grid->addWidget(c.directKeyboardCheckbox, row++, 1, left);
    grid->addWidget(c.directKeyboardHint, row++, 1);
    section(QStringLiteral("Language:"), c.languagePopup);
    grid->addWidget(c.showLanguageCheckbox, row++, 1, left);
    section(QStringLiteral("Model:"), c.modelPopup);
    grid->addWidget(c.modelHint, row++, 1, left);
    grid->addWidget(c.downloadRow, row++, 1);
    section(QStringLiteral("Startup:"), c.loginCheckbox);
}

void SettingsWindow::closeEvent(QCloseEvent *event)
{
    controller->windowWillClose();
    QWidget::closeEvent(event);
}

} // namespace parlotta

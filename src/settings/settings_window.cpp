#include "settings/settings_window.h"

#include "menubar/plain_text.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace parlotta {

namespace {
constexpr int sectionSpacing = 20; // the rows' 6 and a padding of 14
}

SettingsWindow::SettingsWindow()
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowCloseButtonHint)
    , hotkey(new HotkeyView)
    , language(new LanguageView)
    , microphone(new MicrophoneView)
    , transcription(new TranscriptionView)
    , text(new TextView)
    , startup(new StartupView)
{
    setWindowTitle(QStringLiteral("Settings"));
    // Two pages: the daemon's settings, and what gets typed (its lists would
    // make one page taller than a laptop's screen).
    const auto page = [](const QList<SectionView *> &sections) {
        auto *page = new QWidget;
        auto *layout = new QVBoxLayout(page);
        layout->setContentsMargins(24, 20, 24, 20);
        layout->setSpacing(sectionSpacing);
        int labels = 0;
        for (SectionView *section : sections) {
            layout->addWidget(section);
            labels = std::max(labels, section->labelWidth());
        }
        layout->addStretch();
        // One column of labels, flush right, down the whole page.
        for (SectionView *section : sections)
            section->setLabelWidth(labels);
        return page;
    };
    auto *tabs = new QTabWidget;
    tabs->setObjectName(QStringLiteral("pages"));
    tabs->setDocumentMode(true);
    tabs->addTab(page({hotkey, language, microphone, transcription, startup}),
                 QStringLiteral("General"));
    tabs->addTab(page({text}), QStringLiteral("Text"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 6, 0, 0);
    layout->addWidget(tabs);
    layout->setSizeConstraint(QLayout::SetFixedSize); // not resizable; fits its rows
}

void SettingsWindow::showState(const SettingsState &state)
{
    hotkey->showState(state.hotkey);
    language->showState(state.language);
    transcription->showState(state.transcription);
    text->showState(state.text);
    startup->showState(state.startup);
    adjustSize();
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
    transcription->finishVocabulary();
    Q_EMIT closing();
    QWidget::closeEvent(event);
}

} // namespace parlotta

#include "settings/settings_window.h"

#include "menubar/plain_text.h"

#include <QCloseEvent>
#include <QMessageBox>
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
    , startup(new StartupView)
{
    setWindowTitle(QStringLiteral("Settings"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(sectionSpacing);
    layout->setSizeConstraint(QLayout::SetFixedSize); // not resizable; fits its rows
    const QList<SectionView *> sections = {hotkey, language, microphone, transcription, startup};
    int labels = 0;
    for (SectionView *section : sections) {
        layout->addWidget(section);
        labels = std::max(labels, section->labelWidth());
    }
    // One column of labels, flush right, down the whole window.
    for (SectionView *section : sections)
        section->setLabelWidth(labels);
}

void SettingsWindow::showState(const SettingsState &state)
{
    hotkey->showState(state.hotkey);
    language->showState(state.language);
    transcription->showState(state.transcription);
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

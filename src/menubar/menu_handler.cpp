#include "menubar/menu_handler.h"

#include "core/daemon.h"
#include "core/deployment.h"
#include "core/events.h"
#include "core/languages.h"
#include "core/log.h"
#include "core/preferences.h"
#include "dictation/paste.h"
#include "dictation/recording.h"
#include "dictation/stop_path.h"
#include "dictation/transcription_target.h"
#include "hotkey/event_tap.h"
#include "hotkey/hotkey_model.h"
#include "menubar/about_dialog.h"
#include "menubar/status_icon.h"
#include "models/model_store.h"
#include "platform/windowing.h"
#include "server/server.h"
#include "update/installer.h"

#include <QAction>
#include <QCursor>
#include <QDesktopServices>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QUrl>

namespace parlotta {

MenuHandler *menuHandler = nullptr;

namespace {
constexpr qsizetype toolTipCodeLength = 16;
} // namespace

MenuHandler::MenuHandler(UpdateChecker &updates)
    : statusItem(new QSystemTrayIcon(this))
    , updates(updates)
    , recordingClock(new QTimer(this))
{
    recordingClock->setInterval(1000);
    connect(recordingClock, &QTimer::timeout, this, &MenuHandler::showState);
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        log(QStringLiteral("No system tray found: the tray icon appears when one starts; the "
                           "hotkey and the signals work meanwhile"));
    // A left click opens the menu too: a tray item that does nothing on the
    // usual click looks broken.
    connect(statusItem, &QSystemTrayIcon::activated, this, [this](auto reason) {
        if (reason == QSystemTrayIcon::Trigger && menu)
            menu->popup(QCursor::pos());
    });
    connect(&updates, &UpdateChecker::stateChanged, this, &MenuHandler::rebuildMenu);
    connect(
        &updates, &UpdateChecker::offerUpdate, this,
        [this](const QString &remote, const QString &local) { showUpdateAlert(remote, local); });
    connect(&updates, &UpdateChecker::message, this, &MenuHandler::showUpdateMessage);
    rebuildMenu();
    statusItem->show();
    // Drawn now, not at the first press: drawing one takes milliseconds.
    statusIcon({}, false, TrayState::Recording);
    statusIcon({}, false, TrayState::Transcribing);
}

namespace {
bool hotkeyNeedsAttention()
{
    return selectedHotkey() != hotkeyNone && (!eventTapActive || !hotkeyRefusal().isEmpty());
}
} // namespace

void MenuHandler::showState()
{
    const QString code = selectedLanguageCode();
    const bool showCode = showLanguageCodeEnabled();
    const QList<double> waiting = transcriptionsPending();
    const bool failed = !transcriptionFailure().isEmpty();
    const bool hotkeyAttention = hotkeyNeedsAttention();
    TrayState state = hotkeyAttention || failed ? TrayState::Warning : TrayState::Idle;
    QString tip;
    if (isRecording()) {
        state = TrayState::Recording;
        tip = QStringLiteral("Recording \u2013 %1 s").arg(qint64(recordingSeconds()));
    } else if (!waiting.isEmpty()) {
        state = TrayState::Transcribing;
        // After an idle unload the recording waits for the model first.
        tip = (localServerLoading() ? QStringLiteral("Loading the model, then transcribing %1 s "
                                                     "of speech\u2026")
                                    : QStringLiteral("Transcribing %1 s of speech\u2026"))
                  .arg(qRound(waiting.first()));
        if (waiting.size() > 1)
            tip += QStringLiteral(" (%1 more waiting)").arg(waiting.size() - 1);
    } else {
        // The code in full, unlike the icon, but not a hand-edited page of it.
        const QString shown =
            code.size() > toolTipCodeLength ? code.left(toolTipCodeLength) + QChar(0x2026) : code;
        tip = showCode && !shown.isEmpty() ? QStringLiteral("Parlotta \u00b7 ") + shown
                                           : QStringLiteral("Parlotta");
        if (hotkeyAttention)
            tip += QStringLiteral(" \u2013 the hotkey does not reach Parlotta, see the menu");
        else if (failed)
            tip += QStringLiteral(" \u2013 the last transcription failed, see the menu");
    }
    if (state == TrayState::Recording) {
        if (!recordingClock->isActive())
            recordingClock->start();
    } else {
        recordingClock->stop();
    }
    // The panel is told only of what changed: each change is a round of D-Bus.
    const QString now = QString::number(int(state)) + code + QString::number(showCode);
    if (now != shownState) {
        shownState = now;
        statusItem->setIcon(statusIcon(code, showCode, state));
    }
    if (tip != statusItem->toolTip())
        statusItem->setToolTip(tip);
}

void MenuHandler::rebuildMenu()
{
    showState();
    const QString code = selectedLanguageCode();
    // A Parakeet model finds the language itself, among those it knows.
    const std::optional<QString> parakeet =
        chosenTranscriptionTarget().engine == TranscriptionEngine::Parakeet ? activeModel()
                                                                            : std::nullopt;
    // Building costs milliseconds (the language list alone is over a hundred
    // items, each exported to the panel): a menu that would come out as it is
    // stays.
    const QStringList shape = {
        code,
        parakeet.value_or(QString()),
        preferenceBool(prefKeepRecent, true) ? recentTranscripts().join(QChar(0x1f))
                                             : QStringLiteral("\x1f"),
        hotkeyNeedsAttention() ? QStringLiteral("attention") : QString(),
        transcriptionFailure(),
        QString::number(recordingsToTranscribeAgain()),
        updates.isInstallingUpdate() ? QStringLiteral("installing")
                                     : updates.updateAvailable().value_or(QString())};
    if (menu && shape == menuShape)
        return;
    menuShape = shape;

    QMenu *old = menu;
    menu = new QMenu;
    auto *languageMenu = new QMenu(QStringLiteral("Language: ") + languageName(code), menu);
    languageItems.clear();
    if (parakeet) {
        languageMenu->addAction(QStringLiteral("Detected by the Parakeet model"))
            ->setEnabled(false);
        languageMenu->addSeparator();
    }
    for (const LanguageEntry &entry : languages) {
        const bool unknown = parakeet && !modelKnowsLanguage(*parakeet, entry.code);
        QAction *item = languageMenu->addAction(
            unknown ? entry.name + QStringLiteral(" (needs a whisper model)") : entry.name, this,
            &MenuHandler::languageSelected);
        item->setData(entry.code);
        item->setCheckable(true);
        item->setChecked(entry.code == code);
        if (isAutomaticLanguage(entry.code))
            languageMenu->addSeparator();
        languageItems.append(item);
    }
    menu->addMenu(languageMenu);
    addRecentMenu();

    if (hotkeyNeedsAttention()) {
        QAction *warning = menu->addAction(QStringLiteral("Grant Accessibility Access\u2026"), this,
                                           &MenuHandler::openAccessibilitySettings);
        warning->setIcon(warningIcon());
    }
    if (const QString failure = transcriptionFailure(); !failure.isEmpty()) {
        // Its cure is most often in the settings (the address, the key).
        QAction *warning = menu->addAction(QString(failure).replace(u'&', QStringLiteral("&&")),
                                           this, &MenuHandler::openSettings);
        warning->setIcon(warningIcon());
    }
    if (const qsizetype again = recordingsToTranscribeAgain(); again > 0)
        menu->addAction(again == 1
                            ? QStringLiteral("Transcribe the last recording again")
                            : QStringLiteral("Transcribe the last %1 recordings again").arg(again),
                        this, [] { transcribeKeptRecordingsAgain(); });
    menu->addSeparator();
    menu->addAction(QStringLiteral("Settings\u2026"), QKeySequence(QStringLiteral("Ctrl+,")), this,
                    &MenuHandler::openSettings);
    menu->addSeparator();
    menu->addAction(QStringLiteral("About Parlotta"), this, &MenuHandler::showAbout);
    if (updates.isInstallingUpdate()) {
        menu->addAction(QStringLiteral("Installing Update\u2026"))->setEnabled(false);
    } else if (updates.updateAvailable()) {
        menu->addAction(
            QStringLiteral("Update Available (v%1)\u2026")
                .arg(QString(*updates.updateAvailable()).replace(u'&', QStringLiteral("&&"))),
            this, &MenuHandler::updateMenuItemClicked);
    } else {
        menu->addAction(QStringLiteral("Check for Updates\u2026"), this,
                        &MenuHandler::checkForUpdatesClicked);
    }
    menu->addAction(QStringLiteral("Quit"), QKeySequence(QStringLiteral("Ctrl+Q")), this,
                    &MenuHandler::quitApp);
    statusItem->setContextMenu(menu);

    if (old) {
        // A panel may still send clicks for the old menu's items: they must do
        // nothing. It goes later, as this may run inside one of its actions.
        for (QAction *action : old->findChildren<QAction *>())
            action->disconnect(this);
        old->deleteLater();
    }
}

namespace {
// The first words of a transcript, on one line, as a menu shows them.
QString menuTitle(const QString &text)
{
    constexpr qsizetype longest = 48;
    QString line = text.simplified();
    if (line.size() > longest) {
        const qsizetype cut = line.lastIndexOf(u' ', longest);
        line = line.left(cut > longest / 2 ? cut : longest) + QChar(0x2026);
    }
    return line.replace(u'&', QStringLiteral("&&"));
}
} // namespace

void MenuHandler::addRecentMenu()
{
    if (!preferenceBool(prefKeepRecent, true))
        return;
    auto *recent = new QMenu(QStringLiteral("Recent"), menu);
    const QStringList texts = recentTranscripts();
    if (texts.isEmpty())
        recent->addAction(QStringLiteral("No transcripts yet"))->setEnabled(false);
    for (const QString &text : texts)
        recent->addAction(menuTitle(text), this, [text] { copyToClipboard(text); });
    recent->addSeparator();
    QAction *clear = recent->addAction(QStringLiteral("Clear"), this, [] {
        log(QStringLiteral("Recent transcripts cleared"));
        clearRecentTranscripts();
    });
    clear->setEnabled(!texts.isEmpty());
    menu->addMenu(recent);
}

void MenuHandler::languageSelected()
{
    const auto *item = qobject_cast<QAction *>(sender());
    if (!item || item->data().typeId() != QMetaType::QString)
        return;
    const QString code = item->data().toString();
    setPreference(prefLanguage, code);
    log(QStringLiteral("Language set to: ") + code);
    const std::optional<QString> model = activeModel();
    if (chosenTranscriptionTarget().engine == TranscriptionEngine::Parakeet && model &&
        !modelKnowsLanguage(*model, code))
        log(QStringLiteral("The Parakeet model %1 does not know %2: it transcribes the language "
                           "it hears; choose a whisper model to dictate in %2")
                .arg(*model, languageName(code)));
}

void MenuHandler::openSettings()
{
    Q_EMIT daemonEvents().settingsRequested();
}

void MenuHandler::openAccessibilitySettings()
{
    openAccessibilityPreferences();
}

void MenuHandler::showAbout()
{
    if (!about)
        about = new AboutDialog;
    about->show();
    about->raise();
    about->activateWindow();
    activateWindowForUser(about->windowHandle());
}

void MenuHandler::quitApp()
{
    log(QStringLiteral("Quit from menu"));
    shutdown();
}

void openAccessibilityPreferences()
{
    openWebPage(siteURL + QStringLiteral("/keyboard-access"));
}

void openWebPage(const QString &url)
{
    // Said in the log only: a click that opens nothing needs a reason somewhere.
    if (!QDesktopServices::openUrl(QUrl(url)))
        log(QStringLiteral("ERROR: could not open %1: no web browser found").arg(url));
}

} // namespace parlotta

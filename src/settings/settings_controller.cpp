#include "settings/settings_controller.h"

#include "core/events.h"
#include "core/languages.h"
#include "core/log.h"
#include "core/login_item.h"
#include "core/preferences.h"
#include "dictation/transcription_target.h"
#include "dictation/vocabulary.h"
#include "hotkey/event_tap.h"
#include "hotkey/key_listener.h"
#include "menubar/menu_handler.h"
#include "models/model_store.h"
#include "platform/keyboard.h"
#include "platform/platform.h"
#include "platform/windowing.h"
#include "secrets/api_key.h"
#include "settings/settings_state.h"
#include "settings/settings_window.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>

namespace parlotta {

SettingsController *settingsController = nullptr;

SettingsController::SettingsController(ModelCatalogue &catalogue)
    : catalogue(catalogue)
{
    connect(&catalogue, &ModelCatalogue::changed, this, [this] {
        rebuildModelPopup();
        refresh();
    });
    connect(&catalogue, &ModelCatalogue::progressed, this, &SettingsController::downloadProgressed);
    connect(&catalogue, &ModelCatalogue::downloadFailed, this, [this](const QString &message) {
        if (shown)
            shown->showDownloadFailure(message);
    });
}

SettingsWindow *SettingsController::window() const
{
    return shown;
}

void SettingsController::buildWindow()
{
    shown = new SettingsWindow;
    SettingsWindow *w = shown;
    HotkeyView *hotkey = w->hotkey;
    connect(hotkey, &HotkeyView::hotkeyClicked, this, &SettingsController::hotkeyClicked);
    connect(hotkey, &HotkeyView::clearHotkeyClicked, this, &SettingsController::clearHotkey);
    connect(hotkey, &HotkeyView::grantClicked, this, &openAccessibilityPreferences);
    connect(hotkey, &HotkeyView::hotkeyModeChosen, this, &SettingsController::hotkeyModeChosen);
    connect(hotkey, &HotkeyView::silenceChanged, this, &SettingsController::silenceChanged);
    connect(hotkey, &HotkeyView::directKeyboardToggled, this,
            &SettingsController::directKeyboardChanged);
    LanguageView *language = w->language;
    connect(language, &LanguageView::languageChosen, this, &SettingsController::languageChosen);
    connect(language, &LanguageView::showLanguageToggled, this,
            &SettingsController::showLanguageChanged);
    connect(language, &LanguageView::keepRecentToggled, this,
            &SettingsController::keepRecentChanged);
    connect(w->microphone, &MicrophoneView::microphoneChosen, this,
            &SettingsController::microphoneChosen);
    TranscriptionView *transcription = w->transcription;
    connect(transcription, &TranscriptionView::modelChosen, this, &SettingsController::modelChosen);
    connect(transcription, &TranscriptionView::idleLimitChosen, this,
            &SettingsController::idleLimitChosen);
    connect(transcription, &TranscriptionView::vocabularyEdited, this,
            &SettingsController::vocabularyEdited);
    connect(transcription, &TranscriptionView::serverChosen, this,
            &SettingsController::serverChosen);
    connect(transcription, &TranscriptionView::serverAddressEdited, this,
            &SettingsController::serverAddressEdited);
    connect(transcription, &TranscriptionView::plainHttpToggled, this,
            &SettingsController::plainHttpToggled);
    connect(transcription, &TranscriptionView::serverModelEdited, this,
            &SettingsController::serverModelEdited);
    connect(transcription, &TranscriptionView::apiKeyEntered, this,
            &SettingsController::apiKeyEntered);
    connect(transcription, &TranscriptionView::cancelDownloadClicked, &catalogue,
            &ModelCatalogue::cancelDownload);
    TextView *text = w->text;
    // A switch stored as it is set, and said so in the log.
    const auto storeSwitch = [this](auto signal, const QString &key, const QString &on,
                                    const QString &off) {
        connect(shown->text, signal, this, [key, on, off](bool checked) {
            setPreference(key, checked);
            log(checked ? on : off);
        });
    };
    storeSwitch(&TextView::fillersToggled, prefRemoveFillers,
                QStringLiteral("Filler words removed"), QStringLiteral("Filler words kept"));
    storeSwitch(&TextView::lineCommandsToggled, prefLineCommands,
                QStringLiteral("Spoken line breaks on"), QStringLiteral("Spoken line breaks off"));
    storeSwitch(&TextView::punctuationToggled, prefSpokenPunctuation,
                QStringLiteral("Spoken punctuation on"), QStringLiteral("Spoken punctuation off"));
    // A list in its stored form (absent while empty); false when that is stored already.
    static const auto storeList = [](const QString &key, const QString &stored) {
        if (stored == preferenceString(key, {}))
            return false;
        if (stored.isEmpty())
            removePreference(key);
        else
            setPreference(key, stored);
        return true;
    };
    connect(text, &TextView::replacementsEdited, this, [](const QList<Replacement> &list) {
        if (storeList(prefReplacements, list.isEmpty() ? QString() : storedReplacements(list)))
            log(QStringLiteral("Replacements set: %1").arg(list.size()));
    });
    connect(text, &TextView::rulesEdited, this, [](const QList<ApplicationRule> &list) {
        if (!storeList(prefApplicationRules, list.isEmpty() ? QString() : storedRules(list)))
            return;
        QStringList names;
        for (const ApplicationRule &rule : list)
            names.append(rule.application);
        log(QStringLiteral("Application rules set: %1")
                .arg(names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "))));
    });
    connect(w->startup, &StartupView::openAtLoginToggled, this, &SettingsController::loginChanged);
    // A capture ends with the window.
    connect(w, &SettingsWindow::closing, this, [this] {
        microphones.reset(); // nothing listens to the microphone once the window is closed
        stopCapture();
        refresh();
    });
    rebuildModelPopup();
    refresh();
    // Centred once; later openings keep where the user put it.
    w->adjustSize();
    if (const QScreen *screen = w->screen())
        w->move(screen->availableGeometry().center() - w->rect().center());
}

void SettingsController::show()
{
    if (!shown)
        buildWindow();
    catalogue.fetchModelList(); // afresh at every opening
    refresh();
    watchMicrophones();
    shown->show();
    shown->raise();
    shown->activateWindow();
    activateWindowForUser(shown->windowHandle());
}

void SettingsController::refresh()
{
    if (!shown)
        return;
    SettingsInputs in = storedSettings();
    in.capturing = capturing;
    in.keyListenerActive = eventTapActive;
    in.refusal = hotkeyRefusal();
    in.desktopSetup = keyListener().setupInstructions(in.hotkey, in.modifiers);
    in.wayland = Session::fromEnvironment().kind == Session::Kind::Wayland;
    in.mayReadKeyboards = !in.readKeyboard || userMayReadKeyboards();
    in.openAtLogin = openAtLoginEnabled();
    in.downloading = catalogue.downloadingModel().has_value();
    in.target = chosenTranscriptionTarget();
    in.activeModel = activeModel();
    in.apiKeyStored = hasApiKey();
    in.apiKeyHint =
        apiKeyOutcome.isEmpty()
            ? apiKeyWhereabouts(serverEndpoint(in.serverAddress, in.plainHttpAccepted).origin)
            : apiKeyOutcome;
    shown->showState(settingsState(in));
    updateModelHint();
}

void SettingsController::vocabularyEdited(const QString &text)
{
    if (text == preferenceString(prefVocabulary, {}))
        return;
    if (text.trimmed().isEmpty())
        removePreference(prefVocabulary);
    else
        setPreference(prefVocabulary, text);
    log(QStringLiteral("Vocabulary set: %1 words").arg(vocabularyEntries(text).size()));
}

void SettingsController::serverChosen(bool remote)
{
    if (remote == (chosenTranscriptionTarget().engine == TranscriptionEngine::Remote))
        return;
    setPreference(prefServer, remote ? QStringLiteral("remote") : QStringLiteral("local"));
    log(remote ? QStringLiteral("Transcription set to: another server")
               : QStringLiteral("Transcription set to: this computer"));
    if (remote) // the window says where the key is once it has been read
        loadApiKey([this] { refresh(); });
}

void SettingsController::serverAddressEdited(const QString &address)
{
    if (address == preferenceString(prefServerAddress, {}))
        return;
    setPreference(prefServerAddress, address);
    apiKeyOutcome.clear(); // what the key line says depends on the server now
    // The origin only: what else an address holds (a password, a query) stays out of the log.
    const ServerEndpoint endpoint = serverEndpoint(address, {});
    log(endpoint.origin.isEmpty()
            ? QStringLiteral("Transcription server address not usable: ") + endpoint.problem
            : QStringLiteral("Transcription server set to: ") + endpoint.origin);
}

void SettingsController::plainHttpToggled(bool accepted)
{
    const ServerEndpoint endpoint = serverEndpoint(preferenceString(prefServerAddress, {}), {});
    if (accepted && !endpoint.origin.isEmpty()) {
        setPreference(prefServerPlainHttp, endpoint.origin);
        log(QStringLiteral("Plain http accepted for ") + endpoint.origin);
    } else {
        removePreference(prefServerPlainHttp);
        log(QStringLiteral("Plain http no longer accepted"));
    }
}

void SettingsController::serverModelEdited(const QString &name)
{
    if (name == preferenceString(prefServerModel, defaultServerModel))
        return;
    if (name.isEmpty())
        removePreference(prefServerModel);
    else
        setPreference(prefServerModel, name);
}

void SettingsController::apiKeyEntered(const QString &key)
{
    storeApiKey(key, chosenServerEndpoint().origin, [this](const QString &outcome) {
        apiKeyOutcome = outcome;
        refresh();
    });
    refresh();
}

void SettingsController::hotkeyModeChosen(int row)
{
    const HotkeyMode mode = HotkeyMode(std::clamp(row, 0, 2));
    setPreference(prefHotkeyMode, hotkeyModeName(mode));
    log(QStringLiteral("Hotkey mode set to: ") + hotkeyModeName(mode));
}

void SettingsController::silenceChanged(int seconds)
{
    setPreference(prefStopAfterSilence, seconds);
    log(seconds ? QStringLiteral("Stop after %1 s of silence").arg(seconds)
                : QStringLiteral("Stop after silence disabled"));
}

void SettingsController::idleLimitChosen(int row)
{
    const int minutes = idleLimitChoices[std::clamp<int>(row, 0, std::size(idleLimitChoices) - 1)];
    setPreference(prefFreeModelAfter, minutes);
    log(minutes == 0 ? QStringLiteral("The model stays loaded when idle")
                     : QStringLiteral("The model's memory is freed after %1 min without dictation")
                           .arg(minutes));
}

void SettingsController::keepRecentChanged(bool on)
{
    setPreference(prefKeepRecent, on);
    log(on ? QStringLiteral("Recent transcripts kept")
           : QStringLiteral("Recent transcripts not kept"));
}

void SettingsController::microphoneChosen(const QString &source)
{
    if (source.isEmpty())
        removePreference(prefMicrophone);
    else
        setPreference(prefMicrophone, source);
    log(QStringLiteral("Microphone set to: ") +
        (source.isEmpty() ? QStringLiteral("System default") : source));
    if (microphones)
        microphones->watchLevel(source);
}

void SettingsController::watchMicrophones()
{
    if (microphones)
        return;
    microphones = watchAudioSources(
        [this](const QList<AudioSource> &list) {
            if (shown)
                shown->microphone->showState(
                    microphoneSection(list, preferenceString(prefMicrophone, QString())));
        },
        [this](float level) {
            if (shown)
                shown->microphone->setInputLevel(level);
        });
    if (microphones)
        microphones->watchLevel(preferenceString(prefMicrophone, QString()));
    else if (shown)
        shown->microphone->showState(
            microphoneSection({}, preferenceString(prefMicrophone, QString())));
}

void SettingsController::languageChosen(int row)
{
    const QString code = languageCode(row);
    setPreference(prefLanguage, code);
    log(QStringLiteral("Language set to: ") + code);
}

void SettingsController::showLanguageChanged(bool on)
{
    setPreference(prefShowLanguage, on);
    log(QStringLiteral("Show language code ") +
        (on ? QStringLiteral("enabled") : QStringLiteral("disabled")));
}

void SettingsController::directKeyboardChanged(bool on)
{
    setPreference(prefReadKeyboard, on);
    log(QStringLiteral("Reading the keyboard directly ") +
        (on ? QStringLiteral("enabled") : QStringLiteral("disabled")) +
        QStringLiteral(" from the next start"));
}

void SettingsController::loginChanged(bool on)
{
    setOpenAtLogin(on);
    // The checkbox shows what is registered now: a refused change springs back.
    refresh();
}

// Hotkey capture ------------------------------------------------------------

void SettingsController::hotkeyClicked()
{
    if (capturing) {
        stopCapture();
        refresh();
        return;
    }
    if (!eventTapActive) {
        openAccessibilityPreferences();
        return;
    }
    QPointer<SettingsController> self(this);
    QString error;
    const quint64 capture = ++captureNumber;
    const bool began = beginHotkeyCapture(
        [self, capture](std::optional<ActiveHotkey> result) {
            // On the key listener's thread: the rest happens on the main thread.
            QMetaObject::invokeMethod(
                qApp,
                [self, capture, result] {
                    if (self)
                        self->captured(capture, result);
                },
                Qt::QueuedConnection);
        },
        &error);
    if (!began) {
        log(QStringLiteral("ERROR: could not record a hotkey: ") + error);
        return;
    }
    capturing = true;
    if (keyListener().capturesFromOwnWindow()) {
        captureKeyFromWindow(-1, false);
        qApp->installEventFilter(this);
    }
    refresh();
}

bool SettingsController::eventFilter(QObject *, QEvent *event)
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
        return false;
    const auto *key = static_cast<const QKeyEvent *>(event);
    // Qt sees a key once per window it passes through; the repeats add nothing.
    if (const std::int64_t code = keyOfScanCode(key->nativeScanCode());
        !key->isAutoRepeat() && key->spontaneous() && code >= 0)
        captureKeyFromWindow(code, event->type() == QEvent::KeyPress);
    return true;
}

void SettingsController::captured(quint64 capture, std::optional<ActiveHotkey> result)
{
    // That capture already ended (second click, window closed, an earlier
    // result), even if another one runs now.
    if (!capturing || capture != captureNumber)
        return;
    stopCapture();
    if (result)
        setHotkey(result->code, result->modifiers);
    refresh(); // the button leaves "Press a key…" even when nothing was stored
}

void SettingsController::stopCapture()
{
    if (capturing)
        endHotkeyCapture();
    capturing = false;
    qApp->removeEventFilter(this);
}

void SettingsController::clearHotkey()
{
    setHotkey(hotkeyNone, 0);
}

} // namespace parlotta

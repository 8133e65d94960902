#include "settings/settings_controller.h"

#include "core/events.h"
#include "core/languages.h"
#include "core/log.h"
#include "core/login_item.h"
#include "core/preferences.h"
#include "dictation/api_key.h"
#include "dictation/transcription_target.h"
#include "dictation/vocabulary.h"
#include "hotkey/event_tap.h"
#include "hotkey/key_listener.h"
#include "menubar/menu_handler.h"
#include "models/model_store.h"
#include "platform/keyboard.h"
#include "platform/platform.h"
#include "platform/windowing.h"
#include "settings/settings_window.h"

#include <QApplication>
#include <QKeyEvent>
#include <QScreen>

namespace parlotta {

SettingsController *settingsController = nullptr;

namespace {

// What a Parakeet model does with the chosen language; nothing for whisper.
QString languageHint(const TranscriptionTarget &target)
{
    if (target.engine != TranscriptionEngine::Parakeet)
        return {};
    const std::optional<QString> model = activeModel();
    const QString chosen = selectedLanguageCode();
    const bool englishOnly = model && !modelKnowsLanguage(*model, QStringLiteral("de"));
    const QString detects =
        englishOnly ? QStringLiteral("This Parakeet model knows English only.")
                    : QStringLiteral("The Parakeet model detects the language itself, among "
                                     "25 European languages.");
    if (isAutomaticLanguage(chosen) || (model && modelKnowsLanguage(*model, chosen)))
        return detects;
    return detects + QStringLiteral(" It does not know %1: choose a whisper model to "
                                    "dictate in it.")
                         .arg(languageName(chosen));
}

} // namespace

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
    connect(w, &SettingsWindow::hotkeyClicked, this, &SettingsController::hotkeyClicked);
    connect(w, &SettingsWindow::clearHotkeyClicked, this, &SettingsController::clearHotkey);
    connect(w, &SettingsWindow::grantClicked, this, &openAccessibilityPreferences);
    connect(w, &SettingsWindow::languageChosen, this, &SettingsController::languageChosen);
    connect(w, &SettingsWindow::showLanguageToggled, this,
            &SettingsController::showLanguageChanged);
    connect(w, &SettingsWindow::openAtLoginToggled, this, &SettingsController::loginChanged);
    connect(w, &SettingsWindow::directKeyboardToggled, this,
            &SettingsController::directKeyboardChanged);
    connect(w, &SettingsWindow::modelChosen, this, &SettingsController::modelChosen);
    connect(w, &SettingsWindow::hotkeyModeChosen, this, &SettingsController::hotkeyModeChosen);
    connect(w, &SettingsWindow::silenceChanged, this, &SettingsController::silenceChanged);
    connect(w, &SettingsWindow::microphoneChosen, this, &SettingsController::microphoneChosen);
    connect(w, &SettingsWindow::keepRecentToggled, this, &SettingsController::keepRecentChanged);
    connect(w, &SettingsWindow::idleLimitChosen, this, &SettingsController::idleLimitChosen);
    connect(w, &SettingsWindow::vocabularyEdited, this, &SettingsController::vocabularyEdited);
    connect(w, &SettingsWindow::serverChosen, this, &SettingsController::serverChosen);
    connect(w, &SettingsWindow::serverAddressEdited, this,
            &SettingsController::serverAddressEdited);
    connect(w, &SettingsWindow::plainHttpToggled, this, &SettingsController::plainHttpToggled);
    connect(w, &SettingsWindow::serverModelEdited, this, &SettingsController::serverModelEdited);
    connect(w, &SettingsWindow::apiKeyEntered, this, &SettingsController::apiKeyEntered);
    connect(w, &SettingsWindow::cancelDownloadClicked, &catalogue, &ModelCatalogue::cancelDownload);
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
    SettingsState state;
    const std::int64_t hotkey = selectedHotkey();
    if (capturing)
        state.hotkeyText = QStringLiteral("Press a key\u2026");
    else if (hotkey == hotkeyNone)
        state.hotkeyText = QStringLiteral("Record Hotkey");
    else
        state.hotkeyText = hotkeyName(hotkey, selectedHotkeyModifiers());
    state.hotkeyClearable = hotkey != hotkeyNone && !capturing;
    state.refusal = hotkey == hotkeyNone ? QString() : hotkeyRefusal();
    state.accessibilityShown = !eventTapActive || !state.refusal.isEmpty();
    state.desktopSetup = keyListener().setupInstructions(hotkey, selectedHotkeyModifiers());
    state.languageRow = languageRow(selectedLanguageCode());
    state.showLanguage = showLanguageCodeEnabled();
    state.openAtLogin = openAtLoginEnabled();
    // X11 shows every key already; on Wayland this is the one way to see them all.
    state.directKeyboardOffered = Session::fromEnvironment().kind == Session::Kind::Wayland;
    state.directKeyboard = preferenceBool(prefReadKeyboard, false);
    state.directKeyboardAbout = QStringLiteral(
        "Sees every key in every window, right Alt alone and every release included, on any "
        "desktop; but it cannot keep the hotkey from the focused window, and any program you "
        "run can read what you type. No key counts while the screen is locked where the lock "
        "is reported to the login manager (GNOME, KDE; swaylock and hyprlock do not report "
        "it). Takes effect when Parlotta starts next.");
    if (state.directKeyboard && !userMayReadKeyboards())
        state.directKeyboardAbout +=
            QStringLiteral("\nYour account must be in the input group: run "
                           "\u201csudo usermod -aG input $USER\u201d, then log out and in again.");
    state.downloading = catalogue.downloadingModel().has_value();
    state.keepRecent = preferenceBool(prefKeepRecent, true);
    state.idleLimitRow = idleLimitRow(freeModelAfterMinutes());
    const HotkeyMode mode = selectedHotkeyMode();
    state.hotkeyModeRow = int(mode);
    state.hotkeyHint =
        mode == HotkeyMode::Hold
            ? QStringLiteral("Hold to record, release to transcribe and paste.")
        : mode == HotkeyMode::Toggle
            ? QStringLiteral("Press to record, press again to transcribe and paste; Escape "
                             "cancels.")
            : QStringLiteral("Tap to record and tap again to transcribe, or hold to talk; Escape "
                             "cancels a tapped recording.");
    state.silenceSeconds =
        int(std::clamp<qint64>(preferenceInteger(prefStopAfterSilence).value.value_or(0), 0, 10));
    const TranscriptionTarget target = chosenTranscriptionTarget();
    state.vocabulary = preferenceString(prefVocabulary, {});
    const Prompt prompt = vocabularyPrompt(state.vocabulary);
    state.vocabularyHint =
        QStringLiteral("Names and terms, one per line or separated by commas: whisper is told of "
                       "them with every recording.");
    if (!target.sendsPrompt) {
        state.vocabularyHint = QStringLiteral("Parakeet models take no vocabulary: these words "
                                              "are not sent while one is active. A whisper "
                                              "model or another server uses them.");
    } else if (prompt.left > 0) {
        state.vocabularyHint +=
            QStringLiteral(" Whisper reads only the first %1 characters: the last %2, from "
                           "\u201c%3\u201d on, are not sent.")
                .arg(promptCharacterLimit)
                .arg(prompt.left)
                .arg(prompt.leftOut.section(u' ', 0, 0));
    }
    state.languageHint = languageHint(target);
    state.remoteServer = target.engine == TranscriptionEngine::Remote;
    state.serverAddress = preferenceString(prefServerAddress, {});
    const QString accepted = preferenceString(prefServerPlainHttp, {});
    const ServerEndpoint endpoint = serverEndpoint(state.serverAddress, accepted);
    if (!endpoint.problem.isEmpty())
        state.serverHint = endpoint.problem;
    else if (endpoint.protocol == ServerProtocol::OpenAI)
        state.serverHint =
            QStringLiteral("An OpenAI-compatible server: recordings go to ") + endpoint.url;
    else
        state.serverHint = QStringLiteral("A whisper.cpp server: recordings go to ") + endpoint.url;
    if (endpoint.needsPlainHttpConsent ||
        (!endpoint.origin.isEmpty() && endpoint.origin == accepted))
        state.plainHttpConsent =
            QStringLiteral("Send recordings to %1 unencrypted").arg(endpoint.origin);
    state.plainHttpAccepted = !endpoint.origin.isEmpty() && endpoint.origin == accepted;
    state.serverModelShown =
        endpoint.problem.isEmpty() && endpoint.protocol == ServerProtocol::OpenAI;
    state.serverModel = preferenceString(prefServerModel, defaultServerModel);
    state.apiKeyStored = hasApiKey();
    state.apiKeyHint = apiKeyOutcome.isEmpty() ? apiKeyWhereabouts(endpoint.origin) : apiKeyOutcome;
    shown->showState(state);
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
                shown->setMicrophones(list, preferenceString(prefMicrophone, QString()));
        },
        [this](float level) {
            if (shown)
                shown->setInputLevel(level);
        });
    if (microphones)
        microphones->watchLevel(preferenceString(prefMicrophone, QString()));
    else if (shown)
        shown->setMicrophones({}, preferenceString(prefMicrophone, QString()));
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

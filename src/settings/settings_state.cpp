#include "settings/settings_state.h"

#include "core/languages.h"
#include "dictation/text_delivery.h"
#include "dictation/transcription_server.h"
#include "dictation/vocabulary.h"

#include <algorithm>

namespace parlotta {

SettingsInputs storedSettings()
{
    SettingsInputs in;
    in.hotkey = selectedHotkey();
    in.modifiers = selectedHotkeyModifiers();
    in.mode = selectedHotkeyMode();
    in.silenceSeconds = preferenceInteger(prefStopAfterSilence).value;
    in.language = selectedLanguageCode();
    in.showLanguage = showLanguageCodeEnabled();
    in.readKeyboard = preferenceBool(prefReadKeyboard, false);
    in.keepRecent = preferenceBool(prefKeepRecent, true);
    in.idleMinutes = freeModelAfterMinutes();
    in.vocabulary = preferenceString(prefVocabulary, {});
    in.serverAddress = preferenceString(prefServerAddress, {});
    in.plainHttpAccepted = preferenceString(prefServerPlainHttp, {});
    in.serverModel = preferenceString(prefServerModel, defaultServerModel);
    in.text = storedTextSettings();
    in.recentApplications = recentApplications();
    return in;
}

HotkeySection hotkeySection(const SettingsInputs &in)
{
    HotkeySection out;
    const bool none = in.hotkey == hotkeyNone;
    out.text = in.capturing ? QStringLiteral("Press a key\u2026")
               : none       ? QStringLiteral("Record Hotkey")
                            : hotkeyName(in.hotkey, in.modifiers);
    out.clearable = !none && !in.capturing;
    out.refusal = none ? QString() : in.refusal;
    out.accessibilityShown = !in.keyListenerActive || !out.refusal.isEmpty();
    out.desktopSetup = in.desktopSetup;
    out.modeRow = int(in.mode);
    out.hint = in.mode == HotkeyMode::Hold
                   ? QStringLiteral("Hold to record, release to transcribe and paste.")
               : in.mode == HotkeyMode::Toggle
                   ? QStringLiteral("Press to record, press again to transcribe and paste; "
                                    "Escape cancels.")
                   : QStringLiteral("Tap to record and tap again to transcribe, or hold to talk; "
                                    "Escape cancels a tapped recording.");
    out.silenceSeconds = int(std::clamp<qint64>(in.silenceSeconds.value_or(0), 0, 10));
    // X11 shows every key already; on Wayland this is the one way to see them all.
    out.directKeyboardOffered = in.wayland;
    out.directKeyboard = in.readKeyboard;
    out.directKeyboardAbout = QStringLiteral(
        "Sees every key in every window, right Alt alone and every release included, on any "
        "desktop; but it cannot keep the hotkey from the focused window, and any program you "
        "run can read what you type. No key counts while the screen is locked where the lock "
        "is reported to the login manager (GNOME, KDE; swaylock and hyprlock do not report "
        "it). Takes effect when Parlotta starts next.");
    if (in.readKeyboard && !in.mayReadKeyboards)
        out.directKeyboardAbout +=
            QStringLiteral("\nYour account must be in the input group: run "
                           "\u201csudo usermod -aG input $USER\u201d, then log out and in again.");
    return out;
}

namespace {

// What a Parakeet model does with the chosen language; nothing for whisper.
QString languageHint(const SettingsInputs &in)
{
    if (in.target.engine != TranscriptionEngine::Parakeet)
        return {};
    const std::optional<QString> &model = in.activeModel;
    const bool englishOnly = model && !modelKnowsLanguage(*model, QStringLiteral("de"));
    const QString detects =
        englishOnly ? QStringLiteral("This Parakeet model knows English only.")
                    : QStringLiteral("The Parakeet model detects the language itself, among "
                                     "25 European languages.");
    if (isAutomaticLanguage(in.language) || (model && modelKnowsLanguage(*model, in.language)))
        return detects;
    return detects + QStringLiteral(" It does not know %1: choose a whisper model to "
                                    "dictate in it.")
                         .arg(languageName(in.language));
}

} // namespace

LanguageSection languageSection(const SettingsInputs &in)
{
    return {languageRow(in.language), languageHint(in), in.showLanguage, in.keepRecent};
}

MicrophoneSection microphoneSection(const QList<AudioSource> &sources, const QString &chosen)
{
    MicrophoneSection out;
    out.entries.append({QStringLiteral("System default"), QString()});
    for (const AudioSource &source : sources) {
        out.entries.append(
            {source.description.isEmpty() ? source.name : source.description, source.name});
        if (source.name == chosen)
            out.current = int(out.entries.size()) - 1;
    }
    // Chosen once, unplugged now: recordings use the default meanwhile.
    if (!chosen.isEmpty() && out.current == 0) {
        out.entries.append({QStringLiteral("%1 (not connected)").arg(chosen), chosen});
        out.current = int(out.entries.size()) - 1;
    }
    return out;
}

TranscriptionSection transcriptionSection(const SettingsInputs &in)
{
    TranscriptionSection out;
    out.vocabulary = in.vocabulary;
    const Prompt prompt = vocabularyPrompt(in.vocabulary);
    if (!in.target.sendsPrompt) {
        out.vocabularyHint = QStringLiteral("Parakeet models take no vocabulary: these words are "
                                            "not sent while one is active. A whisper model or "
                                            "another server uses them.");
    } else {
        out.vocabularyHint = QStringLiteral("Names and terms, one per line or separated by "
                                            "commas: whisper is told of them with every "
                                            "recording.");
        if (prompt.left > 0)
            out.vocabularyHint +=
                QStringLiteral(" Whisper reads only the first %1 characters: the last %2, from "
                               "\u201c%3\u201d on, are not sent.")
                    .arg(promptCharacterLimit)
                    .arg(prompt.left)
                    .arg(prompt.leftOut.section(u' ', 0, 0));
    }
    out.remoteServer = in.target.engine == TranscriptionEngine::Remote;
    out.serverAddress = in.serverAddress;
    const ServerEndpoint endpoint = serverEndpoint(in.serverAddress, in.plainHttpAccepted);
    if (!endpoint.problem.isEmpty())
        out.serverHint = endpoint.problem;
    else if (endpoint.protocol == ServerProtocol::OpenAI)
        out.serverHint =
            QStringLiteral("An OpenAI-compatible server: recordings go to ") + endpoint.url;
    else
        out.serverHint = QStringLiteral("A whisper.cpp server: recordings go to ") + endpoint.url;
    out.plainHttpAccepted = !endpoint.origin.isEmpty() && endpoint.origin == in.plainHttpAccepted;
    if (endpoint.needsPlainHttpConsent || out.plainHttpAccepted)
        out.plainHttpConsent =
            QStringLiteral("Send recordings to %1 unencrypted").arg(endpoint.origin);
    out.serverModelShown =
        endpoint.problem.isEmpty() && endpoint.protocol == ServerProtocol::OpenAI;
    out.serverModel = in.serverModel;
    out.apiKeyStored = in.apiKeyStored;
    out.apiKeyHint = in.apiKeyHint;
    out.downloading = in.downloading;
    out.idleLimitRow = idleLimitRow(in.idleMinutes);
    return out;
}

TextSection textSection(const SettingsInputs &in)
{
    TextSection out;
    out.settings = in.text;
    const QStringList names = textCommandLanguages();
    out.commandsHint = QStringLiteral("Command and filler words in %1 and %2, in the "
                                      "language chosen above; with Auto, the line commands of "
                                      "them all and English punctuation.")
                           .arg(names.mid(0, names.size() - 1).join(QStringLiteral(", ")),
                                names.value(names.size() - 1));
    for (const QString &application : in.recentApplications)
        if (!ruleFor(in.text.rules, application))
            out.offered.append(application);
    return out;
}

StartupSection startupSection(const SettingsInputs &in)
{
    return {in.openAtLogin};
}

SettingsState settingsState(const SettingsInputs &in)
{
    return {hotkeySection(in), languageSection(in), transcriptionSection(in), textSection(in),
            startupSection(in)};
}

} // namespace parlotta

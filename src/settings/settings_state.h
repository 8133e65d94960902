#pragma once

#include "core/preferences.h"
#include "dictation/text_pipeline.h"
#include "dictation/transcription_target.h"
#include "hotkey/hotkey_model.h"
#include "platform/audio.h"

#include <QList>
#include <QString>
#include <cstdint>
#include <optional>

namespace parlotta {

// What the window's sections show is decided from these alone: the stored
// preferences, read once, and what the daemon knows at that moment.
struct SettingsInputs {
    std::int64_t hotkey = hotkeyNone;
    std::uint64_t modifiers = 0;
    HotkeyMode mode = HotkeyMode::Hold;
    std::optional<qint64> silenceSeconds;
    QString language = QStringLiteral("auto");
    bool showLanguage = true;
    bool readKeyboard = false;
    bool keepRecent = true;
    int idleMinutes = defaultIdleLimitMinutes;
    QString vocabulary;
    QString serverAddress;
    QString plainHttpAccepted; // the origin accepted for plain http
    QString serverModel = defaultServerModel;
    TextSettings text;
    QStringList recentApplications; // dictated into lately, the latest first

    bool capturing = false; // the hotkey button waits for a key
    bool keyListenerActive = true;
    QString refusal;      // why the desktop did not bind the hotkey
    QString desktopSetup; // what the desktop wants done once for it
    bool wayland = false;
    bool mayReadKeyboards = true; // in the input group
    bool openAtLogin = false;
    bool downloading = false;
    TranscriptionTarget target;
    std::optional<QString> activeModel;
    bool apiKeyStored = false;
    QString apiKeyHint; // where the key is, or what storing it last said
};

// The preferences as stored now; the facts are the caller's to fill in.
SettingsInputs storedSettings();

// The hotkey section: the button, the mode and its hint, the silence stop,
// the keyboard access warning, and reading the keyboard directly.
struct HotkeySection {
    QString text; // the button's caption
    bool clearable = false;
    int modeRow = 0; // hold, toggle, both
    QString hint;
    int silenceSeconds = 0; // 0: off
    bool accessibilityShown = false;
    QString refusal;
    QString desktopSetup;
    bool directKeyboardOffered = false; // Wayland only
    bool directKeyboard = false;
    QString directKeyboardAbout;
};
HotkeySection hotkeySection(const SettingsInputs &in);

// The language section: the language, what the model makes of it, and what
// the tray shows.
struct LanguageSection {
    int languageRow = 0;
    QString languageHint; // what the active model does with the language; empty: nothing to say
    bool showLanguage = true;
    bool keepRecent = true;
};
LanguageSection languageSection(const SettingsInputs &in);

// The microphone section's list: "System default", the sound server's
// inputs, and a chosen one that is unplugged now; which one is selected.
struct MicrophoneEntry {
    QString title;
    QString source; // empty: the default
    bool operator==(const MicrophoneEntry &) const = default;
};
struct MicrophoneSection {
    QList<MicrophoneEntry> entries;
    int current = 0;
};
MicrophoneSection microphoneSection(const QList<AudioSource> &sources, const QString &chosen);

// The transcription and model section: vocabulary, where recordings go, the
// model's download and its memory when idle.
struct TranscriptionSection {
    QString vocabulary;
    QString vocabularyHint; // what is sent, and what is left out
    bool remoteServer = false;
    QString serverAddress;
    QString serverHint;       // the form used, or why the address cannot be used
    QString plainHttpConsent; // the consent's caption, or empty when none is asked
    bool plainHttpAccepted = false;
    bool serverModelShown = false; // an OpenAI-compatible address
    QString serverModel;
    bool apiKeyStored = false;
    QString apiKeyHint;
    bool downloading = false;
    int idleLimitRow = 0; // in idleLimitChoices
};
TranscriptionSection transcriptionSection(const SettingsInputs &in);

// The text section: what gets typed (see dictation/text_pipeline.h).
struct TextSection {
    TextSettings settings;
    QString commandsHint; // the languages whose command words are known
    // Applications a rule can be made for: those dictated into lately that have none.
    QStringList offered;
};
TextSection textSection(const SettingsInputs &in);

// The startup section.
struct StartupSection {
    bool openAtLogin = false;
};
StartupSection startupSection(const SettingsInputs &in);

// Everything the window shows apart from the model list and the microphones,
// which arrive on their own.
struct SettingsState {
    HotkeySection hotkey;
    LanguageSection language;
    TranscriptionSection transcription;
    TextSection text;
    StartupSection startup;
};
SettingsState settingsState(const SettingsInputs &in);

} // namespace parlotta

#pragma once

#include <initializer_list>
#include <utility>

#include <QString>
#include <QVariant>
#include <optional>

namespace parlotta {

// The per-user preference keys.
inline const QString prefHotkey = QStringLiteral("hotkey");
inline const QString prefHotkeyModifiers = QStringLiteral("hotkey-modifiers");
inline const QString prefLanguage = QStringLiteral("language");
inline const QString prefShowLanguage = QStringLiteral("show-language");
inline const QString prefLoginItemConfigured = QStringLiteral("login-item-configured");
inline const QString prefUpdateDismissed = QStringLiteral("update-dismissed");
inline const QString prefReadKeyboard = QStringLiteral("read-keyboard-directly");
inline const QString prefHotkeyMode = QStringLiteral("hotkey-mode"); // hold, toggle, both
// Seconds of silence after speech that end a toggled recording; 0 or absent: never.
inline const QString prefStopAfterSilence = QStringLiteral("stop-after-silence");
inline const QString prefMicrophone =
    QStringLiteral("microphone"); // a source's name; empty: default
inline const QString prefKeepRecent = QStringLiteral("keep-recent-transcripts");
// Names and terms for whisper's prompt, as the user typed them.
inline const QString prefVocabulary = QStringLiteral("vocabulary");
// Where recordings are transcribed: "local" (absent too), or "remote" at server-address.
inline const QString prefServer = QStringLiteral("server");
inline const QString prefServerAddress = QStringLiteral("server-address");
// The model an OpenAI-compatible server is asked for.
inline const QString prefServerModel = QStringLiteral("server-model");
inline const QString defaultServerModel = QStringLiteral("whisper-1");
// The one plain-http origin (scheme://host:port) the user accepted to send recordings to.
inline const QString prefServerPlainHttp = QStringLiteral("server-plain-http-accepted");
// Under it, per model: how many seconds its warm-up pass took here per 5 s of audio.
inline const QString prefModelSpeed = QStringLiteral("model-speed");
// The origin the API key was given for: it is sent nowhere else.
inline const QString prefServerKeyOrigin = QStringLiteral("server-api-key-origin");
// What gets typed: filler words out (default on), "new line" and "new
// paragraph" (on), spoken punctuation (off), the replacement list and the
// rules per application (JSON, see dictation/text_pipeline.h), and the
// applications dictated into lately, which the window offers for a rule.
inline const QString prefRemoveFillers = QStringLiteral("remove-filler-words");
inline const QString prefLineCommands = QStringLiteral("line-commands");
inline const QString prefSpokenPunctuation = QStringLiteral("spoken-punctuation");
inline const QString prefReplacements = QStringLiteral("replacements");
inline const QString prefApplicationRules = QStringLiteral("application-rules");
inline const QString prefRecentApplications = QStringLiteral("recent-applications");
// Minutes without dictation after which the model's memory is freed; 0: never.
inline const QString prefFreeModelAfter = QStringLiteral("free-model-after");
// What the settings window offers. 15 by default: a burst of dictations keeps the
// model loaded, and an hour of reading or meetings does not hold gigabytes.
inline constexpr int idleLimitChoices[] = {0, 1, 5, 15, 60};
inline constexpr int defaultIdleLimitMinutes = 15;

// A stored integer as read from the store: absent, or present with a value
// that is empty when what is stored is not an integer (a hand-edited file).
struct StoredInteger {
    bool present = false;
    std::optional<qint64> value;
};

// Every read goes to the store afresh; safe from any thread.
QVariant preferenceValue(const QString &key);
StoredInteger preferenceInteger(const QString &key);
// A stored boolean, or fallback when it is absent or unreadable.
bool preferenceBool(const QString &key, bool fallback);
// A stored string, or fallback when it is absent.
QString preferenceString(const QString &key, const QString &fallback);

// Reads see a change at once; the file is written on a thread of its own
// (several changes in a row, one write), and a write that fails is logged and
// tried again every 5 s.
void setPreference(const QString &key, const QVariant &value);
void setPreferences(std::initializer_list<std::pair<QString, QVariant>> values);
void removePreference(const QString &key);
// Writes what is not yet written, here and now (at quit); false, logged, when it failed.
bool savePreferencesNow();

QString selectedLanguageCode();
bool showLanguageCodeEnabled();
// The stored idle limit in minutes: the default when absent or unreadable,
// at most a day (a hand-edited file may hold any number).
int freeModelAfterMinutes();
// The settings window's entry for a limit: its own, else the next longer one offered.
int idleLimitRow(int minutes);

// The path of the store's file ($XDG_CONFIG_HOME/parlotta/parlotta.ini).
QString preferencesFilePath();

} // namespace parlotta

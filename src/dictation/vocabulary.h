#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace parlotta {

// Whisper reads at most 224 tokens of prompt and drops the beginning of a
// longer one; names and rare words take two or three characters a token.
inline constexpr qsizetype promptCharacterLimit = 500;

// The vocabulary's entries: its lines, and what commas or semicolons part
// within a line, trimmed; empty ones dropped.
QStringList vocabularyEntries(const QString &vocabulary);

struct Prompt {
    QString text;       // the entries joined by ", ", as whisper's prompt
    qsizetype left = 0; // characters of it not sent, cut at a word
    QString leftOut;    // what is not sent, from its first word on
};
Prompt vocabularyPrompt(const QString &vocabulary);

// Below this best average a recording is near-silent: speech, even quiet
// speech into a laptop's microphone, is louder.
inline constexpr float echoLevel = -40.0f; // dBFS

// On near-silent audio whisper may answer with its prompt. Rejects (returning
// the log line) a transcript whose words are a run of the prompt's words on
// near-silent audio, or at any level a run over three entries or more that is
// most of the prompt; terms said alone or together at speech level pass.
std::optional<QString> echoGate(const QString &transcript, const QString &prompt, float level);

} // namespace parlotta

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

// On near-silent audio whisper may answer with its prompt. Rejects (returning
// the log line) a transcript whose words are a run of the prompt's words that
// spans two entries or more, or any run of them on quiet audio; a single term
// said clearly passes.
std::optional<QString> echoGate(const QString &transcript, const QString &prompt, float level);

} // namespace parlotta

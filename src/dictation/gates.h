#pragma once

#include <QSet>
#include <QString>
#include <optional>

namespace parlotta {

inline constexpr double minimumDuration = 0.5;      // seconds
inline constexpr float quietLevel = -50.0f;         // dBFS
inline constexpr float hallucinationLevel = -16.0f; // dBFS
inline const QString blankMarker = QStringLiteral("[BLANK_AUDIO]");

// Stock phrases speech recognisers produce on near-silent input, normalised.
extern const QSet<QString> hallucinationPhrases;

// Each gate returns the log line when it rejects, nothing when it passes.
// Comparisons are strict, and a value that is not a number passes.
std::optional<QString> durationGate(double duration);
std::optional<QString> levelGate(float level);
std::optional<QString> blankGate(const QString &transcript);
std::optional<QString> hallucinationGate(const QString &transcript, float level);

// Lower-case, drop Unicode punctuation (P*), collapse runs of U+0020.
QString normaliseForHallucinationTest(const QString &text);
bool isLikelyHallucination(const QString &text, float peakPower);

} // namespace parlotta

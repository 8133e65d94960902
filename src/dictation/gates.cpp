#include "dictation/gates.h"

#include <QStringList>

namespace parlotta {

const QSet<QString> hallucinationPhrases = {
    QStringLiteral("you"),
    QStringLiteral("thank you"),
    QStringLiteral("thanks for watching"),
    QStringLiteral("thank you for watching"),
    QStringLiteral("bedankt voor het kijken"),
    QStringLiteral("ondertiteling door de amaraorg gemeenschap"),
    QStringLiteral("ondertiteld door de amaraorg gemeenschap"),
    QStringLiteral("untertitel der amaraorgcommunity"),
};

std::optional<QString> durationGate(double duration)
{
    if (duration < minimumDuration)
        return QString::asprintf("Recording too short (%.2fs), skipping", duration);
    return std::nullopt;
}

std::optional<QString> levelGate(float level)
{
    if (level < quietLevel)
        return QString::asprintf("Audio too quiet (best avg %.1f dB), skipping", double(level));
    return std::nullopt;
}

std::optional<QString> blankGate(const QString &transcript)
{
    if (transcript.isEmpty() || transcript == blankMarker)
        return QStringLiteral("Blank audio, skipping paste");
    return std::nullopt;
}

std::optional<QString> hallucinationGate(const QString &transcript, float level)
{
    if (isLikelyHallucination(transcript, level))
        return QString::asprintf(
            "Likely hallucination on quiet audio (best avg %.1f dB), skipping paste",
            double(level));
    return std::nullopt;
}

QString normaliseForHallucinationTest(const QString &text)
{
    QString kept;
    const QList<uint> scalars = text.toLower().toUcs4();
    for (const uint scalar : scalars) {
        if (!QChar::isPunct(char32_t(scalar)))
            kept.append(QString::fromUcs4(reinterpret_cast<const char32_t *>(&scalar), 1));
    }
    return kept.split(u' ', Qt::SkipEmptyParts).join(u' ');
}

bool isLikelyHallucination(const QString &text, float peakPower)
{
    if (!(peakPower < hallucinationLevel))
        return false;
    return hallucinationPhrases.contains(normaliseForHallucinationTest(text));
}

} // namespace parlotta

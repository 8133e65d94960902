#include "dictation/vocabulary.h"

#include "dictation/gates.h"

#include <QList>
#include <QRegularExpression>

namespace parlotta {

QStringList vocabularyEntries(const QString &vocabulary)
{
    static const QRegularExpression separators(QStringLiteral("[\\n\\r,;]"));
    QStringList entries;
    for (const QString &part : vocabulary.split(separators)) {
        const QString entry = part.simplified();
        if (!entry.isEmpty())
            entries << entry;
    }
    return entries;
}

Prompt vocabularyPrompt(const QString &vocabulary)
{
    Prompt prompt;
    prompt.text = vocabularyEntries(vocabulary).join(QStringLiteral(", "));
    if (prompt.text.size() <= promptCharacterLimit)
        return prompt;
    qsizetype cut = prompt.text.lastIndexOf(u' ', promptCharacterLimit);
    if (cut <= 0)
        cut = promptCharacterLimit;
    QString sent = prompt.text.left(cut);
    while (sent.endsWith(u',') || sent.endsWith(u' '))
        sent.chop(1);
    prompt.left = prompt.text.size() - sent.size();
    prompt.leftOut = prompt.text.mid(sent.size());
    while (prompt.leftOut.startsWith(u',') || prompt.leftOut.startsWith(u' '))
        prompt.leftOut.remove(0, 1);
    prompt.text = sent;
    return prompt;
}

std::optional<QString> echoGate(const QString &transcript, const QString &prompt, float level)
{
    const QStringList said =
        normaliseForHallucinationTest(transcript).split(u' ', Qt::SkipEmptyParts);
    if (said.isEmpty())
        return std::nullopt;
    // The prompt's words, each with the entry it belongs to.
    QStringList words;
    QList<int> entryOf;
    const QStringList entries = prompt.split(u',');
    for (int e = 0; e < entries.size(); ++e) {
        for (const QString &word :
             normaliseForHallucinationTest(entries[e]).split(u' ', Qt::SkipEmptyParts)) {
            words << word;
            entryOf << e;
        }
    }
    const qsizetype entryCount = entries.size();
    for (qsizetype start = 0; start + said.size() <= words.size(); ++start) {
        if (words.mid(start, said.size()) != said)
            continue;
        // Whisper reads its prompt back on near-silent audio; a user says their
        // terms at speech level, one or a few at a time. Only a run covering
        // most of a longer prompt is an echo however loud it was.
        const int covered = entryOf[start + said.size() - 1] - entryOf[start] + 1;
        const bool mostOfPrompt = covered >= 3 && 2 * covered > entryCount;
        if (level < echoLevel || mostOfPrompt)
            return QString::asprintf(
                "Transcript repeats the vocabulary (best avg %.1f dB), skipping paste",
                double(level));
    }
    return std::nullopt;
}

} // namespace parlotta

// What gets typed, from any transcript and any stored lists (a hand-edited
// preferences file): the lists read back as they are stored, a terminal gets
// no line break it did not ask for, and with every rule off the transcript
// is typed byte for byte.
#include "dictation/text_pipeline.h"

#include <cstdint>
#include <cstdlib>

using namespace parlotta;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // transcript NUL replacements NUL rules, the lists as stored (JSON).
    const QList<QByteArray> parts =
        QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).split('\0');
    const QString transcript = QString::fromUtf8(parts.value(0));
    TextSettings settings;
    settings.replacements = readReplacements(QString::fromUtf8(parts.value(1)));
    settings.rules = readRules(QString::fromUtf8(parts.value(2)));
    settings.spokenPunctuation = true;
    if (readReplacements(storedReplacements(settings.replacements)) != settings.replacements ||
        readRules(storedRules(settings.rules)) != settings.rules)
        std::abort();
    for (const char *language : {"en", "auto", "es"}) {
        const TextTarget terminal{QStringLiteral("kitty"), true, true, QStringLiteral("x")};
        const Delivery typed =
            processTranscript(transcript, QString::fromLatin1(language), terminal, settings);
        const ApplicationRule *rule = ruleFor(settings.rules, QStringLiteral("kitty"));
        if (typed.text.contains(u'\n') && !(rule && rule->lineBreaks))
            std::abort();
    }
    const TextSettings off{{}, false, false, false, {}};
    if (processTranscript(transcript, QStringLiteral("en"), {}, off).text != transcript)
        std::abort();
    return 0;
}

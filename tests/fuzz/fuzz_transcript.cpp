// What whisper-server (or whatever answers on its port) sends back: the body
// becomes the transcript, which the blank, vocabulary and hallucination gates
// judge; taken as a vocabulary too, it shows what its prompt may be.
#include "dictation/gates.h"
#include "dictation/multipart.h"
#include "dictation/vocabulary.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

using namespace Qt::StringLiterals;

using namespace parlotta;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    // The first four bytes are the recording's level, the rest the body.
    float level = -160.0f;
    if (size >= sizeof level) {
        std::memcpy(&level, data, sizeof level);
        data += sizeof level;
        size -= sizeof level;
    }
    const QByteArray body(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString transcript = transcriptFromBody(body);
    // Read as an answer: a transcript or why it is none, never both.
    const TranscriptAnswer answer = transcriptFromAnswer(body);
    if (answer.transcript.has_value() == !answer.problem.isEmpty())
        std::abort();
    // Trimmed: nothing blank is left at either end.
    if (!transcript.isEmpty() && (transcript.front().isSpace() || transcript.back().isSpace()))
        std::abort();
    const bool blank = blankGate(transcript).has_value();
    const bool hallucination = hallucinationGate(transcript, level).has_value();
    if (blank && !transcript.isEmpty() && transcript != blankMarker)
        std::abort();
    // Only quiet recordings are ever suspected.
    if (hallucination && !(level < hallucinationLevel))
        std::abort();
    // The prompt is what the vocabulary held, cut to what whisper reads; read
    // back on quiet audio it is always taken for an echo; no vocabulary, no echo.
    const Prompt prompt = vocabularyPrompt(transcript);
    if (prompt.text.size() > promptCharacterLimit)
        std::abort();
    const bool words = !normaliseForHallucinationTest(prompt.text).trimmed().isEmpty();
    if (echoGate(prompt.text, prompt.text, -60.0f).has_value() != words)
        std::abort();
    if (echoGate(transcript, QString(), level).has_value())
        std::abort();
    // One word of it said at speech level is the user's, never an echo.
    const QString first = prompt.text.section(u',', 0, 0).simplified().section(u' ', 0, 0);
    if (echoGate(first, prompt.text, -30.0f).has_value())
        std::abort();
    const QString normal = normaliseForHallucinationTest(transcript);
    if (normal.contains(u"  "_s) || normaliseForHallucinationTest(normal) != normal)
        std::abort();
    return 0;
}

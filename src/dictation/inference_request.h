#pragma once

#include "dictation/transcription_target.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

namespace parlotta {

// Where a recording is sent, as the transcription target says, with the key
// (a bearer token) when one goes along.
struct InferenceTarget {
    QByteArray url;
    QString server;    // as log lines name it
    QByteArray apiKey; // empty: none sent
    RequestShape shape;
};

// What is sent: the recording and the form's fields (the body is built just
// before sending).
struct InferenceForm {
    QByteArray wav;
    QString languageCode;
    QString prompt;
    QString model; // the OpenAI-compatible form's; empty for whisper.cpp's
};

struct InferenceResult {
    // NoAnswer: the local server was not there or went quiet ("Request error: …"),
    // read as an empty answer. Failed: "Transcription failed: …" was logged.
    enum class Outcome { Answered, Failed, NotSent, NoAnswer };
    Outcome outcome = Outcome::Failed;
    QString transcript; // decoded as UTF-8 and trimmed; empty when it was not UTF-8
    QString failure;    // what went wrong, in a few words, for the menu
};

// Posts the inference form on the inference thread and returns at once. The
// requests run one at a time in the order posted, and done is called on the
// main thread in that order. Only an answer {"text": …} with a 2xx status is a
// transcript; redirects are not followed; an answer over answerLimitBytes is
// not read. A failed request is logged; NotSent when another user's program
// holds the port on this computer it would go to (logged).
void postInference(InferenceTarget target, InferenceForm form,
                   std::function<void(const InferenceResult &result)> done);

// The WAV with silence added to make it last at least one second: whisper.cpp
// up to 1.7.5 answers nothing for less. What is not a PCM WAV is left as it is.
QByteArray paddedToOneSecond(const QByteArray &wav);

// At shutdown: stops the request in flight and drops those queued (their done
// is never called); waits up to two seconds for the one in flight to end.
void abortInference();

} // namespace parlotta

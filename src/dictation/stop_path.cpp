#include "dictation/stop_path.h"

#include "core/events.h"
#include "core/log.h"
#include "core/preferences.h"
#include "core/runtime_files.h"
#include "dictation/cues.h"
#include "dictation/gates.h"
#include "dictation/inference_request.h"
#include "dictation/multipart.h"
#include "dictation/paste.h"
#include "dictation/text_delivery.h"
#include "dictation/transcription_target.h"
#include "dictation/vocabulary.h"
#include "secrets/api_key.h"

#include <QFile>
#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace parlotta {

namespace {

constexpr qsizetype minimumFileBytes = 1001;

QList<double> pending;
QStringList recent;

void remember(const QString &transcript)
{
    if (!preferenceBool(prefKeepRecent, true)) {
        clearRecentTranscripts();
        return;
    }
    recent.prepend(transcript);
    if (recent.size() > recentTranscriptLimit)
        recent.resize(recentTranscriptLimit);
    Q_EMIT daemonEvents().recentTranscriptsChanged();
}

bool rejected(const std::optional<QString> &line)
{
    if (!line)
        return false;
    log(*line);
    playSound(soundBasso);
    return true;
}

// The finished recording, read without following a link planted in its place.
QByteArray readRecording()
{
    const int fd = openRuntimeFile(outputPath, O_RDONLY);
    if (fd < 0)
        return {};
    QFile file;
    QByteArray bytes;
    if (file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
        bytes = file.readAll();
    else
        ::close(fd);
    return bytes;
}

// The recordings whose transcription failed, oldest first, each kept until it
// goes through; the oldest goes past the limit.
struct KeptRecording {
    QByteArray wav;
    FinishedRecording recording;
    int id = 0;
    bool sending = false;
};
QList<KeptRecording> kept;
QString failure; // the last request's, until one goes through
int lastId = 0;

qsizetype keptIndex(int id)
{
    for (qsizetype i = 0; i < kept.size(); ++i)
        if (kept[i].id == id)
            return i;
    return -1;
}

void keep(const QByteArray &wav, const FinishedRecording &recording, int id, const QString &summary)
{
    if (const qsizetype at = keptIndex(id); at >= 0) {
        kept[at].sending = false; // sent again and failed again: it keeps its place
    } else {
        kept.append(KeptRecording{wav, recording, id});
        if (kept.size() > keptRecordingLimit) {
            kept.removeFirst();
            log(QStringLiteral("The oldest of %1 recordings kept after a failed transcription "
                               "was dropped")
                    .arg(keptRecordingLimit + 1));
        }
    }
    failure = summary;
    Q_EMIT daemonEvents().transcriptionFailureChanged(); // the menu shows the kept one too
}

void answered(const QString &transcript, const FinishedRecording &recording, const QString &prompt)
{
    log(QStringLiteral("Whisper response: '%1'").arg(transcript));
    if (rejected(blankGate(transcript)) ||
        rejected(echoGate(transcript, prompt, recording.peakAvgPower)) ||
        rejected(hallucinationGate(transcript, recording.peakAvgPower)))
        return;
    const Delivery delivery = prepareDelivery(transcript);
    if (delivery.text.isEmpty()) {
        log(QStringLiteral("Nothing left to type once filler words are removed, skipping paste"));
        return;
    }
    if (delivery.text != transcript) // on one line, as every line of the log
        log(QStringLiteral("Typed as: '%1'")
                .arg(QString(delivery.text).replace(u'\n', QStringLiteral("\\n"))));
    // Recent keeps what was typed.
    remember(delivery.text);
    static const std::optional<KeyInjector::Keystroke> keystrokes[] = {
        std::nullopt, KeyInjector::Keystroke::ControlV, KeyInjector::Keystroke::ControlShiftV,
        KeyInjector::Keystroke::ShiftInsert};
    deliverPaste(delivery.text, keystrokes[int(delivery.paste)], delivery.pressEnter);
}

// Sends a recording to the server chosen now; id names it while it may be kept.
void send(const QByteArray &wav, const FinishedRecording &recording, int id)
{
    const TranscriptionTarget chosen = chosenTranscriptionTarget();
    const bool remote = chosen.engine == TranscriptionEngine::Remote;
    if (remote && !chosen.problem.isEmpty()) {
        log(QStringLiteral("Transcription failed: the server's address cannot be used: ") +
            chosen.problem);
        playSound(soundBasso);
        keep(wav, recording, id,
             QStringLiteral("The transcription server's address needs attention"));
        return;
    }
    const QString prompt = chosen.sendsPrompt
                               ? vocabularyPrompt(preferenceString(prefVocabulary, {})).text
                               : QString();
    InferenceTarget target{chosen.endpoint.url.toUtf8(),
                           chosen.serverName(),
                           {},
                           chosen.requestShape(recording.duration)};
    InferenceForm form{wav, chosen.languageCode, prompt, chosen.formModel};
    pending.append(recording.duration);
    Q_EMIT daemonEvents().dictationChanged();
    auto done = [wav, recording, id, prompt](const InferenceResult &result) {
        // Answers come in the order the requests were posted.
        if (!pending.isEmpty())
            pending.removeFirst();
        Q_EMIT daemonEvents().dictationChanged();
        if (result.outcome != InferenceResult::Outcome::Answered) {
            // The local server not answering reads as an empty answer, as it always has.
            if (result.outcome == InferenceResult::Outcome::NoAnswer) {
                log(QStringLiteral("Whisper response: ''"));
                rejected(blankGate({}));
            } else {
                playSound(soundBasso);
            }
            keep(wav, recording, id, result.failure);
            return;
        }
        // The menu is rebuilt only when what it shows changed: each rebuild is a round of D-Bus.
        const qsizetype at = keptIndex(id);
        if (at >= 0)
            kept.removeAt(at);
        if (at >= 0 || !failure.isEmpty()) {
            failure.clear();
            Q_EMIT daemonEvents().transcriptionFailureChanged();
        }
        answered(result.transcript, recording, prompt);
    };
    auto post = [target, form = std::move(form),
                 done = std::move(done)](const QByteArray &key) mutable {
        target.apiKey = key;
        postInference(std::move(target), std::move(form), std::move(done));
    };
    if (chosen.sendsKey)
        withApiKey(target.server, std::move(post));
    else
        post({});
}

} // namespace

void finishDictation(const FinishedRecording &recording)
{
    if (rejected(durationGate(recording.duration)) || rejected(levelGate(recording.peakAvgPower)))
        return;
    const QByteArray wav = readRecording();
    if (wav.size() < minimumFileBytes) {
        log(QStringLiteral("Audio file too small or missing"));
        playSound(soundBasso);
        return;
    }
    // The body holds the recording itself: the next recording may take the
    // file while this one is being transcribed.
    send(wav, recording, ++lastId);
}

QString transcriptionFailure()
{
    return failure;
}

qsizetype recordingsToTranscribeAgain()
{
    return std::count_if(kept.cbegin(), kept.cend(),
                         [](const KeptRecording &one) { return !one.sending; });
}

void transcribeKeptRecordingsAgain()
{
    const qsizetype count = recordingsToTranscribeAgain();
    if (count == 0)
        return;
    log(count == 1 ? QStringLiteral("Transcribing the last recording again")
                   : QStringLiteral("Transcribing the last %1 recordings again").arg(count));
    // In the order they were made, so their texts are pasted in that order.
    for (KeptRecording &one : kept) {
        if (one.sending)
            continue;
        one.sending = true;
        send(one.wav, one.recording, one.id);
    }
    Q_EMIT daemonEvents().transcriptionFailureChanged();
}

QList<double> transcriptionsPending()
{
    return pending;
}

QStringList recentTranscripts()
{
    return recent;
}

void clearRecentTranscripts()
{
    if (recent.isEmpty())
        return;
    recent.clear();
    Q_EMIT daemonEvents().recentTranscriptsChanged();
}

} // namespace parlotta

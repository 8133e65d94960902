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

#include <QFile>
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
    const QString boundary = newBoundary();
    QByteArray body = inferenceBody(boundary, wav, selectedLanguageCode());
    const float peak = recording.peakAvgPower;
    pending.append(recording.duration);
    Q_EMIT daemonEvents().dictationChanged();
    postInference(std::move(body), boundary, [peak](const std::optional<QString> &answer) {
        // Answers come in the order the requests were posted.
        if (!pending.isEmpty())
            pending.removeFirst();
        Q_EMIT daemonEvents().dictationChanged();
        if (!answer) {
            playSound(soundBasso);
            return;
        }
        const QString &transcript = *answer;
        log(QStringLiteral("Whisper response: '%1'").arg(transcript));
        if (rejected(blankGate(transcript)) || rejected(hallucinationGate(transcript, peak)))
            return;
        remember(transcript);
        deliverPaste(transcript);
    });
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

#include "dictation/stop_path.h"

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
    postInference(std::move(body), boundary, [peak](const QString &transcript) {
        log(QStringLiteral("Whisper response: '%1'").arg(transcript));
        if (rejected(blankGate(transcript)) || rejected(hallucinationGate(transcript, peak)))
            return;
        deliverPaste(transcript);
    });
}

} // namespace parlotta

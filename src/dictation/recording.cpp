#include "dictation/recording.h"

#include "core/log.h"
#include "core/runtime_files.h"
#include "core/system_error.h"
#include "dictation/stop_path.h"
#include "platform/audio.h"

#include <QTimer>
#include <fcntl.h>
#include <memory>

namespace parlotta {

float peakAvgPower = -160.0f;

namespace {

std::unique_ptr<AudioRecorder> recorder;
std::unique_ptr<QTimer> meterTimer;

void meterTick()
{
    if (!recorder)
        return;
    const float level = recorder->averagePower();
    if (peakAvgPower < level)
        peakAvgPower = level;
}

} // namespace

void requestMicrophoneAccess()
{
    queryMicrophone([](bool available) {
        log(available ? QStringLiteral("Microphone access granted")
                      : QStringLiteral("Microphone access denied"));
    });
}

void beginRecording()
{
    if (recorder) {
        log(QStringLiteral("Already recording, ignoring start"));
        return;
    }
    playSound(soundTink);
    startRecording();
}

void startRecording()
{
    peakAvgPower = -160.0f;
    // Not following a symlink planted in recording.wav's place: the recording
    // replaces the link, never the file it points to.
    const int fd = openRuntimeFile(outputPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        log(QStringLiteral("ERROR: cannot create %1: %2").arg(outputPath, systemErrorText()));
        return;
    }
    auto created = createAudioRecorder();
    QString error;
    if (!created->prepare(fd, &error)) {
        log(QStringLiteral("ERROR: ") + error);
        return;
    }
    recorder = std::move(created);
    if (!recorder->record()) {
        log(QStringLiteral("ERROR: record() returned false"));
        return;
    }
    log(QStringLiteral("Recording started"));
    meterTimer = std::make_unique<QTimer>();
    meterTimer->setTimerType(Qt::PreciseTimer);
    meterTimer->setInterval(100);
    QObject::connect(meterTimer.get(), &QTimer::timeout, meterTick);
    meterTimer->start();
    meterTick();
}

void cancelRecording()
{
    if (!recorder)
        return;
    meterTimer.reset();
    recorder->stop();
    recorder.reset();
    log(QStringLiteral("Recording cancelled (hotkey used in a key combination)"));
}

void stopRecorderForShutdown()
{
    meterTimer.reset();
    if (recorder)
        recorder->stop();
    recorder.reset();
}

bool isRecording()
{
    return recorder != nullptr;
}

void stopRecordingAndTranscribe()
{
    if (!recorder) {
        log(QStringLiteral("No active recorder"));
        return;
    }
    meterTimer.reset();
    meterTick();
    const double duration = recorder->currentTime();
    log(QString::asprintf("Stopping - duration: %.2fs, best avg: %.1f dB", duration,
                          double(peakAvgPower)));
    recorder->stop();
    recorder.reset();
    log(QStringLiteral("Recording stopped, file: ") + outputPath);
    finishDictation(duration);
}

} // namespace parlotta

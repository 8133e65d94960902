#include "dictation/recording.h"

#include "core/log.h"
#include "core/runtime_files.h"
#include "core/system_error.h"
#include "dictation/stop_path.h"
#include "platform/audio.h"

#include <QFile>
#include <QTimer>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace parlotta {

float peakAvgPower = -160.0f;

namespace {

std::unique_ptr<AudioRecorder> recorder;
std::unique_ptr<QTimer> meterTimer;

void sampleLevel()
{
    const float level = recorder->averagePower();
    if (peakAvgPower < level)
        peakAvgPower = level;
}

void meterTick()
{
    if (!recorder)
        return;
    // A recording whose sound server went away ends here, rather than staying
    // open and silent until the key is let go.
    if (const QString failure = recorder->failure(); !failure.isEmpty()) {
        meterTimer->stop();
        meterTimer.release()->deleteLater(); // we are in its timeout
        recorder->stop();
        recorder.reset();
        log(QStringLiteral("ERROR: recording ended: ") + failure);
        playSound(soundBasso);
        return;
    }
    sampleLevel();
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
    // The new recording goes to a file of its own until the recorder stands:
    // a start that fails leaves the last recording as it was. Neither open
    // nor rename follows a symlink planted in recording.wav's place.
    const QString partial = outputPath + QStringLiteral(".partial");
    const int fd = openRuntimeFile(partial, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) {
        log(QStringLiteral("ERROR: cannot create %1: %2").arg(partial, systemErrorText()));
        return;
    }
    auto created = createAudioRecorder();
    QString error;
    if (!created->prepare(fd, &error)) {
        created.reset();
        ::unlink(QFile::encodeName(partial).constData());
        log(QStringLiteral("ERROR: ") + error);
        return;
    }
    if (::rename(QFile::encodeName(partial).constData(),
                 QFile::encodeName(outputPath).constData()) != 0) {
        log(QStringLiteral("ERROR: cannot create %1: %2").arg(outputPath, systemErrorText()));
        created.reset();
        ::unlink(QFile::encodeName(partial).constData());
        return;
    }
    recorder = std::move(created);
    if (QString why; !recorder->record(&why)) {
        log(QStringLiteral("ERROR: record() returned false (%1)").arg(why));
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
    sampleLevel();
    const double duration = recorder->currentTime();
    log(QString::asprintf("Stopping - duration: %.2fs, best avg: %.1f dB", duration,
                          double(peakAvgPower)));
    recorder->stop();
    recorder.reset();
    log(QStringLiteral("Recording stopped, file: ") + outputPath);
    finishDictation({duration, peakAvgPower});
}

} // namespace parlotta

#include "dictation/recording.h"

#include "core/events.h"
#include "core/log.h"
#include "core/preferences.h"
#include "core/runtime_files.h"
#include "core/system_error.h"
#include "dictation/gates.h"
#include "dictation/stop_path.h"
#include "platform/audio.h"
#include "server/server.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace parlotta {

float peakAvgPower = -160.0f;

namespace {

std::unique_ptr<AudioRecorder> recorder;
std::unique_ptr<QTimer> meterTimer;
quint64 recordingSerial = 0;
std::function<void(float level, float peak, double seconds)> levelWatcher;

void dictationChanged()
{
    Q_EMIT daemonEvents().dictationChanged();
}

float sampleLevel()
{
    const float level = recorder->averagePower();
    if (peakAvgPower < level)
        peakAvgPower = level;
    return level;
}

// The recorder and its timer gone, whatever ended the recording.
void closeRecording()
{
    meterTimer.reset();
    if (recorder)
        recorder->stop();
    recorder.reset();
    dictationChanged();
}

void meterTick()
{
    if (!recorder)
        return;
    // A recording whose sound server went away (a restart, the only
    // microphone unplugged) ends here, rather than staying open and silent;
    // its file holds every word up to the break, so it is transcribed.
    if (const QString failure = recorder->failure(); !failure.isEmpty()) {
        meterTimer->stop();
        meterTimer.release()->deleteLater(); // we are in its timeout
        log(QStringLiteral("ERROR: recording broke off: %1; transcribing what was recorded")
                .arg(failure));
        QMetaObject::invokeMethod(
            qApp,
            [serial = recordingSerial] {
                if (recorder && serial == recordingSerial)
                    stopRecordingAndTranscribe();
            },
            Qt::QueuedConnection);
        return;
    }
    const float level = sampleLevel();
    if (levelWatcher)
        levelWatcher(level, peakAvgPower, recorder->currentTime());
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
    // A model freed while idle loads while the user speaks.
    wakeLocalServer();
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
    const QString source = preferenceString(prefMicrophone, QString());
    if (!created->prepare(fd, source, &error)) {
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
    if (created->usedDefaultInstead())
        log(QStringLiteral("Microphone %1 is not connected, recording from the system default")
                .arg(source));
    recorder = std::move(created);
    ++recordingSerial;
    dictationChanged();
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
    cancelRecordingBecause(QStringLiteral("hotkey used in a key combination"));
}

void cancelRecordingBecause(const QString &why)
{
    if (!recorder)
        return;
    closeRecording();
    log(QStringLiteral("Recording cancelled (%1)").arg(why));
}

void stopRecorderForShutdown()
{
    closeRecording();
}

bool isRecording()
{
    return recorder != nullptr;
}

double recordingSeconds()
{
    return recorder ? recorder->currentTime() : 0;
}

quint64 recordingNumber()
{
    return recordingSerial;
}

void watchRecordingLevels(std::function<void(float level, float peak, double seconds)> watcher)
{
    levelWatcher = std::move(watcher);
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
    closeRecording();
    log(QStringLiteral("Recording stopped, file: ") + outputPath);
    finishDictation({duration, peakAvgPower});
}

} // namespace parlotta

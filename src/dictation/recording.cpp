#include "dictation/recording.h"

#include "core/events.h"
#include "core/log.h"
#include "core/preferences.h"
#include "core/runtime_files.h"
#include "core/system_error.h"
#include "dictation/gates.h"
#include "dictation/stop_path.h"
#include "platform/audio.h"

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
double toggledRecordingLimit = 600;

namespace {

std::unique_ptr<AudioRecorder> recorder;
std::unique_ptr<QTimer> meterTimer;

// A toggled recording's own ends. Silence counts only once speech was heard:
// a user still gathering their words is not cut off.
struct Toggled {
    bool on = false;
    int silenceLimit = 0; // seconds; 0: never
    bool heardSpeech = false;
    double lastSound = 0; // recorded seconds at the last sample above the silence level
};
Toggled toggled;
quint64 recordingSerial = 0;

// Below this, a sample is silence: the level gate's, or well below the
// loudest speech so far in a room whose background is louder than that.
constexpr float silenceBelowPeak = 25.0f;

void dictationChanged()
{
    Q_EMIT daemonEvents().dictationChanged();
}

// Ends the open recording from one of its own meter ticks, once the tick has returned.
void stopLater(const QString &line)
{
    toggled.on = false;
    QMetaObject::invokeMethod(
        qApp,
        [line, serial = recordingSerial] {
            if (!recorder || serial != recordingSerial)
                return;
            log(line);
            stopRecordingAndTranscribe();
        },
        Qt::QueuedConnection);
}

void watchToggled(float level)
{
    const double seconds = recorder->currentTime();
    if (seconds >= toggledRecordingLimit) {
        stopLater(QStringLiteral("Recording reached the %1-minute limit, stopping")
                      .arg(toggledRecordingLimit / 60, 0, 'g', 3));
        return;
    }
    if (toggled.silenceLimit <= 0)
        return;
    if (level >= std::max(quietLevel, peakAvgPower - silenceBelowPeak)) {
        toggled.lastSound = seconds;
        toggled.heardSpeech = toggled.heardSpeech || level > quietLevel;
    } else if (toggled.heardSpeech && seconds - toggled.lastSound >= toggled.silenceLimit) {
        stopLater(
            QStringLiteral("Silence for %1 s after speech, stopping").arg(toggled.silenceLimit));
    }
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
    toggled = {};
    dictationChanged();
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
        closeRecording();
        log(QStringLiteral("ERROR: recording ended: ") + failure);
        playSound(soundBasso);
        return;
    }
    const float level = sampleLevel();
    if (toggled.on)
        watchToggled(level);
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
    ++recordingSerial; // toggled was reset when the last recording closed
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

void latchRecording()
{
    if (!recorder || toggled.on)
        return;
    const StoredInteger silence = preferenceInteger(prefStopAfterSilence);
    toggled = {true, int(std::clamp<qint64>(silence.value.value_or(0), 0, 10)), false, 0};
    log(toggled.silenceLimit
            ? QStringLiteral("Recording until the hotkey is pressed again or %1 s of silence")
                  .arg(toggled.silenceLimit)
            : QStringLiteral("Recording until the hotkey is pressed again"));
}

bool isToggledRecording()
{
    return recorder && toggled.on;
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

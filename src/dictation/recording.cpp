#include "dictation/recording.h"

#include "core/events.h"
#include "core/log.h"
#include "core/preferences.h"
#include "core/runtime_files.h"
#include "core/system_error.h"
#include "core/threads.h"
#include "dictation/gates.h"
#include "dictation/stop_path.h"
#include "platform/audio.h"
#include "server/server.h"

#include <QCoreApplication>
#include <QFile>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <future>
#include <memory>
#include <optional>
#include <unistd.h>

namespace parlotta {

float peakAvgPower = -160.0f;

namespace {

std::shared_ptr<AudioRecorder> recorder;
std::unique_ptr<QTimer> meterTimer;
// A start whose microphone the sound server is still opening, on a thread of
// its own: a server that takes seconds to answer (or hangs) leaves the tray,
// the window and the hotkey running meanwhile. A release or a cancel that
// comes first is carried out once the answer is in.
struct Opening {
    quint64 serial;
    bool stopWhenOpen = false;
};
std::optional<Opening> opening;
bool openingUnderWay = false; // until the answer is in, even for a cancelled start
std::shared_future<void> openingDone;
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

void microphoneOpened(const std::shared_ptr<AudioRecorder> &created, bool ready,
                      const QString &error, quint64 serial, const QString &partial,
                      const QString &source);

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
    if (isRecording()) {
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
    if (openingUnderWay) {
        log(QStringLiteral("The sound server has not answered the last start yet, ignoring start"));
        return;
    }
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
    std::shared_ptr<AudioRecorder> created = createAudioRecorder();
    const QString source = preferenceString(prefMicrophone, QString());
    const quint64 serial = ++recordingSerial;
    opening = Opening{serial};
    openingUnderWay = true;
    auto done = std::make_shared<std::promise<void>>();
    openingDone = done->get_future().share();
    dictationChanged();
    startThread(QStringLiteral("Microphone"), [created, fd, source, serial, partial, done] {
        QString error;
        const bool ready = created->prepare(fd, source, &error);
        QMetaObject::invokeMethod(
            qApp, [=] { microphoneOpened(created, ready, error, serial, partial, source); },
            Qt::QueuedConnection);
        done->set_value();
    });
}

namespace {

void microphoneOpened(const std::shared_ptr<AudioRecorder> &created, bool ready,
                      const QString &error, quint64 serial, const QString &partial,
                      const QString &source)
{
    openingUnderWay = false;
    const bool wanted = opening && opening->serial == serial;
    const bool stopNow = wanted && opening->stopWhenOpen;
    opening.reset();
    const auto discard = [&] {
        created->stop();
        ::unlink(QFile::encodeName(partial).constData());
    };
    if (!wanted) { // cancelled while the sound server answered
        discard();
        return;
    }
    if (!ready) {
        discard();
        log(QStringLiteral("ERROR: ") + error);
        dictationChanged();
        return;
    }
    if (::rename(QFile::encodeName(partial).constData(),
                 QFile::encodeName(outputPath).constData()) != 0) {
        log(QStringLiteral("ERROR: cannot create %1: %2").arg(outputPath, systemErrorText()));
        discard();
        dictationChanged();
        return;
    }
    if (created->usedDefaultInstead())
        log(QStringLiteral("Microphone %1 is not connected, recording from the system default")
                .arg(source));
    recorder = created;
    dictationChanged();
    if (QString why; !recorder->record(&why)) {
        log(QStringLiteral("ERROR: record() returned false (%1)").arg(why));
    } else {
        log(QStringLiteral("Recording started"));
        meterTimer = std::make_unique<QTimer>();
        meterTimer->setTimerType(Qt::PreciseTimer);
        meterTimer->setInterval(100);
        QObject::connect(meterTimer.get(), &QTimer::timeout, meterTick);
        meterTimer->start();
        meterTick();
    }
    if (stopNow && recorder && recordingSerial == serial)
        stopRecordingAndTranscribe();
}

} // namespace

void cancelRecording()
{
    cancelRecordingBecause(QStringLiteral("hotkey used in a key combination"));
}

void cancelRecordingBecause(const QString &why)
{
    if (!isRecording())
        return;
    opening.reset();
    closeRecording();
    log(QStringLiteral("Recording cancelled (%1)").arg(why));
}

void stopRecorderForShutdown()
{
    opening.reset();
    // A sound server still answering is given its bounded time, so that the
    // connection is not torn down under the thread that waits for it.
    if (openingUnderWay)
        openingDone.wait_for(std::chrono::seconds(5));
    closeRecording();
}

bool isRecording()
{
    return recorder != nullptr || opening.has_value();
}

bool microphoneOpening()
{
    return openingUnderWay;
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
    if (!recorder && opening) {
        opening->stopWhenOpen = true;
        return;
    }
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

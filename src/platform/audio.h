#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <functional>
#include <memory>

namespace parlotta {

// Records a source of the sound server as 16 kHz mono 16-bit PCM into a WAV file.
class AudioRecorder {
  public:
    virtual ~AudioRecorder() = default;
    // Connects to the source of that name (empty: the default one), ready to
    // record into fd (which it then owns). A named source that is not there
    // gives way to the default one (usedDefaultInstead). False with a
    // description when there is no sound server or no source.
    virtual bool prepare(int fd, const QString &source, QString *error) = 0;
    virtual bool usedDefaultInstead() const = 0;
    // Starts capturing; false with the reason when the prepared stream cannot start.
    virtual bool record(QString *error) = 0;
    // Seconds of audio captured so far.
    virtual double currentTime() const = 0;
    // Average power of the latest 100 ms of samples, dBFS in -160...0.
    virtual float averagePower() const = 0;
    // Why the recording cannot go on (the sound server went away, the source
    // was removed), or an empty text while it can.
    virtual QString failure() const = 0;
    // Stops capturing and completes the WAV header; idempotent.
    virtual void stop() = 0;
};

std::unique_ptr<AudioRecorder> createAudioRecorder();

// An input of the sound server: its stable name, and the description it shows people.
struct AudioSource {
    QString name;
    QString description;
    bool operator==(const AudioSource &) const = default;
};

// Follows the sound server's inputs while a window shows them; ends with the object.
class AudioSourceWatch {
  public:
    virtual ~AudioSourceWatch() = default;
    // Whose level is reported: the source of that name, empty for the default one.
    virtual void watchLevel(const QString &source) = 0;
};
using SourcesChanged = std::function<void(const QList<AudioSource> &sources)>;
using LevelChanged = std::function<void(float dbfs)>;
// sources runs on the main thread with every input but the monitors of
// outputs, at once and after every change; level about ten times a second
// with the watched source's average power (dBFS, -160 for silence). Null
// where there is no sound server.
std::unique_ptr<AudioSourceWatch> watchAudioSources(SourcesChanged sources, LevelChanged level);

// Plays short cues on the sound server's default sink, never blocking for long.
class CuePlayer {
  public:
    virtual ~CuePlayer() = default;
    // Plays a WAV file's bytes from the start; the same cue still sounding is cut off first.
    virtual void play(const QString &name, const QByteArray &wav) = 0;
};

CuePlayer &cuePlayer();

// Answers, later and on some other thread, whether a default audio input exists.
void queryMicrophone(std::function<void(bool available)> answer);

} // namespace parlotta

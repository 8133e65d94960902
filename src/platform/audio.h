#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

namespace parlotta {

// Records the sound server's default source as 16 kHz mono 16-bit PCM into a WAV file.
class AudioRecorder {
  public:
    virtual ~AudioRecorder() = default;
    // Connects to the default source, ready to record into fd (which it then owns).
    // False with a description when there is no sound server or no source.
    virtual bool prepare(int fd, QString *error) = 0;
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

#pragma once

#include "dictation/cues.h"

#include <QString>
#include <functional>

namespace parlotta {

// The loudest 100 ms average level of the current recording, dBFS.
extern float peakAvgPower;

// Asks whether a microphone can be used; the answer is logged when it arrives.
void requestMicrophoneAccess();

// Starts a recording unless one is open (then logs "Already recording, ignoring start").
void beginRecording();
// Creates the recorder, has the sound server open the microphone on a thread
// of its own, then starts it and its level meter.
void startRecording();
// Abandons an open recording without transcribing it; the file stays.
void cancelRecording();
// The same, logging "Recording cancelled (" + why + ")".
void cancelRecordingBecause(const QString &why);
// Stops the recorder without transcribing, for shutdown; the file stays.
void stopRecorderForShutdown();
// Whether a recording is open (from the press, while the microphone opens, to its stop).
bool isRecording();
// Whether the sound server has yet to answer a start, a cancelled one included.
bool microphoneOpening();
// Seconds recorded so far by the open recording, 0 when none is open.
double recordingSeconds();

// Which recording is open: a new number for each.
quint64 recordingNumber();
// Told the level of each 100 ms the open recording takes (dBFS), the loudest
// so far and the seconds recorded: its cap and its silence are decided there.
void watchRecordingLevels(std::function<void(float level, float peak, double seconds)> watcher);

// Stops the recording, transcribes it and pastes the result (the rest of the
// path is finishDictation, stop_path.h).
void stopRecordingAndTranscribe();

} // namespace parlotta

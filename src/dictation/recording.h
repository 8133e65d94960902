#pragma once

#include "dictation/cues.h"

namespace parlotta {

// The loudest 100 ms average level of the current recording, dBFS.
extern float peakAvgPower;

// Asks whether a microphone can be used; the answer is logged when it arrives.
void requestMicrophoneAccess();

// Plays a cue from its start, cutting off the same cue if it is still sounding.
void playSound(const Sound &sound);

// Starts a recording unless one is open (then logs "Already recording, ignoring start").
void beginRecording();
// Creates and starts the recorder and its level meter.
void startRecording();
// Abandons an open recording without transcribing it; the file stays.
void cancelRecording();
// Stops the recorder without transcribing, for shutdown; the file stays.
void stopRecorderForShutdown();

// Stops the recording, transcribes it and pastes the result.
void stopRecordingAndTranscribe();
// The stop path once the recorder has stopped: gates, upload, paste.
void finishDictation(double duration);

} // namespace parlotta

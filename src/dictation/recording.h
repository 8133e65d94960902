#pragma once

namespace parlotta {

// Asks whether a microphone can be used; the answer arrives later and is logged.
void requestMicrophoneAccess();

// Starts a recording unless one is open (then logs "Already recording, ignoring start").
void beginRecording();

// Stops the recorder without transcribing, for shutdown; the file stays.
void stopRecorderForShutdown();

// Stops the recording, transcribes it and pastes the result.
void stopRecordingAndTranscribe();

} // namespace parlotta

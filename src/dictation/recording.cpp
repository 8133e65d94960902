#include "dictation/recording.h"

namespace parlotta {

// The recorder arrives with the audio backend; until then these do nothing.
void requestMicrophoneAccess() {}
void beginRecording() {}
void stopRecorderForShutdown() {}
void stopRecordingAndTranscribe() {}

} // namespace parlotta

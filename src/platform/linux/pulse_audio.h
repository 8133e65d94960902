#pragma once

#include "platform/audio.h"

namespace parlotta {

// The sound server's side of every session: recording, cues and the
// microphone question, over PulseAudio (or PipeWire's PulseAudio server).
std::unique_ptr<AudioRecorder> createPulseRecorder();
CuePlayer &pulseCuePlayer();
void queryPulseMicrophone(std::function<void(bool available)> answer);

} // namespace parlotta

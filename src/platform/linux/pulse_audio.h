#pragma once

#include "platform/audio.h"
#include "platform/platform.h"

namespace parlotta {

// The sound server's side of every session: recording, cues and the
// microphone question, over PulseAudio (or PipeWire's PulseAudio server).
std::unique_ptr<AudioRecorder> createPulseRecorder();
CuePlayer &pulseCuePlayer();
void queryPulseMicrophone(std::function<void(bool available)> answer);
std::unique_ptr<AudioSourceWatch> watchPulseSources(SourcesChanged sources, LevelChanged level);

// The audio services every Linux session shares; the desktop's own services
// derive from it.
class PulseAudioServices : public PlatformServices {
  public:
    std::unique_ptr<AudioRecorder> createAudioRecorder() override
    {
        return createPulseRecorder();
    }
    CuePlayer &cuePlayer() override
    {
        return pulseCuePlayer();
    }
    void queryMicrophone(std::function<void(bool available)> answer) override
    {
        queryPulseMicrophone(std::move(answer));
    }
    std::unique_ptr<AudioSourceWatch> watchAudioSources(SourcesChanged sources,
                                                        LevelChanged level) override
    {
        return watchPulseSources(std::move(sources), std::move(level));
    }
};

} // namespace parlotta

#pragma once

namespace parlotta {

// The stop path once the recorder has stopped: the gates, the upload to
// whisper-server and, when its answer comes back, the paste; each dropped
// dictation ends with the Basso cue. Returns once the request is on its way.
void finishDictation(double duration);

} // namespace parlotta

#pragma once

namespace parlotta {

// The stop path once the recorder has stopped: the gates, the upload to
// whisper-server and the paste, each dropped dictation ending with the Basso cue.
void finishDictation(double duration);

} // namespace parlotta

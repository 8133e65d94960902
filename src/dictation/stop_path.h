#pragma once

#include <QList>
#include <QStringList>

namespace parlotta {

// What the stop path needs to know of a recording that has just stopped.
struct FinishedRecording {
    double duration = 0;       // seconds
    float peakAvgPower = -160; // the loudest 100 ms average level, dBFS
};

// The stop path once the recorder has stopped: the gates, the upload to
// whisper-server and, when its answer comes back, the paste; each dropped
// dictation ends with the Basso cue. Returns once the request is on its way.
void finishDictation(const FinishedRecording &recording);

// A transcription that failed leaves its recording kept (the last 10), whatever
// the server: the menu offers to send them again, and says what went wrong
// until a request goes through. Empty: nothing failed since. Every recording
// ends at the 10-minute cap (19.2 MB), so kept ones take 192 MB at most, and
// sent again they add one request body at a time.
inline constexpr qsizetype keptRecordingLimit = 10;
QString transcriptionFailure();
// The kept recordings not on their way again already.
qsizetype recordingsToTranscribeAgain();
// Sends each of those again, oldest first, to the server chosen now.
void transcribeKeptRecordingsAgain();

// The seconds of speech of each recording sent and not yet answered, oldest first.
QList<double> transcriptionsPending();

// The last transcripts that passed the gates, newest first, whether or not
// their paste landed: in memory only, and none while the user turned it off.
inline constexpr qsizetype recentTranscriptLimit = 10;
QStringList recentTranscripts();
void clearRecentTranscripts();

} // namespace parlotta

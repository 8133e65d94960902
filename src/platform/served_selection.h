#pragma once

#include <QElapsedTimer>
#include <mutex>

namespace parlotta {

// Whether a paste target has read the transcript a selection serves: noted by
// the thread that serves it, asked by the main thread. Every backend's answer
// to Clipboard::pasteRead().
class TranscriptReads {
  public:
    // New content is served; its reads count when it is a transcript.
    void serve(bool transcript);
    // A paste target asked for one of the formats served now.
    void noteRead();
    // Read at least once, and graceAfterReadMs have passed since the last read
    // (a target may ask for a second format right after the first).
    bool pasteRead() const;

  private:
    mutable std::mutex mutex;
    bool transcript = false;
    int reads = 0;
    QElapsedTimer lastRead;
};

} // namespace parlotta

#include "platform/served_selection.h"
#include "platform/clipboard.h"

namespace parlotta {

void TranscriptReads::serve(bool isTranscript)
{
    std::lock_guard lock(mutex);
    transcript = isTranscript;
    reads = 0;
}

void TranscriptReads::noteRead()
{
    std::lock_guard lock(mutex);
    if (!transcript)
        return;
    ++reads;
    lastRead.start();
}

bool TranscriptReads::pasteRead() const
{
    std::lock_guard lock(mutex);
    return reads > 0 && lastRead.elapsed() >= graceAfterReadMs;
}

} // namespace parlotta

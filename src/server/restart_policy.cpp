#include "server/restart_policy.h"

#include <algorithm>

namespace parlotta {

RestartPolicy::Decision RestartPolicy::serverEnded(bool quick, bool usedGpu)
{
    Decision decision;
    quickFailures = quick ? quickFailures + 1 : 0;
    // A GPU whose driver makes the server fail at once must not leave the user
    // without dictation: after two such failures in a row it runs on the CPU.
    gpuQuickFailures = quick && !noGpu && usedGpu ? gpuQuickFailures + 1 : 0;
    if (gpuQuickFailures == 2) {
        noGpu = true;      // which also stops the GPU count
        quickFailures = 1; // the CPU gets its own first try
        decision.toCpu = true;
    }
    decision.keepsFailing = !decision.toCpu && quickFailures == 2;
    // 3 s after a server that ran, or after its first quick failure; then
    // twice as long after each further one in a row, up to 5 minutes: a server
    // that cannot start must not reload a large model every 3 s all day.
    int delay = restartDelayMs;
    for (int i = 1; i < quickFailures && delay < longestRestartDelayMs; ++i)
        delay *= 2;
    decision.delayMs = std::min(delay, longestRestartDelayMs);
    return decision;
}

void RestartPolicy::reset()
{
    *this = RestartPolicy();
}

} // namespace parlotta

#pragma once

namespace parlotta {

// When a whisper-server that ended on its own is started again, and whether
// it is given the GPU. Pure: the supervisor tells it how each server ended.
class RestartPolicy {
  public:
    struct Decision {
        int delayMs = 0;
        // The GPU made the server fail twice in a row: it runs on the CPU from now on.
        bool toCpu = false;
        // The second quick failure in a row: the waits grow from now on.
        bool keepsFailing = false;
    };

    // A server ended that we did not stop. quick: it failed soon after its
    // launch (not killed from outside); usedGpu: it was set to compute on a GPU.
    Decision serverEnded(bool quick, bool usedGpu);
    // Asked for by the user (SIGHUP, another model): a fresh start, GPU included.
    void reset();
    bool gpuDisabled() const
    {
        return noGpu;
    }

    static constexpr int restartDelayMs = 3000;
    static constexpr int longestRestartDelayMs = 300000;

  private:
    int quickFailures = 0;
    int gpuQuickFailures = 0;
    bool noGpu = false;
};

} // namespace parlotta

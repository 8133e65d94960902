#include "core/signal_mask.h"

#include <initializer_list>
#include <pthread.h>

namespace parlotta {

sigset_t controlSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGUSR1, SIGUSR2, SIGTERM, SIGHUP})
        sigaddset(&set, sig);
    return set;
}

void blockControlSignals()
{
    const sigset_t set = controlSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void resetSignalsInChild()
{
    const sigset_t set = controlSignals();
    for (int sig : {SIGUSR1, SIGUSR2, SIGTERM, SIGHUP})
        std::signal(sig, SIG_DFL);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

} // namespace parlotta

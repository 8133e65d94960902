#include "core/daemon.h"

#include "core/log.h"
#include "core/runtime_files.h"

#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>
#include <unistd.h>

namespace parlotta {

DaemonHooks daemonHooks;

namespace {

sigset_t controlSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : {SIGUSR1, SIGUSR2, SIGTERM, SIGHUP})
        sigaddset(&set, sig);
    return set;
}

void call(const std::function<void()> &hook)
{
    if (hook)
        hook();
}

void handleSignal(int sig)
{
    switch (sig) {
    case SIGUSR1:
        log(QStringLiteral("Received SIGUSR1 \u2192 start recording"));
        call(daemonHooks.beginRecording);
        break;
    case SIGUSR2:
        log(QStringLiteral("Received SIGUSR2 \u2192 stop + transcribe"));
        call(daemonHooks.stopRecordingAndTranscribe);
        break;
    case SIGTERM:
        shutdown();
    case SIGHUP:
        log(QStringLiteral("Received SIGHUP \u2192 reloading model"));
        call(daemonHooks.stopWhisperServer);
        call(daemonHooks.startWhisperServer);
        call(daemonHooks.rebuildModelPopup);
        break;
    default:
        break;
    }
}

} // namespace

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

void installSignalHandlers()
{
    const sigset_t set = controlSignals();
    const int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0)
        return;
    // Lives as long as the process; a pending signal is read once per wake-up,
    // so a burst of the same signal may run its handler once.
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [fd] {
        signalfd_siginfo info{};
        while (read(fd, &info, sizeof info) == ssize_t(sizeof info))
            handleSignal(int(info.ssi_signo));
    });
}

void shutdown()
{
    call(daemonHooks.stopRecorderForShutdown);
    call(daemonHooks.stopWhisperServer);
    log(QStringLiteral("Daemon shutting down"));
    unlink(pidPath.toLocal8Bit().constData());
    closeLog();
    std::fflush(nullptr);
    // No static destructors: other threads (the key listener, the network
    // worker) may still be running and must not see Qt torn down under them.
    _exit(0);
}

} // namespace parlotta

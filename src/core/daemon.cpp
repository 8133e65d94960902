#include "core/daemon.h"

#include "core/log.h"
#include "core/runtime_files.h"
#include "core/system_error.h"

#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>
#include <unistd.h>

namespace parlotta {

namespace {

void handleSignal(int sig)
{
    switch (sig) {
    case SIGUSR1:
        log(QStringLiteral("Received SIGUSR1 \u2192 start recording"));
        onStartSignal();
        break;
    case SIGUSR2:
        log(QStringLiteral("Received SIGUSR2 \u2192 stop + transcribe"));
        onStopSignal();
        break;
    case SIGTERM:
        shutdown();
    case SIGHUP:
        log(QStringLiteral("Received SIGHUP \u2192 reloading model"));
        onReloadSignal();
        break;
    default:
        break;
    }
}

} // namespace

bool installSignalHandlers(QString *error)
{
    const sigset_t set = controlSignals();
    const int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) {
        *error = QStringLiteral("cannot receive the control signals: ") + systemErrorText();
        return false;
    }
    // Lives as long as the process; a pending signal is read once per wake-up,
    // so a burst of the same signal may run its handler once.
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [fd] {
        signalfd_siginfo info{};
        while (read(fd, &info, sizeof info) == ssize_t(sizeof info))
            handleSignal(int(info.ssi_signo));
    });
    return true;
}

void shutdown()
{
    onShutdown();
    log(QStringLiteral("Daemon shutting down"));
    unlink(pidPath.toLocal8Bit().constData());
    closeLog();
    std::fflush(nullptr);
    // No static destructors: other threads (the key listener, the network
    // worker) may still be running and must not see Qt torn down under them.
    _exit(0);
}

} // namespace parlotta

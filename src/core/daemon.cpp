#include "core/daemon.h"

#include "core/events.h"
#include "core/log.h"
#include "core/preferences.h"
#include "core/runtime_files.h"
#include "core/system_error.h"

#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <initializer_list>
#include <sys/signalfd.h>
#include <unistd.h>

namespace parlotta {

namespace {

void handleSignal(int sig)
{
    switch (sig) {
    case SIGUSR1:
        log(QStringLiteral("Received SIGUSR1 \u2192 start recording"));
        Q_EMIT daemonEvents().startRequested();
        break;
    case SIGUSR2:
        log(QStringLiteral("Received SIGUSR2 \u2192 stop + transcribe"));
        Q_EMIT daemonEvents().stopRequested();
        break;
    case SIGTERM:
        shutdown();
    case SIGHUP:
        log(QStringLiteral("Received SIGHUP \u2192 reloading model"));
        Q_EMIT daemonEvents().reloadRequested();
        break;
    default:
        break;
    }
}

// A signalfd for the signals in sigs, read on the main thread for the life of
// the process; a pending signal is read once per wake-up, so a burst of the
// same signal may run its handler once. -1 when it cannot be made.
int listen(std::initializer_list<int> sigs)
{
    sigset_t set;
    sigemptyset(&set);
    for (int sig : sigs)
        sigaddset(&set, sig);
    const int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0)
        return -1;
    auto *notifier = new QSocketNotifier(fd, QSocketNotifier::Read);
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [fd] {
        signalfd_siginfo info{};
        while (read(fd, &info, sizeof info) == ssize_t(sizeof info))
            handleSignal(int(info.ssi_signo));
    });
    return fd;
}

} // namespace

bool installSignalHandlers(QString *error)
{
    if (listen({SIGTERM, SIGUSR1, SIGUSR2, SIGHUP}) < 0) {
        *error = QStringLiteral("cannot receive the control signals: ") + systemErrorText();
        return false;
    }
    return true;
}

void shutdown()
{
    Q_EMIT daemonEvents().shuttingDown();
    log(QStringLiteral("Daemon shutting down"));
    savePreferencesNow(); // nothing set is lost at quit
    unlink(pidPath.toLocal8Bit().constData());
    closeLog();
    std::fflush(nullptr);
    // No static destructors: other threads (the key listener, the network
    // worker) may still be running and must not see Qt torn down under them.
    _exit(0);
}

} // namespace parlotta

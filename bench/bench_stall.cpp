// The main thread's longest stall through dictations and their pastes on each
// desktop the daemon serves: a 1 ms timer's worst lateness, which the daemon
// measures itself under PARLOTTA_STALL_PROBE (from 3 s after start-up to its
// exit). X11 is the headless desktop's own display; sway and KWin (fake input,
// and the portal where no desktop entry grants it) are started headless as
// the Wayland tests start them. Run inside the headless desktop:
//   tests/support/headless-desktop.sh build/bench/bench_stall [ROUNDS]
#include "daemon_process.h"
#include "desktop_helpers.h"
#include "desktop_session.h"

#include <QCoreApplication>
#include <QThread>
#include <csignal>
#include <cstdio>

namespace {

// The daemon's longest stall over `rounds` dictations, in ms; -1 when a step failed.
double measure(const QString &pasted, int rounds, const QString &speech)
{
    PasteTarget window;
    if (!window.start({QStringLiteral("--own-clipboard")}))
        return -1;
    DaemonProcess daemon;
    daemon.setEnvironment(QStringLiteral("PARLOTTA_STALL_PROBE"), QStringLiteral("1"));
    daemon.installModel(QStringLiteral("hello"));
    if (!daemon.start() || !waitForWhisperServer())
        return -1;
    QThread::msleep(3500); // the probe starts 3 s after start-up
    for (int i = 0; i < rounds; ++i)
        if (!daemon.dictate(speech, pasted, 30000)) {
            std::fprintf(stderr, "no \"%s\" in round %d\n", qPrintable(pasted), i + 1);
            return -1;
        }
    daemon.sendSignal(SIGTERM);
    if (!daemon.waitForExit())
        return -1;
    const QString line =
        lastLineStartingWith(daemon, QStringLiteral("Main thread's longest stall: "));
    return line.section(u' ', 4, 4).toDouble();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    const QString speech = makeSpeech(QStringLiteral("hello world"));
    struct Backend {
        const char *name;
        QString session; // wayland-session.sh's kind; empty: X11
        QString pasted;
    };
    const Backend backends[] = {
        {"X11 (XTest)", {}, QStringLiteral("Clipboard restored")},
        {"sway (virtual keyboard)", QStringLiteral("sway"), QStringLiteral("Clipboard restored")},
        {"KWin (fake input)", QStringLiteral("kwin"), QStringLiteral("Clipboard restored")},
        {"KWin (remote desktop portal)", QStringLiteral("kwin-unlisted"),
         QStringLiteral("Clipboard restored")},
    };
    std::printf("main thread's longest stall over %d dictations and pastes\n", rounds);
    int status = 0;
    for (const Backend &backend : backends) {
        Session session;
        bool started = true;
        if (!backend.session.isEmpty())
            started = session.compositor(backend.session);
        const double worst = started ? measure(backend.pasted, rounds, speech) : -1;
        if (worst < 0) {
            std::printf("  %-30s  failed\n", backend.name);
            status = 1;
        } else {
            std::printf("  %-30s  %7.1f ms\n", backend.name, worst);
        }
        std::fflush(stdout);
    }
    return status;
}

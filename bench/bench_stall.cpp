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

// The daemon's line on its longest stall over `rounds` dictations; empty when a step failed.
QString measure(ServerKind server, bool sway, int rounds, const QString &speech)
{
    PasteTarget window;
    if (!window.start({QStringLiteral("--own-clipboard")}))
        return {};
    DaemonProcess daemon(server);
    daemon.setEnvironment(QStringLiteral("PARLOTTA_STALL_PROBE"), QStringLiteral("1"));
    daemon.installModel(QStringLiteral("hello"));
    if (!daemon.start())
        return {};
    const bool listening = server == ServerKind::Real
                               ? waitForWhisperServer()
                               : waitUntil(
                                     [] {
                                         return readFile(QStringLiteral("/tmp/parlotta/server.log"))
                                             .contains("listening");
                                     },
                                     10000);
    if (!listening)
        return {};
    // The window's content is what each paste saves and gives back; sway
    // takes a client's clipboard only with the serial of a key.
    if (!waitUntil(
            [sway] {
                if (sway)
                    runTool(QStringLiteral("wtype"), {QStringLiteral("-k"), QStringLiteral("F12")});
                return clipboardContents().contains(QStringLiteral("application/x-parlotta-test"));
            },
            15000)) {
        std::fprintf(stderr, "the window did not take the clipboard\n");
        return {};
    }
    QThread::msleep(3500); // the probe starts 3 s after start-up
    for (int i = 0; i < rounds; ++i)
        if (!daemon.dictate(speech, QStringLiteral("Clipboard restored"), 30000)) {
            std::fprintf(stderr, "no paste in round %d\n", i + 1);
            return {};
        }
    daemon.sendSignal(SIGTERM);
    if (!daemon.waitForExit())
        return {};
    return lastLineStartingWith(daemon, QStringLiteral("Main thread's longest stall: "))
        .section(u' ', 4);
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
    };
    const Backend backends[] = {
        {"X11 (XTest)", {}},
        {"sway (virtual keyboard)", QStringLiteral("sway")},
        {"KWin (fake input)", QStringLiteral("kwin")},
        {"KWin (remote desktop portal)", QStringLiteral("kwin-unlisted")},
    };
    std::printf("main thread's longest stall over %d dictations and pastes\n", rounds);
    int status = 0;
    for (const Backend &backend : backends)
        for (const ServerKind server : {ServerKind::StandIn, ServerKind::Real}) {
            Session session;
            const bool started = backend.session.isEmpty() || session.compositor(backend.session);
            const QString worst =
                started ? measure(server, backend.session == u"sway", rounds, speech) : QString();
            std::printf("  %-30s %-21s %s\n", backend.name,
                        server == ServerKind::Real ? "real whisper-server" : "stand-in server",
                        worst.isEmpty() ? "failed" : qPrintable(worst));
            status |= worst.isEmpty();
            std::fflush(stdout);
        }
    return status;
}

// The main thread's longest stall through dictations, their pastes, a press
// while the sound server hangs and a hotkey change (the settings window opened, the hotkey cleared,
// which unbinds the desktop's shortcut where one is bound) on each desktop the daemon serves, as
// the daemon measures it itself under PARLOTTA_STALL_PROBE (from 3 s after start-up to its exit).
// X11 is the headless desktop's own display; sway and KWin (fake input, and the portal where no
// desktop entry grants it) are started headless as the Wayland tests start them. Run inside the
// headless desktop, for every desktop or the ones named (X11, sway, KWin):
//   tests/support/headless-desktop.sh build/bench/bench_stall [ROUNDS [DESKTOP…]]
#include "daemon_process.h"
#include "desktop_helpers.h"
#include "desktop_session.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <csignal>
#include <cstdio>

namespace {

QString failed(const char *step)
{
    std::fprintf(stderr, "%s\n", step);
    return {};
}

// The daemon's line on its longest stall over `rounds` dictations; empty when a step failed.
QString measure(ServerKind server, const QString &desktop, int rounds, const QString &speech)
{
    const bool sway = desktop == u"sway";
    DaemonProcess daemon(server);
    // The probe starts once the settings window is built and the paste target has the focus.
    daemon.setEnvironment(QStringLiteral("PARLOTTA_STALL_PROBE"), QStringLiteral("10"));
    // The settings window's button is pressed as assistive technology presses it.
    daemon.setEnvironment(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"), QStringLiteral("1"));
    daemon.installModel(QStringLiteral("hello"));
    QElapsedTimer sinceStart;
    sinceStart.start();
    if (!daemon.start())
        return failed("the daemon did not start");
    // A KWin just started may not have read the desktop entry that grants
    // fake input yet: the daemon then takes the portal, which is another row.
    for (int tries = 0;
         desktop == u"kwin" && tries < 3 &&
         lastLineStartingWith(daemon, QStringLiteral("Paste: ")) != u"Paste: KWin fake input";
         ++tries) {
        daemon.sendSignal(SIGTERM);
        if (!daemon.waitForExit())
            return failed("the daemon did not exit");
        QThread::sleep(3);
        sinceStart.start();
        if (!daemon.start())
            return failed("the daemon did not start");
    }
    const bool listening = server == ServerKind::Real
                               ? waitForWhisperServer()
                               : waitUntil(
                                     [] {
                                         return readFile(QStringLiteral("/tmp/parlotta/server.log"))
                                             .contains("listening");
                                     },
                                     10000);
    if (!listening)
        return failed("the server did not listen");
    // The settings window first (building it is the window's own work, not a
    // wait), then the paste target, which a new window's focus goes to.
    const QString clear = QStringLiteral("Clear hotkey");
    DaemonProcess again(server);
    if (!again.runToExit() ||
        !waitUntil([&] { return accessibleShowing(QStringLiteral("push button"), clear); },
                   10000)) {
        return failed("no settings window");
    }
    PasteTarget window;
    if (!window.start({QStringLiteral("--own-clipboard")}))
        return failed("the paste target did not start");
    // The window's content is what each paste saves and gives back; sway
    // takes a client's clipboard only with the serial of a key.
    if (!waitUntil(
            [sway] {
                if (sway)
                    runTool(QStringLiteral("wtype"), {QStringLiteral("-k"), QStringLiteral("F12")});
                return clipboardContents().contains(QStringLiteral("application/x-parlotta-test"));
            },
            15000)) {
        return failed("the window did not take the clipboard");
    }
    if (sinceStart.elapsed() > 9500) {
        return failed("the daemon took too long to get ready");
    }
    QThread::msleep(10500 - sinceStart.elapsed());
    for (int i = 0; i < rounds; ++i)
        if (!daemon.dictate(speech, QStringLiteral("Clipboard restored"), 30000)) {
            std::fprintf(stderr, "no paste in round %d\n", i + 1);
            return {};
        }
    // A press while the sound server hangs (stopped for 3 s, longer than
    // opening the microphone waits), then its release.
    const qint64 soundServer =
        runTool(QStringLiteral("pgrep"),
                {QStringLiteral("-n"), QStringLiteral("-x"), QStringLiteral("pulseaudio")})
            .trimmed()
            .toLongLong();
    if (soundServer <= 0 || ::kill(pid_t(soundServer), SIGSTOP) != 0)
        return failed("no sound server to stop");
    daemon.sendSignal(SIGUSR1);
    QThread::msleep(3000);
    ::kill(pid_t(soundServer), SIGCONT);
    daemon.sendSignal(SIGUSR2);
    QThread::msleep(1000);
    if (!accessibleAction(QStringLiteral("press"), QStringLiteral("push button"), clear) ||
        !daemon.waitForMessage(QStringLiteral("Hotkey set to: None (code -1, modifiers 0)"))) {
        return failed("the hotkey was not cleared");
    }
    QThread::msleep(1000); // the desktop's answer to the unbinding
    daemon.sendSignal(SIGTERM);
    if (!daemon.waitForExit())
        return failed("the daemon did not exit");
    // What ran before the worst stall of our own, for the reader to look into.
    const QStringList lines = daemon.logMessages();
    for (qsizetype i = lines.size() - 1; i >= 0; --i)
        if (lines[i].startsWith(u"Stall probe: ")) {
            std::fprintf(stderr, "    after: %s\n",
                         qPrintable(lines.mid(std::max<qsizetype>(0, i - 3), 3).join(u" | ")));
            break;
        }
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
    std::printf("main thread's longest stall over %d dictations and pastes, a press while the "
                "sound server hangs and a hotkey change\n",
                rounds);
    int status = 0;
    const QStringList only = app.arguments().mid(2);
    for (const Backend &backend : backends)
        if (only.isEmpty() || only.contains(QString::fromLatin1(backend.name).section(u' ', 0, 0)))
            for (const ServerKind server : {ServerKind::StandIn, ServerKind::Real}) {
                Session session;
                const bool started =
                    backend.session.isEmpty() || session.compositor(backend.session);
                const QString worst =
                    started ? measure(server, backend.session, rounds, speech) : QString();
                std::printf("  %-30s %-21s %s\n", backend.name,
                            server == ServerKind::Real ? "real whisper-server" : "stand-in server",
                            worst.isEmpty() ? "failed" : qPrintable(worst));
                status |= worst.isEmpty();
                std::fflush(stdout);
            }
    return status;
}

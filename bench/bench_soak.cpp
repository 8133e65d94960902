// A long day in a few minutes, against the real whisper-server on a fixture
// model: many dictations by signal (every one pasted, the clipboard given back
// byte for byte every time, no growth in memory, descriptors or threads),
// 20 kills of the server in a row, then 1,000 mixed signals and a dictation
// that still pastes. Prints its figures; exits non-zero when a check fails.
// Run it inside the headless desktop:
//   tests/support/headless-desktop.sh build/bench/bench_soak [DICTATIONS]
#include "daemon_process.h"
#include "desktop_helpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <csignal>
#include <cstdio>

namespace {

struct Usage {
    qint64 rssKb = 0;
    int threads = 0;
    int fds = 0;
};

Usage usage(qint64 pid)
{
    Usage u;
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                u.rssKb = line.mid(6).trimmed().split(' ').value(0).toLongLong();
            else if (line.startsWith("Threads:"))
                u.threads = line.mid(8).trimmed().toInt();
        }
    u.fds = openFiles(pid);
    return u;
}

int failures = 0;

void check(bool ok, const char *what)
{
    if (!ok) {
        ++failures;
        std::printf("FAILED: %s\n", what);
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int dictations = argc > 1 ? std::max(60, std::atoi(argv[1])) : 500;
    const QString speech = makeSpeech(QStringLiteral("hello"));
    PasteTarget target;
    DaemonProcess daemon;
    daemon.installModel(QStringLiteral("hello"));
    if (speech.isEmpty() || !target.start({QStringLiteral("--own-clipboard")}) || !daemon.start() ||
        !waitForWhisperServer()) {
        std::fprintf(stderr, "bench_soak: could not set up the desktop, server or daemon\n");
        return 1;
    }
    const QMap<QString, QByteArray> clipboard = clipboardContents();

    // Dictations.
    Usage at50;
    int pasted = 0, restored = 0;
    QElapsedTimer clock;
    clock.start();
    for (int i = 1; i <= dictations; ++i) {
        const qsizetype before = target.text().size();
        if (daemon.dictate(speech, QStringLiteral("Clipboard restored")) &&
            waitUntil([&] { return target.text().size() == before + 12; }, 5000))
            ++pasted;
        if (clipboardContents() == clipboard)
            ++restored;
        if (i == 50)
            at50 = usage(daemon.pid());
    }
    const Usage atEnd = usage(daemon.pid());
    std::printf("dictations: %d in %.0f s; pasted %d, clipboard given back byte for byte %d\n",
                dictations, double(clock.elapsed()) / 1000, pasted, restored);
    std::printf("from the 50th to the last: RSS %.1f -> %.1f MB, descriptors %d -> %d, threads %d "
                "-> %d, zombies %d\n",
                double(at50.rssKb) / 1024, double(atEnd.rssKb) / 1024, at50.fds, atEnd.fds,
                at50.threads, atEnd.threads, zombieChildren(daemon.pid()));
    check(pasted == dictations && restored == dictations, "every dictation pasted and given back");
    check(atEnd.rssKb - at50.rssKb <= 5 * 1024, "resident memory grew by 5 MB at most");
    check(atEnd.fds <= at50.fds && atEnd.threads <= at50.threads, "no descriptor or thread growth");

    // 20 kills of the server in a row.
    const Usage beforeKills = usage(daemon.pid());
    int restarts = 0;
    for (int i = 0; i < 20; ++i) {
        const qint64 pid = QFile(QStringLiteral("/tmp/parlotta/server-pid")).exists()
                               ? [] {
                                     QFile f(QStringLiteral("/tmp/parlotta/server-pid"));
                                     f.open(QIODevice::ReadOnly);
                                     return f.readAll().toLongLong();
                                 }()
                               : 0;
        const int started =
            int(daemon.logMessages().filter(QStringLiteral("whisper-server started")).size());
        QElapsedTimer restart;
        restart.start();
        ::kill(pid_t(pid), SIGKILL);
        if (waitUntil(
                [&] {
                    return daemon.logMessages()
                               .filter(QStringLiteral("whisper-server started"))
                               .size() > started;
                },
                6000) &&
            restart.elapsed() >= 2900)
            ++restarts;
    }
    const Usage afterKills = usage(daemon.pid());
    std::printf("server kills: 20; restarted after 3 s: %d; zombies %d; descriptors %d -> %d\n",
                restarts, zombieChildren(daemon.pid()), beforeKills.fds, afterKills.fds);
    check(restarts == 20 && zombieChildren(daemon.pid()) == 0 && afterKills.fds <= beforeKills.fds,
          "20 restarts, no zombies, no descriptor growth");

    // A storm of signals, then a dictation that pastes.
    const int mixed[] = {SIGUSR1, SIGUSR2, SIGHUP};
    for (int i = 0; i < 1000; ++i) {
        daemon.sendSignal(mixed[i % 3]);
        if (i % 10 == 0)
            QThread::msleep(3);
    }
    QThread::sleep(3);
    daemon.sendSignal(SIGUSR2); // whatever recording the storm left open
    waitForWhisperServer();
    const qsizetype before = target.text().size();
    const bool afterStorm = daemon.dictate(speech, QStringLiteral("Clipboard restored")) &&
                            waitUntil([&] { return target.text().size() == before + 12; }, 5000);
    std::printf("1000 mixed signals, then a dictation: %s\n", afterStorm ? "pasted" : "NOT pasted");
    check(afterStorm && daemon.isRunning(), "a dictation pastes after the storm");

    daemon.sendSignal(SIGTERM);
    daemon.waitForExit();
    return failures == 0 ? 0 : 1;
}

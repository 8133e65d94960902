// A 1.5 GB model download from the test hub on loopback against `curl -o` of
// the same file, the daemon's memory during it, and a dictation by signal in
// the middle of it. Run it inside the headless desktop:
//   tests/support/headless-desktop.sh build/bench/bench_download
#include "daemon_process.h"
#include "desktop_helpers.h"
#include "test_panel.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <csignal>
#include <cstdio>

namespace {

constexpr qint64 size = 1549LL * 1048576; // large-v3-turbo

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir hubDir;
    QDir().mkpath(hubDir.path() + QStringLiteral("/files"));
    QFile big(hubDir.path() + QStringLiteral("/files/ggml-big.bin"));
    if (!big.open(QIODevice::WriteOnly) || !big.resize(size))
        return 1;
    big.close();
    QFile listing(hubDir.path() + QStringLiteral("/listing.json"));
    listing.open(QIODevice::WriteOnly);
    listing.write("[{\"path\":\"ggml-big.bin\",\"size\":" + QByteArray::number(size) + "}]");
    listing.close();
    QProcess hub;
    hub.start(QStringLiteral(TEST_HUB), {hubDir.path()});
    if (!hub.waitForReadyRead(5000))
        return 1;
    const QString address = QStringLiteral("http://127.0.0.1:") +
                            QString::fromLatin1(hub.readLine()).split(u' ').value(1).trimmed();

    // curl, into the same file system.
    QTemporaryDir curlDir;
    QElapsedTimer clock;
    clock.start();
    QProcess::execute(
        QStringLiteral("curl"),
        {QStringLiteral("-sL"), QStringLiteral("-o"), curlDir.filePath(QStringLiteral("big")),
         address + QStringLiteral("/ggerganov/whisper.cpp/resolve/main/ggml-big.bin")});
    const double curlSeconds = double(clock.nsecsElapsed()) / 1e9;
    QFile::remove(curlDir.filePath(QStringLiteral("big")));

    QObject watcher;
    TestPanel panel(&watcher);
    PasteTarget target;
    DaemonProcess daemon(ServerKind::StandIn);
    daemon.installModel(QStringLiteral("hello"));
    daemon.setEnvironment(QStringLiteral("HF_ENDPOINT"), address);
    if (!panel.start() || !target.start() || !daemon.start() || panel.waitForItem().isEmpty() ||
        !waitUntil([&] { return panel.menu().find(QStringLiteral("Settings…")); }, 5000)) {
        std::fprintf(stderr, "bench: could not set up the panel, the target or the daemon\n");
        return 1;
    }
    panel.click(panel.menu().find(QStringLiteral("Settings…"))->id);
    waitUntil([] { return !windowNamed(QStringLiteral("Settings")).isEmpty(); }, 5000);
    waitUntil([] { return false; }, 1500); // the listing has arrived
    const double before = residentMb(daemon.pid());
    // Alt+M takes the model list, B chooses "big".
    xkey(QStringLiteral("down"), {64});
    xkey(QStringLiteral("tap"), {58});
    xkey(QStringLiteral("up"), {64});
    clock.restart();
    xkey(QStringLiteral("tap"), {56});
    double peak = before;
    bool dictated = false, pastedDuring = false;
    const QString done = QStringLiteral("Model big downloaded");
    while (!daemon.logMessages().contains(done) && clock.elapsed() < 600000) {
        peak = std::max(peak, residentMb(daemon.pid()));
        if (!dictated && clock.elapsed() > 1000) {
            dictated = true;
            runTool(QStringLiteral("xdotool"),
                    {QStringLiteral("search"), QStringLiteral("--name"),
                     QStringLiteral("^Paste Target$"), QStringLiteral("windowactivate"),
                     QStringLiteral("--sync")});
            pastedDuring = daemon.dictate(makeSpeech(QStringLiteral("hello world")),
                                          QStringLiteral("Pasted via XTest"), 10000) &&
                           !daemon.logMessages().contains(done);
        }
        waitUntil([] { return false; }, 100);
    }
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    std::printf(
        "1.5 GB from the test hub: curl -o %.2f s (%.0f MB/s), parlotta %.2f s (%.0f MB/s), "
        "ratio %.2f of curl's throughput\n",
        curlSeconds, size / 1048576.0 / curlSeconds, seconds, size / 1048576.0 / seconds,
        curlSeconds / seconds);
    std::printf("RSS during the download: %.1f MB before, %.1f MB at most (+%.1f MB)\n", before,
                peak, peak - before);
    std::printf("a dictation by signal during the download: %s\n",
                pastedDuring ? "pasted" : "NOT pasted");
    daemon.sendSignal(SIGTERM);
    daemon.waitForExit();
    hub.kill();
    hub.waitForFinished();
    return 0;
}

// The cost of freeing the model when idle: the time from the release to the
// transcript of the first dictation after the model was freed, against a warm
// one, and the memory of the daemon and the server idle, loaded and freed. On
// models of the real shapes (their text is noise). Run it inside the headless desktop:
//   tests/support/headless-desktop.sh build/bench/bench_idle [SPEECH_SECONDS]
#include "daemon_process.h"
#include "desktop_helpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <csignal>
#include <cstdio>

namespace {

const QString root = QStringLiteral(PARLOTTA_SOURCE_DIR);
const QString models = QStringLiteral(PARLOTTA_CACHE_DIR "/fixture-models");

// A model of the real shape, made once into the cache as bench_engines.py makes it;
// "OUT" in the arguments stands for the file written.
QString shapeModel(const QString &file, const QString &program, const QStringList &arguments)
{
    const QString path = models + u'/' + file;
    if (!QFile::exists(path)) {
        QDir().mkpath(models);
        std::printf("making %s (a few minutes, once)\n", qPrintable(file));
        std::fflush(stdout);
        QStringList filled = arguments;
        filled.replaceInStrings(QStringLiteral("OUT"), path + QStringLiteral(".partial"));
        QProcess maker;
        maker.setStandardOutputFile(QProcess::nullDevice());
        maker.setStandardErrorFile(QProcess::nullDevice());
        maker.start(program, filled);
        if (!maker.waitForFinished(-1) || maker.exitCode() != 0 ||
            !QFile::rename(path + QStringLiteral(".partial"), path))
            qFatal("bench: could not make %s", qPrintable(file));
    }
    return path;
}

qint64 serverPid(const DaemonProcess &daemon)
{
    static const QRegularExpression started(QStringLiteral("-server started \\(PID (\\d+)\\)$"));
    qint64 pid = 0;
    for (const QString &line : daemon.logMessages())
        if (const auto match = started.match(line); match.hasMatch())
            pid = match.captured(1).toLongLong();
    return pid;
}

struct Dictation {
    double spoken = -1;   // from the press to the release: what the load overlaps
    double answered = -1; // from the release to the transcript's line
};

Dictation dictation(const DaemonProcess &daemon, const QString &speech)
{
    const auto answers = [&] {
        return daemon.logMessages().filter(QStringLiteral("Whisper response: ")).size();
    };
    const qsizetype before = answers();
    const qsizetype started = daemon.logMessages().count(QStringLiteral("Recording started"));
    QElapsedTimer press;
    press.start();
    daemon.sendSignal(SIGUSR1);
    if (!waitUntil(
            [&] {
                return daemon.logMessages().count(QStringLiteral("Recording started")) > started;
            },
            5000) ||
        !playIntoMicrophone(speech))
        return {};
    Dictation result;
    result.spoken = double(press.elapsed()) / 1000;
    QElapsedTimer clock;
    clock.start();
    daemon.sendSignal(SIGUSR2);
    if (waitUntil([&] { return answers() > before; }, 300000))
        result.answered = double(clock.elapsed()) / 1000;
    return result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int speechSeconds = argc > 1 ? std::max(1, atoi(argv[1])) : 3;
    const QString tools = QStringLiteral(PARLOTTA_BINARY_DIR "/whisper-tools");
    const QString f16 = shapeModel(
        QStringLiteral("shape-parakeet-v3-f16.bin"), QStringLiteral("/usr/bin/python3"),
        {root + QStringLiteral("/tools/make-parakeet-shape-model.py"), QStringLiteral("OUT")});
    struct Engine {
        QString title;
        QString name; // as the hub names it: the name chooses the engine
        QString file;
    };
    const QList<Engine> engines = {
        {QStringLiteral("Parakeet v3 q8_0"), QStringLiteral("parakeet-tdt-0.6b-v3-q8_0"),
         shapeModel(QStringLiteral("shape-parakeet-v3-q8_0.bin"),
                    tools + QStringLiteral("/parakeet-quantize"),
                    {f16, QStringLiteral("OUT"), QStringLiteral("q8_0")})},
        {QStringLiteral("Parakeet v3 f16"), QStringLiteral("parakeet-tdt-0.6b-v3"), f16},
        {QStringLiteral("whisper base"), QStringLiteral("base"),
         shapeModel(QStringLiteral("shape-base.bin"), QStringLiteral("python3"),
                    {root + QStringLiteral("/tools/make-fixture-model.py"),
                     QStringLiteral("--shape"), QStringLiteral("base"), QStringLiteral("OUT")})},
    };
    // Speech of about the length asked for: espeak reads digits at about two words a second.
    QStringList words;
    for (int i = 0; i < speechSeconds * 2; ++i)
        words << QStringLiteral("seven");
    const QString speech = makeSpeech(words.join(u' '));
    std::printf("speech %d s; seconds from the release to the transcript, memory in MB\n",
                speechSeconds);
    std::printf("%-18s %7s %7s %9s %8s %9s %10s %9s\n", "", "load", "warm", "unloaded", "extra",
                "goal", "daemon+srv", "freed");
    for (const Engine &engine : engines) {
        DaemonProcess daemon;
        // Long enough for the warm dictations, short enough to wait for.
        daemon.setEnvironment(QStringLiteral("PARLOTTA_IDLE_SECONDS"), QStringLiteral("20"));
        QDir().mkpath(daemon.modelDir());
        QFile::link(engine.file,
                    daemon.modelDir() + QStringLiteral("/ggml-%1.bin").arg(engine.name));
        daemon.selectModel(engine.name);
        if (!daemon.start())
            qFatal("bench: the daemon did not start");
        const QString ready = QStringLiteral(" ready (model loaded in ");
        if (!waitUntil(
                [&] {
                    return !lastLineStartingWith(daemon,
                                                 engine.name.startsWith(u"parakeet")
                                                     ? QStringLiteral("parakeet-server") + ready
                                                     : QStringLiteral("whisper-server") + ready)
                                .isEmpty();
                },
                300000))
            qFatal("bench: the server did not load its model");
        dictation(daemon, speech); // warms the caches
        const double warm = dictation(daemon, speech).answered;
        const double loaded = residentMb(daemon.pid()) + residentMb(serverPid(daemon));
        if (!waitUntil(
                [&] {
                    return !lastLineStartingWith(daemon, QStringLiteral("No dictation for "))
                                .isEmpty();
                },
                60000) ||
            !waitUntil([&] { return !serverPortOpen(); }, 10000))
            qFatal("bench: the model was not freed");
        QThread::msleep(1000);
        const double freed = residentMb(daemon.pid());
        const Dictation first = dictation(daemon, speech);
        const double cold = first.answered;
        static const QRegularExpression loadedIn(QStringLiteral("model loaded in ([\\d.]+) s"));
        double load = 0;
        for (const QString &line : daemon.logMessages())
            if (const auto match = loadedIn.match(line); match.hasMatch())
                load = match.captured(1).toDouble(); // the last: the load after the unload
        // The load overlaps the speech: what is left of it after the release is the goal.
        const double goal = std::max(0.0, load - first.spoken);
        std::printf("%-18s %7.2f %7.2f %9.2f %8.2f %9.2f %10.0f %9.0f\n", qPrintable(engine.title),
                    load, warm, cold, cold - warm, goal, loaded, freed);
        std::fflush(stdout);
        daemon.sendSignal(SIGTERM);
        daemon.waitForExit();
    }
    std::printf("load: the server's start to its port open (whole model read); extra: the first "
                "dictation after the unload less a warm one (goal: no more than the load less the "
                "time from the press to the release); freed: everything Parlotta runs once the "
                "model is freed (goal <= 60)\n");
    return 0;
}

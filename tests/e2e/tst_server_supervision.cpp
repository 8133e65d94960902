#include "daemon_process.h"
#include "desktop_helpers.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <csignal>
#include <unistd.h>

namespace {

const QString serverPidFile = u"/tmp/parlotta/server-pid"_s;
const QRegularExpression startedLine(u"^(?:whisper|parakeet)-server started \\(PID (\\d+)\\)$"_s);

// PIDs of the servers started so far, in order.
QList<qint64> startedPids(const DaemonProcess &daemon)
{
    QList<qint64> pids;
    for (const QString &line : daemon.logMessages()) {
        const auto match = startedLine.match(line);
        if (match.hasMatch())
            pids << match.captured(1).toLongLong();
    }
    return pids;
}

QStringList whisperServerArguments(const DaemonProcess &daemon)
{
    return u"--host 127.0.0.1 --port 8178 --model %1/current.bin --threads 8 --no-timestamps "
           u"--language auto"_s.arg(daemon.modelDir())
               .split(u' ');
}

// A process's arguments after its program.
QStringList arguments(qint64 pid)
{
    return QString::fromUtf8(readFile(u"/proc/%1/cmdline"_s.arg(pid)))
        .split(QChar(0), Qt::SkipEmptyParts)
        .mid(1);
}

bool alive(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 &&
           !readFile(u"/proc/%1/stat"_s.arg(pid)).contains(") Z "); // a zombie is gone
}

} // namespace

class TestServerSupervision : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void noServerStarted_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("line");
        QTest::newRow("no model") << u"none"_s
                                  << u"No model selected yet, whisper-server not started"_s;
        QTest::newRow("dangling current.bin")
            << u"dangling"_s << u"No model selected yet, whisper-server not started"_s;
        QTest::newRow("no executable")
            << u"missing"_s << u"ERROR: whisper-server is missing from the app bundle"_s;
    }

    void noServerStarted()
    {
        QFETCH(QString, setup);
        QFETCH(QString, line);
        DaemonProcess daemon(setup == u"missing"_s ? ServerKind::Missing : ServerKind::Real);
        daemon.setEnvironment(u"PATH"_s, u"/usr/bin:/bin"_s);
        if (setup != u"none"_s)
            daemon.installModel(u"hello"_s);
        if (setup == u"dangling"_s)
            QVERIFY(QFile::remove(daemon.modelDir() + u"/ggml-hello.bin"_s));
        QVERIFY(daemon.start());
        const QStringList lines = daemon.logMessages();
        QVERIFY(lines.contains(line));
        QVERIFY(lines.indexOf(line) < lines.indexOf(QRegularExpression(u"^Daemon ready.*"_s)));
        QVERIFY(startedPids(daemon).isEmpty());
        daemon.sendSignal(SIGHUP);
        QVERIFY(waitUntil([&] { return daemon.logMessages().count(line) == 2; }, 3000));
        QVERIFY(!daemon.logMessages().contains(u"whisper-server stopped"_s));
    }

    // The real server takes our exact command line; killed, it is started
    // again, with nothing of the old one left behind; SIGTERM ends it with us.
    void serverStartedRestartedAndStopped()
    {
        DaemonProcess daemon;
        daemon.installModel(u"hello"_s);
        QVERIFY(daemon.start());
        QTRY_COMPARE(startedPids(daemon).size(), 1);
        QCOMPARE(readFile(serverPidFile), QByteArray::number(startedPids(daemon).first()));
        QCOMPARE(arguments(startedPids(daemon).first()), whisperServerArguments(daemon));
        int filesBefore = 0;
        constexpr int kills = 3; // bench/soak.sh kills it 20 times in a row
        for (int i = 1; i <= kills; ++i) {
            const qint64 pid = startedPids(daemon).last();
            QElapsedTimer clock;
            clock.start();
            ::kill(pid_t(pid), SIGKILL);
            QVERIFY(daemon.waitForMessage(
                u"whisper-server exited unexpectedly (status 9), restarting in 3s"_s, 3000));
            QVERIFY(waitUntil([&] { return startedPids(daemon).size() == i + 1; }, 6000));
            QVERIFY2(clock.elapsed() >= 2900, qPrintable(QString::number(clock.elapsed())));
            QCOMPARE(readFile(serverPidFile), QByteArray::number(startedPids(daemon).last()));
            // After one full cycle, so lazily opened resources are counted, and once the
            // server answers: until Qt has seen the start, its start-up pipe is still open.
            if (i == 1) {
                QVERIFY(waitForWhisperServer());
                filesBefore = openFiles(daemon.pid());
            }
        }
        QCOMPARE(daemon.logMessages().count(QStringLiteral(
                     "whisper-server exited unexpectedly (status 9), restarting in 3s")),
                 kills);
        QCOMPARE(zombieChildren(daemon.pid()), 0);
        QTRY_COMPARE(openFiles(daemon.pid()), filesBefore);
        // The server starts with the control signals at their defaults: SIGTERM ends it.
        const qint64 last = startedPids(daemon).last();
        QVERIFY(waitForWhisperServer());
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
        QCOMPARE(daemon.exitCode(), 0);
        QVERIFY(!alive(last));
        const QStringList lines = daemon.logMessages();
        QCOMPARE(lines.mid(lines.size() - 2),
                 (QStringList{"whisper-server stopped", "Daemon shutting down"}));
        QVERIFY(!QFile::exists(serverPidFile));
    }

    // The real server refuses a file that is no model, before it listens: the
    // waits grow (their arithmetic is in the restart policy's rows), and
    // SIGHUP starts afresh at once.
    void serverThatFailsAtOnceWaitsLongerEachTime()
    {
        DaemonProcess daemon(ServerKind::Real);
        daemon.installModel(u"broken"_s);
        QVERIFY(daemon.start());
        const QString exited =
            u"whisper-server exited unexpectedly (status 3), restarting in %1s"_s;
        QVERIFY(daemon.waitForMessage(exited.arg(3), 3000));
        QVERIFY(daemon.waitForMessage(exited.arg(6), 6000));
        QVERIFY(daemon.logMessages().contains(
            QStringLiteral("whisper-server keeps failing right after it starts; waiting longer "
                           "before each next try, up to 5 minutes (SIGHUP tries again at once)")));
        // A failure after SIGHUP waits 3 s again.
        const qsizetype starts = startedPids(daemon).size();
        daemon.sendSignal(SIGHUP);
        QVERIFY(waitUntil([&] { return startedPids(daemon).size() == starts + 1; }, 1500));
        QVERIFY(waitUntil([&] { return daemon.logMessages().count(exited.arg(3)) == 2; }, 3000));
    }

    // A GPU whose driver makes the server fail at once (Mesa's software device
    // behind a layer that crashes when the device is opened): after two such
    // failures the server runs on the CPU and dictation works; SIGHUP gives the
    // GPU another try. Either engine's server.
    void brokenGpuFallsBackToTheCpu_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("program");
        QTest::newRow("whisper") << u"hello"_s << u"whisper-server"_s;
        QTest::newRow("parakeet") << u"parakeet-hello"_s << u"parakeet-server"_s;
    }
    void brokenGpuFallsBackToTheCpu()
    {
        QFETCH(QString, model);
        QFETCH(QString, program);
        QTemporaryDir app; // the daemon with the server a release carries
        QVERIFY(QDir().mkpath(app.filePath(u"bin"_s)));
        QVERIFY(QFile::copy(QStringLiteral(PARLOTTA_BINARY), app.filePath(u"bin/parlotta"_s)));
        QCOMPARE(QProcess::execute(QStringLiteral(BUILD_SCRIPT),
                                   {u"--portable"_s, QStringLiteral(WHISPER_CACHE), app.path()}),
                 0);
        PasteTarget target;
        QVERIFY(target.start());
        DaemonProcess daemon;
        daemon.setProgram(app.filePath(u"bin/parlotta"_s));
        daemon.setEnvironment(u"VK_ICD_FILENAMES"_s,
                              u"/usr/share/vulkan/icd.d/lvp_icd.x86_64.json"_s);
        daemon.setEnvironment(u"GGML_VK_VISIBLE_DEVICES"_s, u"0"_s);
        QFile layer(app.filePath(u"broken.json"_s));
        QVERIFY(layer.open(QIODevice::WriteOnly));
        layer.write(R"({"file_format_version": "1.1.2", "layer": {
            "name": "VK_LAYER_PARLOTTA_broken_driver", "type": "GLOBAL",
            "library_path": ")" BROKEN_VULKAN_LAYER R"(", "api_version": "1.3.0",
            "implementation_version": "1", "description": "a driver that crashes",
            "functions": {"vkGetInstanceProcAddr": "brokenGetInstanceProcAddr",
                          "vkGetDeviceProcAddr": "brokenGetDeviceProcAddr"}}})");
        layer.close();
        daemon.setEnvironment(u"VK_LAYER_PATH"_s, app.path());
        daemon.setEnvironment(u"VK_INSTANCE_LAYERS"_s, u"VK_LAYER_PARLOTTA_broken_driver"_s);
        daemon.installModel(model);
        QVERIFY(daemon.start());
        QVERIFY(daemon.waitForMessage(
            program + u" failed twice right after starting on the GPU; running it on the CPU "
                      "until the model changes or SIGHUP"_s,
            30000));
        QCOMPARE(daemon.logMessages().filter(u"exited unexpectedly"_s).size(), 2);
        QVERIFY(waitUntil([&] { return startedPids(daemon).size() == 3; }, 6000));
        QCOMPARE(arguments(startedPids(daemon)[2]).last(), u"--no-gpu"_s);
        if (program == u"whisper-server")
            QCOMPARE(arguments(startedPids(daemon)[2]), whisperServerArguments(daemon)
                                                            << u"--no-gpu"_s);
        // It runs in its own folder, so ggml loads no libraries from the daemon's working
        // directory.
        QCOMPARE(QFile::symLinkTarget(u"/proc/%1/cwd"_s.arg(startedPids(daemon)[2])),
                 app.filePath(u"bin"_s));
        QVERIFY(waitForWhisperServer(60000));
        QVERIFY(daemon.dictate(makeSpeech(u"hello world"_s), u"Pasted via XTest"_s));
        QTRY_COMPARE(target.text(), u"Hello world."_s);
        // SIGHUP gives the GPU another try, which the driver fails again at
        // once (too soon, at times, to read the server's command line).
        daemon.sendSignal(SIGHUP);
        QVERIFY(waitUntil(
            [&] { return daemon.logMessages().filter(u"exited unexpectedly"_s).size() == 3; },
            10000));
    }

    // The link is moved to another model while the server runs; SIGHUP loads it,
    // and the next dictation is transcribed by the new model.
    void sighupLoadsTheModelNowSelected()
    {
        PasteTarget target;
        QVERIFY(target.start());
        DaemonProcess daemon;
        daemon.installModel(u"morning"_s);
        daemon.installModel(u"hello"_s);
        QVERIFY(daemon.start());
        QVERIFY(waitForWhisperServer());
        const QString speech = makeSpeech(u"hello world"_s);
        QVERIFY(daemon.dictate(speech, u"Pasted via XTest"_s));
        QTRY_COMPARE(target.text(), u"Hello world."_s);

        daemon.selectModel(u"morning"_s);
        daemon.sendSignal(SIGHUP);
        QVERIFY(waitUntil([&] { return startedPids(daemon).size() == 2; }, 6000));
        const QStringList lines = daemon.logMessages();
        const qsizetype hup = lines.indexOf(u"Received SIGHUP \u2192 reloading model"_s);
        QCOMPARE(lines.value(hup + 1), u"whisper-server stopped"_s);
        QVERIFY(startedLine.match(lines.value(hup + 2)).hasMatch());
        QVERIFY(!alive(startedPids(daemon)[0]));
        // A dictation while the new server loads its model waits for it.
        QVERIFY(daemon.dictate(speech, u"Pasted via XTest"_s));
        QTRY_COMPARE(target.text(), u"Hello world. Good morning."_s);
        QVERIFY(daemon.logMessages().filter(u"exited unexpectedly"_s).isEmpty());
    }

    // After the idle limit the server is gone; the next press starts it and the
    // dictation waits for it to listen; a model chosen meanwhile is the one loaded.
    void modelFreedWhenIdleLoadedAtThePress_data()
    {
        QTest::addColumn<bool>("real");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second"); // chosen while the model is freed
        QTest::addColumn<int>("loadMs");     // the stand-in's time to load
        QTest::addColumn<QString>("line");   // what the dictation ends with
        QTest::addColumn<QString>("pasted");
        QTest::addColumn<bool>("byHotkey"); // else by signals
        QTest::newRow("whisper") << true << u"hello"_s << u"morning"_s << 0 << u"Pasted via XTest"_s
                                 << u"Good morning."_s << false;
        QTest::newRow("parakeet, by the hotkey")
            << true << u"parakeet-hello"_s << u"parakeet-accents"_s << 0 << u"Pasted via XTest"_s
            << u"Grüße aus Zürich, ça va? Très bien."_s << true;
        QTest::newRow("released before loaded")
            << false << u"tiny"_s << u"tiny"_s << 4000 << u"Pasted via XTest"_s << u"Hello world."_s
            << false;
        QTest::newRow("load fails")
            << true << u"hello"_s << u"broken"_s << 0
            << u"Transcription failed: whisper-server did not load the model"_s << QString()
            << false;
    }
    void modelFreedWhenIdleLoadedAtThePress()
    {
        QFETCH(bool, real);
        QFETCH(QString, first);
        QFETCH(QString, second);
        QFETCH(int, loadMs);
        QFETCH(QString, line);
        QFETCH(QString, pasted);
        QFETCH(bool, byHotkey);
        const QString program =
            first.startsWith(u"parakeet"_s) ? u"parakeet-server"_s : u"whisper-server"_s;
        PasteTarget target;
        QVERIFY(target.start());
        DaemonProcess daemon(real ? ServerKind::Real : ServerKind::StandIn);
        daemon.setEnvironment(u"PARLOTTA_IDLE_SECONDS"_s, u"3"_s);
        daemon.setEnvironment(u"PARLOTTA_FAKE_SERVER_LOAD_MS"_s, QString::number(loadMs));
        daemon.installModel(second);
        daemon.installModel(first);
        QVERIFY(daemon.start());
        const QString ready = program + u" ready (model loaded in "_s;
        QVERIFY(waitUntil([&] { return !lastLineStartingWith(daemon, ready).isEmpty(); },
                          loadMs + 20000));
        const qint64 server = startedPids(daemon).value(0);
        qInfo("loaded: daemon %.0f MB, %s %.0f MB", residentMb(daemon.pid()), qPrintable(program),
              residentMb(server));
        const QString freed =
            u"No dictation for 3 s: %1 stopped to free the model's memory ("_s.arg(program);
        QVERIFY(waitUntil([&] { return !lastLineStartingWith(daemon, freed).isEmpty(); }, 8000));
        QVERIFY(daemon.waitForMessage(program + u" stopped"_s));
        QVERIFY(!alive(server));
        qInfo("freed: daemon %.0f MB; %s", residentMb(daemon.pid()),
              qPrintable(lastLineStartingWith(daemon, freed)));

        daemon.selectModel(second);
        daemon.sendSignal(SIGHUP);
        QVERIFY(daemon.waitForMessage(
            u"The model is not loaded while idle; it loads at the next press"_s));
        QTest::qWait(500);
        QCOMPARE(startedPids(daemon).size(), 1);
        const QString speech = makeSpeech(u"hello world"_s);
        if (byHotkey) {
            constexpr int rightAlt = 108;
            const qsizetype before = daemon.logMessages().size();
            QVERIFY(xkey(u"down"_s, {rightAlt}));
            QVERIFY(waitUntil(
                [&] { return daemon.logMessages().mid(before).contains(u"Recording started"_s); },
                5000));
            QVERIFY(playIntoMicrophone(speech));
            QVERIFY(xkey(u"up"_s, {rightAlt}));
            QVERIFY(
                waitUntil([&] { return !lastLineStartingWith(daemon, line).isEmpty(); }, 60000));
        } else {
            QVERIFY(daemon.dictate(speech, line, loadMs + 60000));
        }
        const QStringList lines = daemon.logMessages();
        QVERIFY(lines.contains(u"Loading the model again for this dictation"_s));
        QCOMPARE(startedPids(daemon).size(), 2);
        if (loadMs > 0)
            QVERIFY(lines.contains(u"Waiting for whisper-server to load the model"_s));
        if (!pasted.isEmpty()) {
            QTRY_COMPARE(target.text(), pasted);
            QVERIFY(lines.filter(u"exited unexpectedly"_s).isEmpty());
        } else {
            QVERIFY(!lines.contains(u"Whisper response: ''"_s));
        }
    }

    void serverIgnoringTermIsKilledAfterFiveSeconds()
    {
        DaemonProcess daemon(ServerKind::StandIn);
        daemon.setEnvironment(u"PARLOTTA_FAKE_SERVER_IGNORE_TERM"_s, u"1"_s);
        daemon.installModel(u"tiny"_s);
        QVERIFY(daemon.start());
        QTRY_COMPARE(startedPids(daemon).size(), 1);
        // Its SIGTERM handling is in place once it listens, as with the real server.
        QTRY_VERIFY(readFile(u"/tmp/parlotta/server.log"_s).contains("listening"));
        QElapsedTimer clock;
        clock.start();
        daemon.sendSignal(SIGHUP);
        QVERIFY(waitUntil([&] { return startedPids(daemon).size() == 2; }, 10000));
        QVERIFY2(clock.elapsed() < 7000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(daemon.logMessages().contains(u"whisper-server did not stop within 5 s, killed"_s));
        QVERIFY(!alive(startedPids(daemon)[0]));
    }

    void staleServerAtStartup_data()
    {
        QTest::addColumn<QString>("occupant");
        QTest::addColumn<bool>("stopped");
        QTest::newRow("live server") << u"server"_s << true;
        QTest::newRow("server ignoring SIGTERM") << u"deaf"_s << true;
        QTest::newRow("another program") << u"other"_s << false;
    }

    void staleServerAtStartup()
    {
        QFETCH(QString, occupant);
        QFETCH(bool, stopped);
        QProcess stale;
        if (occupant == u"server"_s)
            stale.start(QStringLiteral(WHISPER_SERVER),
                        {u"--port"_s, u"8179"_s, u"--model"_s, fixtureModel(u"hello"_s)});
        else if (occupant == u"deaf"_s) {
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert(u"PARLOTTA_FAKE_SERVER_IGNORE_TERM"_s, u"1"_s);
            stale.setProcessEnvironment(env);
            stale.start(QStringLiteral(FAKE_WHISPER_SERVER), {u"--port"_s, u"8179"_s});
        } else
            stale.start(u"sleep"_s, {u"60"_s});
        QVERIFY(stale.waitForStarted());
        QTest::qWait(300); // its signal handling is in place
        const qint64 pid = stale.processId();
        QDir().mkpath(u"/tmp/parlotta"_s);
        QFile pidFile(serverPidFile);
        QVERIFY(pidFile.open(QIODevice::WriteOnly) && pidFile.write(QByteArray::number(pid)) > 0);
        pidFile.close();

        DaemonProcess daemon;
        QVERIFY(daemon.start());
        const QString line = u"Stopped stale whisper-server (PID %1)"_s.arg(pid);
        // Watched on the event loop: one that ignores SIGTERM ends 5 s after the start.
        QCOMPARE(daemon.waitForMessage(line, stopped ? 8000 : 300), stopped);
        QCOMPARE(daemon.logMessages().filter(u"Stopped stale"_s).size(), stopped ? 1 : 0);
        QVERIFY(!QFile::exists(serverPidFile));
        if (stopped) {
            QVERIFY(stale.state() == QProcess::NotRunning || stale.waitForFinished(1000));
        } else {
            QVERIFY(alive(pid));
            stale.kill();
            stale.waitForFinished();
        }
    }
};

QTEST_GUILESS_MAIN(TestServerSupervision)
#include "tst_server_supervision.moc"

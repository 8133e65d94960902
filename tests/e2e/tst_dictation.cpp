#include "daemon_process.h"
#include "desktop_helpers.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>
#include <csignal>
#include <unistd.h>

namespace {

const QString recordingPath = u"/tmp/parlotta/recording.wav"_s;

} // namespace

class TestDictation : public QObject {
    Q_OBJECT

    QString hello; // "hello world", normal level

    // The daemon with the real whisper-server on a fixture model, ready to answer.
    static bool startWithModel(DaemonProcess &daemon, const QString &model = u"hello"_s)
    {
        daemon.installModel(model);
        return daemon.start() && waitForWhisperServer();
    }

  private Q_SLOTS:
    // A test that failed halfway must not leave keys held down for the next.
    void cleanup()
    {
        xkey(u"up"_s, {108, 64, 50, 37, 133, 67, 71, 38, 56});
    }

    void initTestCase()
    {
        hello = makeSpeech(u"hello world"_s);
        QVERIFY(!hello.isEmpty());
    }

    void speechIsRecordedSentPastedAndClipboardGivenBack()
    {
        PasteTarget target;
        QVERIFY(target.start({u"--own-clipboard"_s}));
        const QMap<QString, QByteArray> before = clipboardContents();
        QVERIFY(before.contains(u"text/html"_s));
        QVERIFY(before.contains(u"application/x-parlotta-test"_s));
        DaemonProcess daemon;
        daemon.writePreferences("[General]\nlanguage=nl\n");
        QVERIFY(startWithModel(daemon));
        CueWatcher cues;

        QVERIFY(daemon.dictate(hello, u"Clipboard restored"_s));
        QTRY_COMPARE(target.text(), u"Hello world."_s);
        const QStringList lines = daemon.logMessages();
        const qsizetype response = lines.indexOf(u"Whisper response: 'Hello world.'"_s);
        QVERIFY(response > 0);
        QCOMPARE(lines.mid(response + 1, 3),
                 (QStringList{"Copied to clipboard", "Pasted via XTest", "Clipboard restored"}));

        // The recording: the sizes its header got at the stop (the server's
        // sample count below proves the format), and the length and level of
        // what was played.
        const QByteArray wav = readFile(recordingPath);
        QCOMPARE(qFromLittleEndian<quint32>(wav.constData() + 4), quint32(wav.size() - 8));
        QCOMPARE(qFromLittleEndian<quint32>(wav.constData() + 40), quint32(wav.size() - 44));
        const double played = double(QFileInfo(hello).size() - 44) / 32000;
        const double recorded = double(wav.size() - 44) / 32000;
        QVERIFY2(recorded >= played && recorded < played + 1.5,
                 qPrintable(QString::number(recorded)));
        const QString stopping = lastLineStartingWith(daemon, u"Stopping - duration: "_s);
        const float logged = stopping.section(u"best avg: "_s, 1).section(u' ', 0, 0).toFloat();
        QVERIFY2(std::abs(logged - loudestWindowDb(hello)) < 3, qPrintable(stopping));

        // The server decoded every sample of that file, in the language asked for.
        const QByteArray serverLog = readFile(u"/tmp/parlotta/server.log"_s);
        QVERIFY2(serverLog.contains(QByteArray::number((wav.size() - 44) / 2) + " samples"),
                 serverLog.right(2000).constData());
        QVERIFY(serverLog.contains("lang = nl"));

        QCOMPARE(clipboardContents(), before);
        const QStringList cuesPlayed = cues.played();
        QVERIFY2(cuesPlayed.contains(u"tink"_s) && cuesPlayed.contains(u"pop"_s),
                 qPrintable(cuesPlayed.join(u',')));

        // We hold the given-back clipboard now; quitting hands it to the desktop's
        // clipboard manager (Xfce's) instead of taking it away with us.
        QProcess manager;
        manager.start(u"xfsettingsd"_s, {u"--disable-wm-check"_s});
        QVERIFY(waitUntil(
            [] {
                return QProcess::execute(XKEY, {u"owner"_s, u"CLIPBOARD_MANAGER"_s}) == 0;
            },
            10000));
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
        QCOMPARE(clipboardContents(), before);
        manager.kill();
        manager.waitForFinished();
    }

    // A sound server of the test's own, killed during a recording and started
    // again: what was said up to the break is transcribed and pasted; the next
    // recording works.
    void soundServerGoneDuringRecording()
    {
        QTemporaryDir dir;
        const QString socket = dir.filePath(u"native"_s);
        QFile config(dir.filePath(u"default.pa"_s));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(
            "load-module module-native-protocol-unix auth-anonymous=1 socket=" + socket.toUtf8() +
            "\nload-module module-null-sink sink_name=feed rate=16000 channels=1 format=s16le\n"
            "load-module module-remap-source master=feed.monitor source_name=mic\n"
            "load-module module-null-sink sink_name=speakers\n"
            "set-default-source mic\nset-default-sink speakers\n");
        config.close();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_RUNTIME_DIR"_s, dir.path());
        env.insert(u"PULSE_SERVER"_s, u"unix:"_s + socket);
        env.remove(u"DBUS_SESSION_BUS_ADDRESS"_s); // the desktop's has its own
        QProcess pulse, feeder;
        pulse.setProcessEnvironment(env);
        feeder.setProcessEnvironment(env);
        const auto pulseRuns = [&](const QStringList &tool) {
            QProcess run;
            run.setProcessEnvironment(env);
            run.start(tool.first(), tool.mid(1));
            return run.waitForFinished(20000) && run.exitCode() == 0;
        };
        const auto startPulse = [&] {
            pulse.start(u"pulseaudio"_s, {u"-n"_s, u"-F"_s, config.fileName(), u"--daemonize=no"_s,
                                          u"--exit-idle-time=-1"_s, u"--use-pid-file=no"_s});
            if (!pulse.waitForStarted() || !waitUntil(
                                               [&] {
                                                   return pulseRuns({u"pactl"_s, u"info"_s});
                                               },
                                               10000))
                return false;
            // The microphone delivers silence between utterances; the first
            // playback after the feeder starts is lost.
            feeder.start(u"pacat"_s, {u"--playback"_s, u"-d"_s, u"feed"_s, u"--latency-msec=20"_s,
                                      u"--format=s16le"_s, u"--rate=16000"_s, u"--channels=1"_s,
                                      u"/dev/zero"_s});
            return feeder.waitForStarted() && pulseRuns({u"paplay"_s, u"-d"_s, u"feed"_s, hello});
        };
        QVERIFY2(startPulse(), pulse.readAllStandardError().constData());
        PasteTarget target;
        QVERIFY(target.start());
        DaemonProcess daemon;
        daemon.setEnvironment(u"PULSE_SERVER"_s, u"unix:"_s + socket);
        QVERIFY(startWithModel(daemon));
        daemon.sendSignal(SIGUSR1);
        QVERIFY(daemon.waitForMessage(u"Recording started"_s));
        QVERIFY(pulseRuns({u"paplay"_s, u"-d"_s, u"feed"_s, hello}));

        feeder.kill();
        pulse.kill();
        pulse.waitForFinished();
        feeder.waitForFinished();
        QFile::remove(socket);
        QVERIFY(daemon.waitForMessage(u"ERROR: recording broke off: the connection to the sound "
                                      "server was lost; transcribing what was recorded"_s,
                                      3000));
        QTRY_COMPARE_WITH_TIMEOUT(target.text(), u"Hello world."_s, 20000);
        daemon.sendSignal(SIGUSR2);
        QVERIFY(daemon.waitForMessage(u"No active recorder"_s));

        QVERIFY(startPulse());
        QTest::qWait(3000); // a failed connection attempt is not retried sooner
        QVERIFY(daemon.dictate(QString(), u"Recording too short"_s));

        // Hanging for 10 s at a press: the daemon answers meanwhile (a cancel
        // over the bus, within a second), and the next dictation works once
        // the sound server is back.
        ::kill(pid_t(pulse.processId()), SIGSTOP);
        QElapsedTimer frozen;
        frozen.start();
        daemon.sendSignal(SIGUSR1);
        QVERIFY(daemon.waitForMessage(u"Received SIGUSR1 \u2192 start recording"_s));
        QDBusMessage cancel = QDBusMessage::createMethodCall(u"com.parlotta.app"_s, u"/"_s,
                                                             u"org.parlotta.Daemon"_s, u"Cancel"_s);
        QCOMPARE(QDBusConnection::sessionBus().call(cancel, QDBus::Block, 1000).type(),
                 QDBusMessage::ReplyMessage);
        QVERIFY(daemon.waitForMessage(u"Recording cancelled (parlotta --cancel)"_s, 1000));
        QTest::qWait(int(std::max<qint64>(0, 10000 - frozen.elapsed())));
        ::kill(pid_t(pulse.processId()), SIGCONT);
        daemon.sendSignal(SIGUSR1);
        QVERIFY(daemon.waitForMessage(u"Recording started"_s));
        QVERIFY(pulseRuns({u"paplay"_s, u"-d"_s, u"feed"_s, hello}));
        daemon.sendSignal(SIGUSR2);
        QTRY_COMPARE_WITH_TIMEOUT(target.text(), u"Hello world. Hello world."_s, 20000);
        feeder.kill();
        pulse.kill();
        pulse.waitForFinished();
        feeder.waitForFinished();
    }

    // A binding's press whose release never comes (a lock screen, a release
    // that overtook its press) ends at the hold limit as a release would.
    void bindingPressWithoutRelease()
    {
        PasteTarget target;
        QVERIFY(target.start());
        DaemonProcess daemon;
        daemon.setEnvironment(u"PARLOTTA_HOLD_LIMIT"_s, u"4"_s);
        QVERIFY(startWithModel(daemon));
        QProcess press;
        press.start(QStringLiteral(PARLOTTA_BINARY), {u"--press"_s});
        QVERIFY(press.waitForFinished(10000));
        QCOMPARE(press.exitCode(), 0);
        QVERIFY(daemon.waitForMessage(u"Recording started"_s));
        QVERIFY(playIntoMicrophone(hello));
        QVERIFY(daemon.waitForMessage(
            u"No release of the hotkey seen for 4 s, stopping as if released"_s, 10000));
        QTRY_COMPARE_WITH_TIMEOUT(target.text(), u"Hello world."_s, 20000);
    }

    void frozenClipboardOwnerDoesNotHang()
    {
        PasteTarget target;
        QVERIFY(target.start());
        QProcess owner; // xclip in the foreground owns the clipboard, then freezes
        owner.start(u"xclip"_s, {u"-quiet"_s, u"-selection"_s, u"clipboard"_s});
        QVERIFY(owner.waitForStarted());
        owner.write("frozen");
        owner.closeWriteChannel();
        QByteArray content;
        QVERIFY(waitUntil([&] { return readClipboard(u"UTF8_STRING"_s, &content); }, 3000));
        ::kill(pid_t(owner.processId()), SIGSTOP);
        DaemonProcess daemon;
        QVERIFY(startWithModel(daemon));
        QVERIFY(daemon.dictate(hello, u"Pasted via XTest"_s));
        QTRY_COMPARE(target.text(), u"Hello world."_s);
        QVERIFY(
            !lastLineStartingWith(daemon, u"ERROR: could not save the clipboard: "_s).isEmpty());
        ::kill(pid_t(owner.processId()), SIGCONT);
        owner.kill();
        owner.waitForFinished();
    }

    // No key types "v" in a layout without Latin letters, and real applications
    // then match no paste shortcut to Control and the key at V: Shift+Insert
    // pastes in GTK (a zenity entry, which prints its text on Return) and in a
    // plain Qt text field alike. Right Alt is held meanwhile, here only a
    // modifier and not the push-to-talk key.
    void pasteUnderForeignLayoutAndHeldAlt()
    {
        DaemonProcess daemon;
        daemon.writePreferences("[General]\nhotkey=-1\n");
        QVERIFY(startWithModel(daemon));
        QVERIFY(QProcess::execute(u"setxkbmap"_s, {u"ru"_s}) == 0);
        const auto restore = qScopeGuard([] { QProcess::execute(u"setxkbmap"_s, {u"us"_s}); });
        QProcess gtk;
        gtk.start(u"zenity"_s, {u"--entry"_s, u"--title=GTK Entry"_s});
        QString window;
        QVERIFY(
            waitUntil([&] { return !(window = windowNamed(u"GTK Entry"_s)).isEmpty(); }, 10000));
        runTool(u"xdotool"_s, {u"windowactivate"_s, u"--sync"_s, window});
        QTest::qWait(500);
        QVERIFY(xkey(u"down"_s, {108}));
        QVERIFY(daemon.dictate(hello, u"Pasted via XTest (Shift+Insert)"_s));
        QVERIFY(xkey(u"up"_s, {108}));
        QVERIFY(xkey(u"tap"_s, {36})); // Return
        QVERIFY(gtk.waitForFinished(10000));
        QCOMPARE(gtk.readAllStandardOutput().trimmed(), "Hello world."_ba);

        PasteTarget field;
        QVERIFY(field.start({u"--field"_s}));
        QVERIFY(daemon.dictate(hello, u"Pasted via XTest (Shift+Insert)"_s));
        QTRY_COMPARE(field.text(), u"Hello world."_s);
        QVERIFY(lastLineStartingWith(daemon, u"ERROR: "_s).isEmpty());
    }

    // What is not a transcript is never pasted, and its recording is kept.
    void badAnswers()
    {
        PasteTarget target;
        QVERIFY(target.start());
        FakeServer server;
        QByteArray huge;
        while (huge.size() < 3 * 1024 * 1024)
            huge += "lorem ipsum dolor sit amet ";
        server.addAnswer(200, " " + huge + "\n");
        server.addAnswer(200, " Hello world. Hello world.\n", 0, true);
        server.addAnswer(400, "Invalid request");
        QVERIFY(server.start());
        DaemonProcess daemon;
        QVERIFY(daemon.start());

        QVERIFY(daemon.dictate(hello, u"Transcription failed: whisper-server answered more than "
                                      "1 MB, which is no transcript"_s));
        // The server drops the connection halfway through its answer.
        QVERIFY(daemon.dictate(hello, u"Blank audio, skipping paste"_s));
        QVERIFY(!lastLineStartingWith(daemon, u"Request error: "_s).isEmpty());
        QVERIFY(daemon.dictate(
            hello, u"Transcription failed: whisper-server answered HTTP 400 (Invalid request)"_s));
        QTest::qWait(300);
        QCOMPARE(target.text(), QString());
        QVERIFY(daemon.logMessages().filter(u"Copied to clipboard"_s).isEmpty());
        // The next answer that is a transcript is pasted as ever.
        QVERIFY(daemon.dictate(hello, u"Pasted via XTest"_s));
        QTRY_COMPARE(target.text(), u"Hello world."_s);
    }

    // A transcription the server never answers must not hold up SIGTERM: the
    // daemon ends all the same, within seconds.
    void sigtermEndsAHungTranscription()
    {
        FakeServer hung;
        hung.addAnswer(200, " Hello world.\n", 120000);
        QVERIFY(hung.start());
        DaemonProcess daemon;
        QVERIFY(daemon.start());
        QVERIFY(daemon.dictate(hello, u"Recording stopped, file: "_s));
        QTest::qWait(300); // the request is on its way
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit(5000));
        QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
        QCOMPARE(daemon.exitCode(), 0);
        QCOMPARE(daemon.logMessages().last(), u"Daemon shutting down"_s);
    }

    // Another user's program on the port would read the recording and choose
    // what is typed into the user's window: it gets nothing, whether it holds
    // our server's port or that of another server on loopback (an SSH tunnel
    // that is down).
    void anotherUsersServerGetsNothing_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<QByteArray>("preferences");
        QTest::addColumn<QString>("host");
        QTest::newRow("this computer's server") << u"8178"_s << QByteArray() << u"127.0.0.1"_s;
        QTest::newRow("another server through a tunnel")
            << u"9000"_s << "[General]\nserver=remote\nserver-address=http://localhost:9000\n"_ba
            << u"localhost"_s;
    }
    void anotherUsersServerGetsNothing()
    {
        QFETCH(QString, port);
        QFETCH(QByteArray, preferences);
        QFETCH(QString, host);
        if (::geteuid() != 0)
            QSKIP("runs a server as another user, which needs root");
        QTemporaryDir dir; // a copy of the stand-in that the other user can run
        QFile::setPermissions(dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                              QFile::ReadOther | QFile::ExeOther);
        const QString program = dir.filePath(u"whisper-server"_s);
        QVERIFY(QFile::copy(QStringLiteral(FAKE_WHISPER_SERVER), program));
        QProcess foreign;
        foreign.setProcessEnvironment(QProcessEnvironment());
        foreign.setChildProcessModifier([] {
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(99);
        });
        foreign.start(program, {u"--port"_s, port});
        QVERIFY(foreign.waitForStarted());
        QVERIFY(waitUntil(
            [&] {
                QTcpSocket probe;
                probe.connectToHost(u"127.0.0.1"_s, port.toUShort());
                return probe.waitForConnected(200);
            },
            5000));
        PasteTarget target;
        QVERIFY(target.start());
        DaemonProcess daemon;
        daemon.installModel(u"hello"_s);
        if (!preferences.isEmpty())
            daemon.writePreferences(preferences);
        QVERIFY(daemon.start());
        // Our own server cannot listen there, and the log says who holds the port.
        if (preferences.isEmpty())
            QVERIFY(daemon.waitForMessage(
                QStringLiteral("ERROR: port 8178 on 127.0.0.1 belongs to another user (uid "
                               "65534); whisper-server cannot listen there"),
                15000));
        CueWatcher cues;
        QVERIFY(daemon.dictate(hello, u"ERROR: port %1 on %2 belongs to another user (uid 65534); "
                                      "the recording was not sent"_s.arg(port, host)));
        QTRY_VERIFY(cues.played().contains(u"basso"_s));
        QTest::qWait(500);
        QCOMPARE(target.text(), QString());
        QVERIFY(lastLineStartingWith(daemon, u"Whisper response"_s).isEmpty());
        foreign.kill();
        foreign.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestDictation)
#include "tst_dictation.moc"

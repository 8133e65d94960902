#include "daemon_process.h"
#include "desktop_helpers.h"

#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QtEndian>
#include <csignal>

namespace {

const QString recordingPath = QStringLiteral("/tmp/parlotta/recording.wav");

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every format the clipboard's owner offers, but the meta ones.
QMap<QString, QByteArray> clipboardContents()
{
    QMap<QString, QByteArray> contents;
    QByteArray targets;
    if (!readClipboard(QStringLiteral("TARGETS"), &targets))
        return contents;
    for (const QByteArray &target : targets.split('\n')) {
        if (target.isEmpty() || target == "TARGETS" || target == "MULTIPLE" ||
            target == "TIMESTAMP" || target == "SAVE_TARGETS")
            continue;
        QByteArray data;
        if (readClipboard(QString::fromUtf8(target), &data))
            contents.insert(QString::fromUtf8(target), data);
    }
    return contents;
}

QString lastLineStartingWith(const DaemonProcess &daemon, const QString &prefix)
{
    const QStringList lines =
        daemon.logMessages().filter(QRegularExpression(u'^' + QRegularExpression::escape(prefix)));
    return lines.isEmpty() ? QString() : lines.last();
}

} // namespace

class TestDictation : public QObject {
    Q_OBJECT

    QString hello;       // "hello world", normal level
    QString quietThanks; // "thank you", about -30 dB
    QString loudThanks;

    // SIGUSR1, audio into the microphone, SIGUSR2; waits for the line that ends the dictation.
    bool dictate(DaemonProcess &daemon, const QString &audio, const QString &lastLine)
    {
        const int before = daemon.logMessages().size();
        daemon.sendSignal(SIGUSR1);
        if (!waitUntil(
                [&] {
                    return daemon.logMessages().mid(before).contains(
                        QStringLiteral("Recording started"));
                },
                5000))
            return false;
        if (!audio.isEmpty() && !playIntoMicrophone(audio))
            return false;
        daemon.sendSignal(SIGUSR2);
        return waitUntil(
            [&] {
                const QStringList lines = daemon.logMessages().mid(before);
                return std::any_of(lines.cbegin(), lines.cend(),
                                   [&](const QString &line) { return line.startsWith(lastLine); });
            },
            15000);
    }

  private Q_SLOTS:
    // A test that failed halfway must not leave keys held down for the next.
    void cleanup()
    {
        xkey(QStringLiteral("up"), {108, 64, 50, 37, 133, 67, 71, 38, 56});
    }

    void initTestCase()
    {
        hello = makeSpeech(QStringLiteral("hello world"));
        quietThanks = makeSpeech(QStringLiteral("thank you"), -22);
        loudThanks = makeSpeech(QStringLiteral("thank you"), 0, true);
        QVERIFY(!hello.isEmpty() && !quietThanks.isEmpty() && !loudThanks.isEmpty());
        QVERIFY2(loudestWindowDb(quietThanks) < -20 && loudestWindowDb(quietThanks) > -45,
                 qPrintable(QString::number(loudestWindowDb(quietThanks))));
        QVERIFY(loudestWindowDb(loudThanks) > -14);
    }

    void speechIsRecordedSentPastedAndClipboardGivenBack()
    {
        PasteTarget target;
        QVERIFY(target.start(false, true));
        const QMap<QString, QByteArray> before = clipboardContents();
        QVERIFY(before.contains(QStringLiteral("text/html")));
        QVERIFY(before.contains(QStringLiteral("application/x-parlotta-test")));
        FakeServer server;
        QVERIFY(server.start());
        DaemonProcess daemon;
        QVERIFY(daemon.start());
        CueWatcher cues;

        QVERIFY(dictate(daemon, hello, QStringLiteral("Clipboard restored")));
        QTRY_COMPARE(target.text(), QStringLiteral("Hello world."));
        const QStringList lines = daemon.logMessages();
        const qsizetype response =
            lines.indexOf(QStringLiteral("Whisper response: 'Hello world.'"));
        QVERIFY(response > 0);
        QCOMPARE(lines.mid(response + 1, 3),
                 (QStringList{"Copied to clipboard", "Pasted via XTest", "Clipboard restored"}));

        // The recording: a correct header, and the length and level of what was played.
        const QByteArray wav = readFile(recordingPath);
        QCOMPARE(wav.left(4), QByteArray("RIFF"));
        QCOMPARE(qFromLittleEndian<quint32>(wav.constData() + 4), quint32(wav.size() - 8));
        QCOMPARE(qFromLittleEndian<quint16>(wav.constData() + 22), quint16(1));
        QCOMPARE(qFromLittleEndian<quint32>(wav.constData() + 24), quint32(16000));
        QCOMPARE(qFromLittleEndian<quint16>(wav.constData() + 34), quint16(16));
        QCOMPARE(qFromLittleEndian<quint32>(wav.constData() + 40), quint32(wav.size() - 44));
        const double played = double(QFileInfo(hello).size() - 44) / 32000;
        const double recorded = double(wav.size() - 44) / 32000;
        QVERIFY2(recorded >= played && recorded < played + 1.5,
                 qPrintable(QString::number(recorded)));
        const QString stopping =
            lastLineStartingWith(daemon, QStringLiteral("Stopping - duration: "));
        const float logged =
            stopping.section(QStringLiteral("best avg: "), 1).section(u' ', 0, 0).toFloat();
        QVERIFY2(std::abs(logged - loudestWindowDb(hello)) < 3, qPrintable(stopping));

        // The form: the WAV unchanged, "text" as the format, no language for "auto".
        const QList<QByteArray> requests = server.requests();
        QCOMPARE(requests.size(), 1);
        QByteArray boundary;
        const QList<FormPart> parts = formParts(requests[0], &boundary);
        QCOMPARE(boundary.size(), 36);
        QCOMPARE(boundary, boundary.toUpper());
        QCOMPARE(parts.size(), 2);
        QVERIFY(parts[0].headers.contains("name=\"file\"; filename=\"recording.wav\""));
        QCOMPARE(parts[0].body, wav);
        QCOMPARE(parts[1].body, QByteArray("text"));
        QVERIFY(requests[0].endsWith("--" + boundary + "--\r\n"));

        QCOMPARE(clipboardContents(), before);
        const QStringList cuesPlayed = cues.played();
        QVERIFY2(cuesPlayed.contains(QStringLiteral("tink")) &&
                     cuesPlayed.contains(QStringLiteral("pop")),
                 qPrintable(cuesPlayed.join(u',')));
    }

    void emptyClipboardStaysEmptyAndLanguageIsSent()
    {
        PasteTarget target;
        QVERIFY(target.start());
        QByteArray none;
        QVERIFY(!readClipboard(QStringLiteral("TARGETS"), &none));
        FakeServer server;
        QVERIFY(server.start());
        DaemonProcess daemon;
        daemon.writePreferences("[General]\nlanguage=nl\n");
        QVERIFY(daemon.start());

        QVERIFY(dictate(daemon, hello, QStringLiteral("Pasted via XTest")));
        QTRY_COMPARE(target.text(), QStringLiteral("Hello world."));
        QTest::qWait(1200);
        QVERIFY(!daemon.logMessages().contains(QStringLiteral("Clipboard restored")));
        QVERIFY(!readClipboard(QStringLiteral("TARGETS"), &none));
        const QList<FormPart> parts = formParts(server.requests().value(0));
        QCOMPARE(parts.size(), 3);
        QVERIFY(parts[2].headers.contains("name=\"language\""));
        QCOMPARE(parts[2].body, QByteArray("nl"));
    }

    void gates_data()
    {
        QTest::addColumn<QString>("audio");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("sent");
        QTest::addColumn<QString>("pasted");

        QTest::newRow("too short")
            << QString() << QByteArray() << "Recording too short (0." << false << QString();
        QTest::newRow("digital silence")
            << makeSilence(1.0) << QByteArray() << "Audio too quiet (best avg -160.0 dB), skipping"
            << false << QString();
        QTest::newRow("blank answer")
            << hello << QByteArray("\n") << "Blank audio, skipping paste" << true << QString();
        QTest::newRow("blank marker") << hello << QByteArray(" [BLANK_AUDIO]\n")
                                      << "Blank audio, skipping paste" << true << QString();
        QTest::newRow("not UTF-8") << hello << QByteArray(" \xff\xfe\xfd\n")
                                   << "Blank audio, skipping paste" << true << QString();
        QTest::newRow("hallucination on quiet speech")
            << quietThanks << QByteArray(" Thank you.\n")
            << "Likely hallucination on quiet audio (best avg -" << true << QString();
        QTest::newRow("same words, normal level") << loudThanks << QByteArray(" Thank you.\n")
                                                  << "Pasted via XTest" << true << "Thank you.";
        QTest::newRow("error status body is the transcript")
            << hello << QByteArray("Invalid request") << "Pasted via XTest" << true
            << "Invalid request";
    }

    void gates()
    {
        QFETCH(QString, audio);
        QFETCH(QByteArray, answer);
        QFETCH(QString, line);
        QFETCH(bool, sent);
        QFETCH(QString, pasted);
        PasteTarget target;
        QVERIFY(target.start());
        FakeServer server;
        server.addAnswer(answer == "Invalid request" ? 400 : 200, answer);
        QVERIFY(server.start());
        DaemonProcess daemon;
        QVERIFY(daemon.start());
        CueWatcher cues;
        QVERIFY(dictate(daemon, audio, line));
        QCOMPARE(server.requests().size(), sent ? 1 : 0);
        if (pasted.isEmpty()) {
            QTRY_VERIFY(cues.played().contains(QStringLiteral("basso")));
            QCOMPARE(target.text(), QString());
        } else {
            QTRY_COMPARE(target.text(), pasted);
        }
    }

    void serverDownFailsCleanly()
    {
        DaemonProcess daemon;
        QVERIFY(daemon.start());
        CueWatcher cues;
        QVERIFY(dictate(daemon, hello, QStringLiteral("Blank audio, skipping paste")));
        const QStringList lines = daemon.logMessages();
        const qsizetype error =
            lines.indexOf(QRegularExpression(QStringLiteral("^Request error: .+")));
        QVERIFY(error > 0);
        QCOMPARE(lines.mid(error + 1, 2),
                 (QStringList{"Whisper response: ''", "Blank audio, skipping paste"}));
        QTRY_VERIFY(cues.played().contains(QStringLiteral("basso")));
        // Free again at once.
        daemon.sendSignal(SIGUSR1);
        QVERIFY(daemon.waitForMessage(QStringLiteral("Recording started"), 2000));
    }

    void noSoundServerNeverBlocks()
    {
        DaemonProcess daemon;
        daemon.setEnvironment(QStringLiteral("PULSE_SERVER"),
                              QStringLiteral("unix:/nonexistent/native"));
        QVERIFY(daemon.start());
        QVERIFY(daemon.waitForMessage(QStringLiteral("Microphone access denied")));
        daemon.sendSignal(SIGUSR1);
        QVERIFY(waitUntil(
            [&] { return !lastLineStartingWith(daemon, QStringLiteral("ERROR: ")).isEmpty(); },
            3000));
        QVERIFY(!daemon.logMessages().contains(QStringLiteral("Recording started")));
        daemon.sendSignal(SIGUSR2);
        QVERIFY(daemon.waitForMessage(QStringLiteral("No active recorder"), 3000));
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit(3000));
        QCOMPARE(daemon.exitCode(), 0);
    }

    void frozenClipboardOwnerDoesNotHang()
    {
        PasteTarget target;
        QVERIFY(target.start());
        QProcess owner; // xclip in the foreground owns the clipboard, then freezes
        owner.start(
            QStringLiteral("xclip"),
            {QStringLiteral("-quiet"), QStringLiteral("-selection"), QStringLiteral("clipboard")});
        QVERIFY(owner.waitForStarted());
        owner.write("frozen");
        owner.closeWriteChannel();
        QByteArray content;
        QVERIFY(waitUntil([&] { return readClipboard(QStringLiteral("UTF8_STRING"), &content); },
                          3000));
        ::kill(pid_t(owner.processId()), SIGSTOP);
        FakeServer server;
        QVERIFY(server.start());
        DaemonProcess daemon;
        QVERIFY(daemon.start());
        QVERIFY(dictate(daemon, hello, QStringLiteral("Pasted via XTest")));
        QTRY_COMPARE(target.text(), QStringLiteral("Hello world."));
        QVERIFY(
            !lastLineStartingWith(daemon, QStringLiteral("ERROR: could not save the clipboard: "))
                 .isEmpty());
        ::kill(pid_t(owner.processId()), SIGCONT);
        owner.kill();
        owner.waitForFinished();
    }

    void pasteLandsWhileRightAltIsHeld()
    {
        PasteTarget target;
        QVERIFY(target.start());
        FakeServer server;
        QVERIFY(server.start());
        DaemonProcess daemon;
        // Right Alt here is only a held modifier, not the push-to-talk key.
        daemon.writePreferences("[General]\nhotkey=-1\n");
        QVERIFY(daemon.start());
        QVERIFY(xkey(QStringLiteral("down"), {108}));
        QVERIFY(dictate(daemon, hello, QStringLiteral("Pasted via XTest")));
        QTRY_COMPARE(target.text(), QStringLiteral("Hello world."));
        QVERIFY(xkey(QStringLiteral("up"), {108}));
    }

    void terminalGetsControlShiftV()
    {
        PasteTarget target;
        QVERIFY(target.start(true));
        FakeServer server;
        QVERIFY(server.start());
        DaemonProcess daemon;
        QVERIFY(daemon.start());
        QVERIFY(dictate(daemon, hello, QStringLiteral("Pasted via XTest (Ctrl+Shift+V)")));
        QTRY_COMPARE(target.text(), QStringLiteral("Hello world."));
    }

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
        QVERIFY(server.start());
        DaemonProcess daemon;
        QVERIFY(daemon.start());

        QVERIFY(dictate(daemon, hello, QStringLiteral("Pasted via XTest")));
        QTRY_COMPARE_WITH_TIMEOUT(target.text().size(), huge.trimmed().size(), 10000);
        QCOMPARE(target.text().toUtf8(), huge.trimmed());

        // The server drops the connection halfway through its answer.
        QVERIFY(dictate(daemon, hello, QStringLiteral("Blank audio, skipping paste")));
        QVERIFY(!lastLineStartingWith(daemon, QStringLiteral("Request error: ")).isEmpty());
    }

    void symlinkInPlaceOfRecordingIsNotFollowed()
    {
        FakeServer server;
        QVERIFY(server.start());
        DaemonProcess daemon;
        QVERIFY(daemon.start());
        QVERIFY(dictate(daemon, hello, QStringLiteral("Whisper response: ")));

        QTemporaryDir elsewhere;
        QFile victim(elsewhere.filePath(QStringLiteral("precious.txt")));
        QVERIFY(victim.open(QIODevice::WriteOnly));
        victim.write("keep me");
        victim.close();
        QVERIFY(QFile::remove(recordingPath));
        QVERIFY(QFile::link(victim.fileName(), recordingPath));

        QVERIFY(dictate(daemon, hello, QStringLiteral("Whisper response: ")));
        QCOMPARE(readFile(victim.fileName()), QByteArray("keep me"));
        QVERIFY(!QFileInfo(recordingPath).isSymLink());
        QCOMPARE(formParts(server.requests().value(1)).value(0).body, readFile(recordingPath));
    }
};

QTEST_GUILESS_MAIN(TestDictation)
#include "tst_dictation.moc"

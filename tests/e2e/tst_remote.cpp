#include "daemon_process.h"
#include "desktop_helpers.h"
#include "remote_server.h"
#include "test_panel.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QScopeGuard>
#include <QTest>
#include <csignal>

namespace {

QByteArray formField(const QByteArray &body, const QByteArray &name)
{
    const QByteArray head = "name=\"" + name + "\"\r\n\r\n";
    const qsizetype at = body.indexOf(head);
    if (at < 0)
        return {};
    const qsizetype start = at + head.size();
    return body.mid(start, body.indexOf("\r\n", start) - start);
}

// Every file under a folder that holds the text.
QStringList filesHolding(const QString &folder, const QByteArray &text)
{
    QStringList found;
    QDirIterator files(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        if (readFile(path).contains(text))
            found << path;
    }
    return found;
}

void openSettings(const TestPanel &panel)
{
    QTRY_VERIFY(panel.menu().find(u"Settings…"_s));
    QVERIFY(panel.click(panel.menu().find(u"Settings…"_s)->id));
    QTRY_VERIFY_WITH_TIMEOUT(!windowNamed(u"Settings"_s).isEmpty(), 10000);
    QTRY_COMPARE(runTool(u"xdotool"_s, {u"getactivewindow"_s}), windowNamed(u"Settings"_s));
}

} // namespace

class TestRemote : public QObject {
    Q_OBJECT

    QString hello;

  private Q_SLOTS:
    void initTestCase()
    {
        hello = makeSpeech(u"hello world"_s);
        QVERIFY(!hello.isEmpty());
    }

    // Both forms over TLS with a key typed into the window, kept in the secret
    // service and read back after a restart; the local server is not started.
    void throughTlsWithKey_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QByteArray>("model");
        QTest::newRow("whisper.cpp")
            << u"/inference"_s << u"https://127.0.0.1:%1"_s << QByteArray();
        QTest::newRow("OpenAI-compatible")
            << u"/v1/audio/transcriptions"_s << u"https://localhost:%1/v1"_s << "whisper-1"_ba;
    }
    void throughTlsWithKey()
    {
        QFETCH(QString, path);
        QFETCH(QString, address);
        QFETCH(QByteArray, model);
        const QByteArray key = "pk-test-" + QByteArray::number(qHash(path), 16);
        RemoteServer remote;
        QVERIFY(remote.start(path, QString::fromLatin1(key)));
        Keyring keyring;
        QVERIFY(keyring.start());
        QObject owner;
        TestPanel panel(&owner);
        QVERIFY(panel.start());
        PasteTarget target;

        DaemonProcess daemon;
        daemon.installModel(u"morning"_s); // were it used, the paste would read "Good morning."
        daemon.writePreferences(
            "[General]\nserver=remote\nserver-address=" + address.arg(remote.tlsPort).toUtf8() +
            "\nvocabulary=Kubernetes\\nAnneke Janssen\n");
        daemon.setEnvironment(u"SSL_CERT_FILE"_s, remote.caFile());
        daemon.setEnvironment(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, u"1"_s);
        QVERIFY(daemon.start());
        QVERIFY(daemon.waitForMessage(u"Another server transcribes, whisper-server not started"_s));
        QVERIFY(!serverPortOpen());
        QVERIFY(!panel.waitForItem().isEmpty());

        openSettings(panel);
        QVERIFY(accessibleShowing(u"password text"_s, u"API key"_s));
        runTool(u"xdotool"_s, {u"key"_s, u"alt+k"_s});
        runTool(u"xdotool"_s, {u"type"_s, u"--delay"_s, u"20"_s, QString::fromLatin1(key)});
        runTool(u"xdotool"_s, {u"key"_s, u"Return"_s});
        QVERIFY2(daemon.waitForMessage(u"API key stored in the secret service"_s),
                 qPrintable(daemon.logMessages().join(u'\n')));
        QTRY_VERIFY(
            accessibleShowing(u"label"_s, u"The key is kept in the desktop's secret service."_s));
        QVERIFY(target.start());

        QVERIFY(daemon.dictate(hello, u"Pasted via"_s));
        QTRY_COMPARE(target.text(), u"Hello world."_s);
        QCOMPARE(remote.lastAuthorization(), "Bearer " + key);
        const QByteArray body = remote.lastBody();
        QCOMPARE(formField(body, "prompt"), "Kubernetes, Anneke Janssen"_ba);
        QCOMPARE(formField(body, "model"), model);
        QCOMPARE(formField(body, "response_format"), "json"_ba);

        // Read back from the secret service by the next run.
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
        QVERIFY(daemon.start());
        QVERIFY(daemon.dictate(hello, u"Pasted via"_s));
        QTRY_COMPARE(target.text(), u"Hello world.Hello world."_s);
        QCOMPARE(remote.lastAuthorization(), "Bearer " + key);

        // The key is in no file in the clear, the log and the preferences included.
        QCOMPARE(filesHolding(daemon.home(), key), QStringList());
        QCOMPARE(filesHolding(keyring.dataPath(), key), QStringList());
        QVERIFY(!daemon.logBytes().contains(key));
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
    }

    // A keyring that never answers (the secret service stopped, as a locked
    // keyring waiting for its password is): the first recording waits the
    // limit and goes without the key, and the next ones do not wait at all.
    void keyringThatNeverAnswers()
    {
        RemoteServer remote;
        QVERIFY(remote.start(u"/inference"_s));
        Keyring keyring;
        QVERIFY(keyring.start());
        QCOMPARE(::kill(pid_t(keyring.pid()), SIGSTOP), 0);
        const auto resume = qScopeGuard([&] { ::kill(pid_t(keyring.pid()), SIGCONT); });
        PasteTarget target;
        QVERIFY(target.start());
        DaemonProcess daemon;
        daemon.installModel(u"morning"_s);
        daemon.writePreferences("[General]\nserver=remote\nserver-address=https://127.0.0.1:" +
                                QByteArray::number(remote.tlsPort) + "\n");
        daemon.setEnvironment(u"SSL_CERT_FILE"_s, remote.caFile());
        daemon.setEnvironment(u"PARLOTTA_KEYRING_WAIT_MS"_s, u"2000"_s);
        QVERIFY(daemon.start());
        const QString gaveUp = u"The secret service has not given the API key within 2 s (is the "
                               "keyring locked?); sending without it"_s;
        QVERIFY(daemon.dictate(hello, u"Pasted via"_s));
        QTRY_COMPARE(target.text(), u"Hello world."_s);
        QVERIFY(daemon.logMessages().contains(gaveUp));
        QCOMPARE(remote.lastAuthorization(), QByteArray());
        QVERIFY(daemon.dictate(hello, u"Pasted via"_s));
        QTRY_COMPARE(target.text(), u"Hello world. Hello world."_s);
        QCOMPARE(daemon.logMessages().count(gaveUp), 1);
    }

    // Each way another server fails: its line, the Basso cue, a warning in the
    // menu and the recording kept; sent again once the server is back, they all paste.
    void failuresKeepTheRecording()
    {
        RemoteServer remote;
        QVERIFY(remote.start(u"/inference"_s));
        QObject owner;
        TestPanel panel(&owner);
        QVERIFY(panel.start());
        PasteTarget target;
        QVERIFY(target.start());
        DaemonProcess daemon;
        daemon.installModel(u"morning"_s);
        daemon.setEnvironment(u"SSL_CERT_FILE"_s, remote.caFile());
        const auto serveAt = [&](const QString &address) {
            daemon.writePreferences("[General]\nserver=remote\nserver-address=" + address.toUtf8() +
                                    "\n");
        };
        const QString working = u"https://127.0.0.1:%1"_s.arg(remote.tlsPort);
        serveAt(u"https://parlotta-test.invalid:%1"_s.arg(remote.tlsPort));
        QVERIFY(daemon.start());
        QVERIFY(!panel.waitForItem().isEmpty());

        struct Failure {
            QString address;
            QByteArray mode;
            QString line;
            QString menu;
        };
        const QString server = u"Transcription failed: the server at "_s;
        const QList<Failure> failures = {
            {u"https://parlotta-test.invalid:%1"_s.arg(remote.tlsPort), "",
             server + u"https://parlotta-test.invalid:%1 is unreachable"_s.arg(remote.tlsPort),
             u"The transcription server is unreachable"_s},
            {u"https://127.0.0.1:%1"_s.arg(remote.closedPort), "",
             server + u"https://127.0.0.1:%1 refused the connection"_s.arg(remote.closedPort),
             u"The transcription server refused the connection"_s},
            {u"https://127.0.0.1:%1"_s.arg(remote.untrustedPort), "",
             server + u"https://127.0.0.1:%1 could not prove who it is"_s.arg(remote.untrustedPort),
             u"The transcription server's certificate is not trusted"_s},
            {working, "401", server + working + u" refused the API key (HTTP 401)"_s,
             u"The transcription server refused the API key"_s},
            {working, "503", server + working + u" failed (HTTP 503)"_s,
             u"The transcription server failed (HTTP 503)"_s},
            {working, "redirect",
             server + working + u" sent it on to an address that is not https; not followed"_s,
             u"The transcription server redirected to plain http"_s},
            {working, "login",
             server + working +
                 u" sent it on to https://localhost:%1 (HTTP 302); not followed: enter that "
                 "address if it is your server"_s.arg(remote.tlsPort),
             u"The transcription server sent the recording elsewhere"_s},
            {working, "json-error",
             server + working + u" answered an error: You exceeded your current quota"_s,
             u"The transcription server's answer is not a transcript"_s},
            {working, "huge",
             server + working + u" answered more than 1 MB, which is no transcript"_s,
             u"The transcription server's answer is too large"_s},
            {working, "hang", server + working + u" did not answer within 2"_s,
             u"The transcription server did not answer in time"_s},
        };
        QString again;
        for (const Failure &failure : failures) {
            serveAt(failure.address);
            remote.setMode(failure.mode);
            CueWatcher cues;
            QVERIFY2(daemon.dictate(hello, failure.line, 60000), qPrintable(failure.line));
            QTRY_VERIFY(cues.played().contains(u"basso"_s));
            QTRY_VERIFY(panel.menu().find(failure.menu));
            const qsizetype kept = &failure - failures.constData() + 1;
            again = kept == 1 ? u"Transcribe the last recording again"_s
                              : u"Transcribe the last %1 recordings again"_s.arg(kept);
            QVERIFY2(panel.menu().find(again), qPrintable(panel.menu().childLabels().join(u'|')));
            QVERIFY(panel.toolTip().endsWith(u"the last transcription failed, see the menu"_s));
        }
        QVERIFY(target.text().isEmpty());
        QVERIFY(!remote.redirected()); // the recording went nowhere the user did not say

        // None was lost: each is transcribed and pasted, in the order spoken.
        serveAt(working);
        remote.setMode("");
        QVERIFY(panel.click(panel.menu().find(again)->id));
        QTRY_VERIFY2_WITH_TIMEOUT(
            target.text() == QStringList(failures.size(), u"Hello world."_s).join(u' '),
            qPrintable(target.text() + u'\n' + daemon.logMessages().join(u'\n')), 30000);
        QTRY_VERIFY(panel.menu().childLabels().filter(u"Transcribe the last"_s).isEmpty());
        QCOMPARE(panel.toolTip(), u"Parlotta · auto"_s);
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
    }

    // The window's way there and back, by keyboard: the local server stops and
    // starts again; plain http to another machine waits for the user's consent.
    void chooseAnotherServerInTheWindow()
    {
        QObject owner;
        TestPanel panel(&owner);
        QVERIFY(panel.start());
        DaemonProcess daemon;
        daemon.installModel(u"hello"_s);
        daemon.setEnvironment(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, u"1"_s);
        QVERIFY(daemon.start() && waitForWhisperServer());
        QVERIFY(!panel.waitForItem().isEmpty());
        openSettings(panel);
        const auto keys = [](const QStringList &names) {
            runTool(u"xdotool"_s, QStringList{u"key"_s, u"--delay"_s, u"50"_s} + names);
        };
        const auto type = [](const QString &text) {
            runTool(u"xdotool"_s, {u"type"_s, u"--delay"_s, u"20"_s, text});
        };

        keys({u"alt+t"_s, u"End"_s});
        QVERIFY(daemon.waitForMessage(u"Transcription set to: another server"_s));
        QVERIFY(daemon.waitForMessage(u"whisper-server stopped"_s));
        QVERIFY(!serverPortOpen());
        QTRY_VERIFY(accessibleShowing(u"label"_s, u"The model is chosen on the server."_s));
        QVERIFY(accessibleShowing(u"label"_s, u"Enter the server's address."_s));

        keys({u"alt+d"_s});
        type(u"http://192.0.2.7:8178"_s);
        keys({u"Tab"_s});
        QVERIFY(daemon.waitForMessage(u"Transcription server set to: http://192.0.2.7:8178"_s));
        const QString consent = u"Send recordings to http://192.0.2.7:8178 unencrypted"_s;
        QTRY_VERIFY(accessibleShowing(u"check box"_s, consent));
        QVERIFY(accessibleAction(u"press"_s, u"check box"_s, consent));
        QVERIFY(daemon.waitForMessage(u"Plain http accepted for http://192.0.2.7:8178"_s));
        QTRY_VERIFY(accessibleShowing(
            u"label"_s,
            u"A whisper.cpp server: recordings go to http://192.0.2.7:8178/inference"_s));

        keys({u"alt+d"_s, u"ctrl+a"_s});
        type(u"https://api.example.com/v1"_s);
        keys({u"Tab"_s});
        QTRY_VERIFY(accessibleShowing(u"text"_s, u"Model name:"_s));
        screenshot(windowNamed(u"Settings"_s), u"settings-another-server"_s);
        QVERIFY(!accessibleShowing(u"check box"_s, consent));
        keys({u"alt+v"_s});
        type(u"Kubernetes"_s);
        QVERIFY(daemon.waitForMessage(u"Vocabulary set: 1 words"_s));
        // Written off the main thread, a moment after the log line.
        QTRY_VERIFY(readFile(daemon.preferencesPath()).contains("vocabulary=Kubernetes"));
        const QByteArray preferences = readFile(daemon.preferencesPath());
        for (const QByteArray &line :
             {"server=remote"_ba, "server-address=https://api.example.com/v1"_ba,
              "server-plain-http-accepted=http://192.0.2.7:8178"_ba, "vocabulary=Kubernetes"_ba})
            QVERIFY2(preferences.contains(line), preferences.constData());

        keys({u"alt+t"_s, u"Home"_s});
        QVERIFY(daemon.waitForMessage(u"Transcription set to: this computer"_s));
        QVERIFY(waitForWhisperServer());
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
    }

    // On the local server too, whisper hears the vocabulary. Its answer that is
    // the vocabulary read back on near-silent audio is dropped; the same names
    // said at speech level are the user's and are pasted.
    void vocabularyEchoIsDropped()
    {
        const QString nearSilence = QDir::temp().filePath(u"parlotta-near-silence.wav"_s);
        QCOMPARE(QProcess::execute(u"sox"_s, {u"-n"_s, u"-r"_s, u"16000"_s, u"-c"_s, u"1"_s,
                                              u"-b"_s, u"16"_s, nearSilence, u"synth"_s, u"2"_s,
                                              u"sine"_s, u"300"_s, u"vol"_s, u"0.008"_s}),
                 0);
        DaemonProcess daemon;
        daemon.installModel(u"echo"_s);
        daemon.writePreferences("[General]\nvocabulary=Kubernetes\\nAnneke Janssen\n");
        QVERIFY(daemon.start() && waitForWhisperServer());
        CueWatcher cues;
        QVERIFY(daemon.dictate(nearSilence, u"Transcript repeats the vocabulary"_s));
        QCOMPARE(lastLineStartingWith(daemon, u"Whisper response: "_s),
                 u"Whisper response: 'Kubernetes, Anneke Janssen.'"_s);
        QTRY_VERIFY(cues.played().contains(u"basso"_s));
        QVERIFY(daemon.logMessages().filter(u"Copied to clipboard"_s).isEmpty());
        QVERIFY(daemon.dictate(hello, u"Copied to clipboard"_s));
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
    }
};

QTEST_GUILESS_MAIN(TestRemote)
#include "tst_remote.moc"

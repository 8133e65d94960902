// The dictation pipeline on the fake platform: beginRecording's refusals and
// the stop path's decisions (gates → request → paste), with a small HTTP
// server of the test's own on loopback in place of whisper-server. No display,
// no sound server, and none of a running daemon's files.
#include "core/daemon.h"
#include "core/log.h"
#include "core/preferences.h"
#include "core/runtime_files.h"
#include "dictation/cues.h"
#include "dictation/gates.h"
#include "dictation/inference_request.h"
#include "dictation/paste.h"
#include "dictation/recording.h"
#include "dictation/stop_path.h"
#include "dictation/transcription_server.h"
#include "fake_platform.h"
#include "hotkey/event_tap.h"
#include "hotkey/hotkey_model.h"
#include "test_helpers.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <limits>

using namespace parlotta;
using Keystroke = KeyInjector::Keystroke;

namespace {

const float notANumber = std::numeric_limits<float>::quiet_NaN();
const QList<ClipboardFormat> userSelection = {{"UTF8_STRING", "selected"}};
const QList<ClipboardFormat> userClipboard = {{"text/html", "<b>mine</b>"},
                                              {"UTF8_STRING", "mine"}};

} // namespace

class TestDictationPipeline : public QObject {
    Q_OBJECT

    QTemporaryDir runtime;
    HttpStub server;

  private Q_SLOTS:
    void initTestCase()
    {
        moveRuntimeFiles(runtime.filePath(u"parlotta"_s));
        QString error;
        QVERIFY2(prepareRuntimeDir(commandDir, &error) && openLog(logPath, &error) &&
                     loadSounds(&error),
                 qPrintable(error));
        inferenceUrl = server.address() + u"/inference"_s;
    }

    void init()
    {
        QTRY_VERIFY(!microphoneOpening()); // the last test's start answered
        fake::reset();
        QFile(logPath).resize(0);
        server.requests = 0;
    }

    void beginRecordingRefusals_data()
    {
        QTest::addColumn<bool>("prepares");
        QTest::addColumn<bool>("records");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<bool>("open");

        QTest::newRow("second begin while recording")
            << true << true
            << QStringList{u"Recording started"_s, u"Already recording, ignoring start"_s} << true;
        QTest::newRow("no sound server: nothing left open")
            << false << true
            << QStringList{u"ERROR: no sound server"_s, u"ERROR: no sound server"_s} << false;
        QTest::newRow("record() false: open but not recording")
            << true << false
            << QStringList{u"ERROR: record() returned false (not ready)"_s,
                           u"Already recording, ignoring start"_s}
            << true;
    }

    void beginRecordingRefusals()
    {
        QFETCH(bool, prepares);
        QFETCH(bool, records);
        fake::platform().recorder.prepares = prepares;
        fake::platform().recorder.records = records;
        QFile last(outputPath);
        QVERIFY(last.open(QIODevice::WriteOnly | QIODevice::Truncate));
        last.write("the last recording");
        last.close();
        beginRecording();
        QTRY_VERIFY(!microphoneOpening());
        beginRecording();
        QTRY_VERIFY(!microphoneOpening());
        QTEST(logMessagesIn(logPath), "lines");
        QTEST(isRecording(), "open");
        // Tink sounds before the recorder exists, and only for a begin that was not refused.
        QCOMPARE(fake::platform().cues.count(u"tink"_s), prepares ? 1 : 2);
        cancelRecording();
        QVERIFY(!isRecording());
        // A start that failed left the last recording alone; one that stood replaced it.
        QVERIFY(last.open(QIODevice::ReadOnly));
        QCOMPARE(last.readAll() == "the last recording", !prepares);
        QVERIFY(!QFile::exists(outputPath + u".partial"_s));
    }

    // The microphone opens on a thread of its own: while the sound server
    // takes its time the hotkey goes on, and what the user did meanwhile
    // (released, cancelled, pressed again) is carried out once it answers.
    void slowSoundServer_data()
    {
        QTest::addColumn<QStringList>("meanwhile");
        QTest::addColumn<bool>("prepares");
        QTest::addColumn<QStringList>("lines");

        QTest::newRow("released: recorded, then stopped")
            << QStringList{u"stop"_s} << true
            << QStringList{u"Recording started"_s, u"Stopping - duration: 0.20s*"_s,
                           u"Recording stopped, file: *"_s,
                           u"Recording too short (0.20s), skipping"_s};
        QTest::newRow("cancelled: nothing opened, the last recording kept")
            << QStringList{u"cancel"_s} << true << QStringList{u"Recording cancelled (Escape)"_s};
        QTest::newRow("cancelled and pressed again: one start at a time")
            << QStringList{u"cancel"_s, u"begin"_s} << true
            << QStringList{u"Recording cancelled (Escape)"_s,
                           u"The sound server has not answered the last start yet, ignoring "
                           "start"_s};
        QTest::newRow("no microphone after all, released")
            << QStringList{u"stop"_s} << false << QStringList{u"ERROR: no sound server"_s};
    }

    void slowSoundServer()
    {
        QFETCH(QStringList, meanwhile);
        QFETCH(bool, prepares);
        QFETCH(QStringList, lines);
        QSemaphore answer;
        fake::platform().recorder.answer = &answer;
        fake::platform().recorder.prepares = prepares;
        fake::platform().recorder.seconds = 0.2; // too short to be sent
        QFile last(outputPath);
        QVERIFY(last.open(QIODevice::WriteOnly | QIODevice::Truncate));
        last.write("the last recording");
        last.close();
        beginRecording();
        QVERIFY(isRecording()); // the tray shows it while the microphone opens
        for (const QString &step : meanwhile) {
            if (step == u"stop")
                stopRecordingAndTranscribe();
            else if (step == u"cancel")
                cancelRecordingBecause(u"Escape"_s);
            else
                beginRecording();
        }
        QCoreApplication::processEvents();
        QCOMPARE(isRecording(), meanwhile.last() == u"stop");
        answer.release();
        QTRY_VERIFY(!isRecording());
        QTRY_COMPARE(logMessagesIn(logPath).size(), lines.size());
        const QStringList logged = logMessagesIn(logPath);
        for (qsizetype i = 0; i < lines.size(); ++i)
            QVERIFY2(lines[i].endsWith(u'*') ? logged[i].startsWith(lines[i].chopped(1))
                                             : logged[i] == lines[i],
                     qPrintable(logged[i]));
        QTRY_VERIFY(!QFile::exists(outputPath + u".partial"_s));
        QVERIFY(last.open(QIODevice::ReadOnly));
        QCOMPARE(last.readAll() == "the last recording", !lines.first().startsWith(u"Recording s"));
        fake::platform().recorder.answer = nullptr;
        // The next press is served as usual.
        fake::platform().recorder.prepares = true;
        beginRecording();
        QTRY_VERIFY(logMessagesIn(logPath).endsWith(u"Recording started"_s));
        cancelRecording();
    }

    // Where the desktop binds the shortcut itself, its press and release are
    // the hotkey's, and capture by example reads our own window's keys.
    void desktopShortcut()
    {
        fake::platform().shortcutsOnly = true;
        setActiveHotkey(96, flagControl); // Ctrl+F5
        QCOMPARE(fake::platform().bound, u"96,%1"_s.arg(flagControl));
        startEventTapThread();
        QVERIFY(eventTapActive);
        fake::platform().shortcut(true);
        QVERIFY(isRecording());
        fake::platform().shortcut(true); // the desktop repeats a held shortcut
        fake::platform().shortcut(false);
        QTRY_VERIFY(!isRecording()); // stopped once the microphone has opened
        QTRY_COMPARE(fake::platform().cues.size(), 2);
        QString error;
        std::optional<ActiveHotkey> captured;
        QVERIFY(
            beginHotkeyCapture([&](std::optional<ActiveHotkey> got) { captured = got; }, &error));
        fake::platform().shortcut(true); // push-to-talk rests during capture
        QVERIFY(!isRecording());
        captureKeyFromWindow(-1, false);
        captureKeyFromWindow(59, true); // Ctrl+F9
        captureKeyFromWindow(101, true);
        QVERIFY(captured);
        QCOMPARE(captured->code, 101);
        QCOMPARE(captured->modifiers & comboModifiers, flagControl);
        endHotkeyCapture();
    }

    // The recorder's ticks reach the session: the cap ends a toggled recording
    // and transcribes it; Escape ends one without.
    void toggledRecordingEnds()
    {
        watchRecordings();
        toggleRecording();
        QVERIFY(isToggledRecording());
        hotkeyEvent(HotkeyEvent::Escape);
        QVERIFY(!isRecording());
        QVERIFY(logMessagesIn(logPath).contains(u"Recording cancelled (Escape)"_s));
        QTRY_VERIFY(!microphoneOpening());
        fake::platform().recorder.seconds = 601;
        toggleRecording();
        QVERIFY(isRecording()); // stopped once its first tick has returned
        QTRY_VERIFY(!isRecording());
        QVERIFY(
            logMessagesIn(logPath).contains(u"Recording reached the 10-minute limit, stopping"_s));
        QVERIFY(logMessagesIn(logPath).contains(u"Recording stopped, file: "_s + outputPath));
    }

    // A request that failed keeps its recording: sent again once the server
    // answers, it is transcribed and pasted; the vocabulary goes with it.
    void failedRecordingSentAgain_data()
    {
        QTest::addColumn<QString>("server");     // empty: this computer
        QTest::addColumn<QByteArray>("failing"); // the answer that fails; empty: nothing listens
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("menu");
        QTest::newRow("whisper-server down")
            << QString() << QByteArray() << u"Blank audio, skipping paste"_s
            << u"whisper-server did not answer"_s;
        QTest::newRow("another server, key refused")
            << u"/v1"_s << HttpStub::ok("Unauthorized", "401 Unauthorized")
            << u"Transcription failed: the server at http://127.0.0.1:%1 refused the API key "
               u"(HTTP 401)"_s
            << u"The transcription server refused the API key"_s;
        QTest::newRow("another server down")
            << u"/inference"_s << QByteArray()
            << u"Transcription failed: the server at http://127.0.0.1:1 refused the connection"_s
            << u"The transcription server refused the connection"_s;
    }

    void failedRecordingSentAgain()
    {
        QFETCH(QString, server);
        QFETCH(QByteArray, failing);
        QFETCH(QString, line);
        QCOMPARE(recordingsToTranscribeAgain(), 0); // it runs before the stop path's rows keep any
        const QString port =
            failing.isEmpty() ? u"1"_s : QString::number(this->server.serverPort());
        setPreference(prefVocabulary, u"Kubernetes"_s);
        if (!server.isEmpty())
            setPreferences({{prefServer, u"remote"_s},
                            {prefServerAddress, u"http://127.0.0.1:"_s + port + server}});
        const auto cleanup = qScopeGuard([] {
            removePreference(prefVocabulary);
            removePreference(prefServer);
            removePreference(prefServerAddress);
        });
        const QString url = inferenceUrl;
        if (failing.isEmpty())
            inferenceUrl = u"http://127.0.0.1:1/inference"_s;
        QByteArray sent;
        this->server.respond = [&](const QByteArray &request) {
            sent = request;
            return failing;
        };
        fake::platform().recorder = {true, true, 2.0, -20.f, QByteArray(4000, 'w'), {}};
        beginRecording();
        stopRecordingAndTranscribe();
        QTRY_COMPARE(fake::platform().cues.size(), 2);
        QCOMPARE(fake::platform().cues.last(), u"basso"_s);
        QCOMPARE(logMessagesIn(logPath).last(), line.arg(port));
        QTEST(transcriptionFailure(), "menu");
        QCOMPARE(recordingsToTranscribeAgain(), 1);

        inferenceUrl = url;
        if (!server.isEmpty())
            setPreference(prefServerAddress, this->server.address() + server);
        this->server.respond = [&](const QByteArray &request) {
            sent = request;
            return HttpStub::transcript(" Hello world.\n");
        };
        transcribeKeptRecordingsAgain();
        QCOMPARE(recordingsToTranscribeAgain(), 0); // not twice while it is on its way
        QTRY_COMPARE(fake::platform().cues, (QStringList{u"tink"_s, u"basso"_s, u"pop"_s}));
        QCOMPARE(fake::platform().pastes, 1);
        QVERIFY(sent.contains(QByteArray(4000, 'w')));
        QVERIFY(sent.contains("name=\"prompt\"\r\n\r\nKubernetes\r\n"));
        QCOMPARE(sent.contains("name=\"model\"\r\n\r\nwhisper-1\r\n"), server == u"/v1");
        QVERIFY(transcriptionFailure().isEmpty());
        QCOMPARE(recordingsToTranscribeAgain(), 0);
    }

    void stopPath_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::addColumn<float>("power");
        QTest::addColumn<int>("wavBytes");
        QTest::addColumn<QByteArray>("answer"); // empty: nothing listens
        QTest::addColumn<bool>("userHadClipboard");
        QTest::addColumn<int>("keystroke");
        QTest::addColumn<QStringList>("lines"); // after "Recording stopped"; "*" ends a prefix
        QTest::addColumn<QString>("cue");

        const int v = int(Keystroke::ControlV);
        QTest::newRow("too short")
            << 0.3 << -20.f << 4000 << QByteArray(" Hi.\n") << true << v
            << QStringList{u"Recording too short (0.30s), skipping"_s} << u"basso"_s;
        QTest::newRow("file of 1000 bytes")
            << 2.0 << -20.f << 1000 << QByteArray(" Hi.\n") << true << v
            << QStringList{u"Audio file too small or missing"_s} << u"basso"_s;
        QTest::newRow("blank answer")
            << 2.0 << -20.f << 1001 << QByteArray("\n") << true << v
            << QStringList{u"Whisper response: ''"_s, u"Blank audio, skipping paste"_s}
            << u"basso"_s;
        QTest::newRow("pasted, clipboard given back")
            << 2.0 << -20.f << 4000 << QByteArray(" Hello world.\n") << true << v
            << QStringList{u"Whisper response: 'Hello world.'"_s, u"Copied to clipboard"_s,
                           u"Pasted via fake"_s, u"Clipboard restored"_s}
            << u"pop"_s;
        QTest::newRow("pasted, empty clipboard left empty")
            << 2.0 << -20.f << 4000 << QByteArray(" Hello world.\n") << false << v
            << QStringList{u"Whisper response: 'Hello world.'"_s, u"Copied to clipboard"_s,
                           u"Pasted via fake"_s}
            << u"pop"_s;
        QTest::newRow("xterm family: PRIMARY offered and given back too")
            << 2.0 << -20.f << 4000 << QByteArray(" Hello world.\n") << true
            << int(Keystroke::ShiftInsert)
            << QStringList{u"Whisper response: 'Hello world.'"_s, u"Copied to clipboard"_s,
                           u"Pasted via fake (Shift+Insert)"_s, u"Clipboard restored"_s}
            << u"pop"_s;
        // Reported, and the transcript stays on the clipboard for the user.
        QTest::newRow("keystroke not posted")
            << 2.0 << -20.f << 4000 << QByteArray(" Hello world.\n") << true << -1
            << QStringList{u"Whisper response: 'Hello world.'"_s, u"Copied to clipboard"_s,
                           u"ERROR: could not post the paste keystroke: no X display with XTest; "
                           u"the transcript stays on the clipboard, press Ctrl+V to paste it"_s}
            << u"pop"_s;
        // The local server's errors are not pasted (an answer only counts as
        // {"text": …} with a 2xx status), and its recording is kept.
        QTest::newRow("the server's error status")
            << 2.0 << -20.f << 4000 << HttpStub::ok("Invalid request", "400 Bad Request") << true
            << v
            << QStringList{u"Transcription failed: whisper-server answered HTTP 400 (Invalid "
                           u"request)"_s}
            << u"basso"_s;
        QTest::newRow("the server's JSON error")
            << 2.0 << -20.f << 4000 << HttpStub::ok("{\"error\":\"failed to process audio\"}")
            << true << v
            << QStringList{u"Transcription failed: whisper-server answered an error: failed to "
                           u"process audio"_s}
            << u"basso"_s;
        QTest::newRow("an answer far larger than any transcript")
            << 2.0 << -20.f << 4000 << HttpStub::ok(QByteArray(2 << 20, 'w')) << true << v
            << QStringList{u"Transcription failed: whisper-server answered more than 1 MB, which "
                           u"is no transcript"_s}
            << u"basso"_s;
        QTest::newRow("server down")
            << 2.0 << -20.f << 4000 << QByteArray() << true << v
            << QStringList{u"Request error: *"_s, u"Whisper response: ''"_s,
                           u"Blank audio, skipping paste"_s}
            << u"basso"_s;
    }

    void stopPath()
    {
        QFETCH(double, seconds);
        QFETCH(float, power);
        QFETCH(int, wavBytes);
        QFETCH(QByteArray, answer);
        QFETCH(bool, userHadClipboard);
        QFETCH(int, keystroke);
        QFETCH(QStringList, lines);
        QFETCH(QString, cue);
        fake::platform().recorder = {true, true, seconds, power, QByteArray(wavBytes, 'w'), {}};
        if (keystroke < 0)
            fake::platform().keystrokeError = u"no X display with XTest"_s;
        else
            fake::platform().keystroke = Keystroke(keystroke);
        if (userHadClipboard)
            fake::platform().clipboard.content = userClipboard;
        fake::platform().primary.content = userSelection;
        // A whole answer as it stands, or the transcript the server answers.
        server.respond = [answer](const QByteArray &) {
            return answer.startsWith("HTTP/") ? answer : HttpStub::transcript(answer);
        };
        const QString url = inferenceUrl;
        if (answer.isEmpty())
            inferenceUrl = u"http://127.0.0.1:1/inference"_s;

        clearRecentTranscripts();
        beginRecording();
        stopRecordingAndTranscribe();
        QTRY_VERIFY(!isRecording()); // sent once the microphone had opened
        inferenceUrl = url;
        QTRY_COMPARE(fake::platform().cues.size(), 2); // the answer and the paste come later
        QVERIFY(transcriptionsPending().isEmpty());

        QStringList logged = logMessagesIn(logPath);
        const qsizetype stopped = logged.indexOf(u"Recording stopped, file: "_s + outputPath);
        QVERIFY(stopped > 0);
        logged = logged.mid(stopped + 1);
        QCOMPARE(logged.size(), lines.size());
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (lines[i].endsWith(u'*'))
                QVERIFY2(logged[i].startsWith(lines[i].chopped(1)), qPrintable(logged[i]));
            else
                QCOMPARE(logged[i], lines[i]);
        }
        QVERIFY(!isRecording());
        QCOMPARE(fake::platform().cues, (QStringList{u"tink"_s, cue}));
        const bool sent = lines.first().startsWith(u"Whisper"_s) ||
                          lines.first().startsWith(u"Transcription failed"_s);
        QCOMPARE(server.requests, sent ? 1 : 0);
        const bool pasted = cue == u"pop"_s;
        QCOMPARE(fake::platform().pastes, pasted && keystroke >= 0 ? 1 : 0);
        // Recent keeps what passed the gates, whether its keystroke landed or not.
        QCOMPARE(recentTranscripts(), pasted ? QStringList{u"Hello world."_s} : QStringList());
        if (!pasted)
            return;
        // The user's clipboard, byte for byte, or still nothing; PRIMARY as it was.
        const QList<ClipboardFormat> transcript = {{"UTF8_STRING", "Hello world."}};
        QCOMPARE(fake::platform().clipboard.content, keystroke < 0      ? transcript
                                                     : userHadClipboard ? userClipboard
                                                                        : QList<ClipboardFormat>{});
        QCOMPARE(fake::platform().primary.content, userSelection);
        const bool primaryUsed = keystroke == int(Keystroke::ShiftInsert);
        const QStringList givenBack = {"save", "setText", "wait", "restore"};
        QCOMPARE(fake::platform().primary.calls, primaryUsed ? givenBack : QStringList());
    }

    // A recording the sound server broke off holds every word up to the break:
    // it is transcribed and pasted. When nothing of the clipboard could be
    // saved, the transcript stays on it rather than an empty clipboard.
    void brokenOffRecordingPastedOverUnsavedClipboard()
    {
        fake::platform().recorder = {
            true, true, 2.0, -20.f, QByteArray(4000, 'w'), u"the sound server went away"_s};
        fake::platform().clipboard.content = userClipboard;
        fake::platform().clipboard.saveError = u"the owner did not answer within 1 s"_s;
        server.respond = [](const QByteArray &) { return HttpStub::transcript(" Hello world.\n"); };
        beginRecording();
        QTRY_VERIFY2(fake::platform().pastes == 1, qPrintable(logMessagesIn(logPath).join(u'\n')));
        const QStringList lines = logMessagesIn(logPath);
        QVERIFY(lines.contains(u"ERROR: recording broke off: the sound server went away; "
                               "transcribing what was recorded"_s));
        QVERIFY(lines.contains(u"Whisper response: 'Hello world.'"_s));
        QTRY_VERIFY(logMessagesIn(logPath).contains(
            u"The clipboard's earlier content could not be saved; the transcript stays on it"_s));
        QCOMPARE(fake::platform().clipboard.content,
                 (QList<ClipboardFormat>{{"UTF8_STRING", "Hello world."}}));
        QVERIFY(!fake::platform().clipboard.calls.contains(u"clear"_s));
    }

    // Keystrokes that keep failing never drop an earlier transcript from the
    // clipboard; a paste that works afterwards gives them all back.
    void undeliveredTranscriptsKept()
    {
        fake::platform().recorder = {true, true, 2.0, -20.f, QByteArray(4000, 'w'), {}};
        fake::platform().keystrokeError = u"not allowed yet"_s;
        fake::platform().clipboard.content = userClipboard;
        server.respond = [](const QByteArray &) { return HttpStub::transcript(" Hello world.\n"); };
        const QList<ClipboardFormat> both = {{"UTF8_STRING", "Hello world. Hello world."}};
        for (int i = 1; i <= 3; ++i) {
            if (i == 3)
                fake::platform().keystrokeError.clear();
            beginRecording();
            stopRecordingAndTranscribe();
            QTRY_COMPARE(fake::platform().cues.size(), 2 * i);
            const QList<ClipboardFormat> one = {{"UTF8_STRING", "Hello world."}};
            QCOMPARE(fake::platform().clipboard.content, i == 1 ? one : both);
        }
        QCOMPARE(fake::platform().pastes, 1);
    }

    // The focused application's rule: its keystroke, then Enter once the
    // clipboard is given back; what Recent keeps is what was typed.
    void ruleForTheFocusedApplication()
    {
        fake::platform().recorder = {true, true, 2.0, -20.f, QByteArray(4000, 'w'), {}};
        fake::platform().focused = {"w1", "Chat", false};
        fake::platform().clipboard.content = userClipboard;
        setPreference(prefApplicationRules,
                      u"[{\"application\":\"chat\",\"enter\":true,\"paste\":\"ctrl+shift+v\"}]"_s);
        setPreference(prefReplacements, u"[[\"world\",\"there\"]]"_s);
        server.respond = [](const QByteArray &) { return HttpStub::transcript(" Hello world.\n"); };
        clearRecentTranscripts();
        beginRecording();
        stopRecordingAndTranscribe();
        QTRY_COMPARE(fake::platform().enters, 1);
        QCOMPARE(fake::platform().pastes, 1);
        const QStringList lines = logMessagesIn(logPath);
        QVERIFY(lines.contains(u"Typed as: 'Hello there.'"_s));
        const qsizetype restored = lines.indexOf(u"Clipboard restored"_s);
        QVERIFY(lines.indexOf(u"Pasted via fake (Ctrl+Shift+V)"_s) < restored);
        QVERIFY(restored < lines.indexOf(u"Pressed Enter after the paste"_s));
        QCOMPARE(recentTranscripts(), QStringList{u"Hello there."_s});
        QCOMPARE(fake::platform().clipboard.content, userClipboard);
        removePreference(prefApplicationRules);
        removePreference(prefReplacements);
    }

    // Where the keystroke would carry the user's held modifiers along, the
    // paste waits until they are up.
    void pasteWaitsForHeldKeys()
    {
        fake::platform().recorder = {true, true, 2.0, -20.f, QByteArray(4000, 'w'), {}};
        fake::platform().liftsHeldKeys = false;
        server.respond = [](const QByteArray &) { return HttpStub::transcript(" Hello world.\n"); };
        bool held = true;
        holdPastesWhile([&] { return held; });
        beginRecording();
        stopRecordingAndTranscribe();
        QTRY_VERIFY(logMessagesIn(logPath).contains(u"Whisper response: 'Hello world.'"_s));
        QTest::qWait(300);
        QCOMPARE(fake::platform().pastes, 0);
        QVERIFY(fake::platform().clipboard.calls.isEmpty()); // the user's clipboard untouched
        held = false;
        QTRY_COMPARE(fake::platform().pastes, 1);
        QTRY_COMPARE(fake::platform().cues.last(), u"pop"_s); // its paste over, not the next test's
        holdPastesWhile({});
    }

    // The decisions and texts of the stop path, one function at a time.
    void preUploadGates_data()
    {
        QTest::addColumn<double>("duration");
        QTest::addColumn<float>("level");
        QTest::addColumn<QString>("line");
        QTest::newRow("0.49 s, loud")
            << 0.49 << -10.0f << u"Recording too short (0.49s), skipping"_s;
        QTest::newRow("0.50 s goes on") << 0.5 << -10.0f << QString();
        QTest::newRow("silence") << 2.0 << -160.0f
                                 << u"Audio too quiet (best avg -160.0 dB), skipping"_s;
        QTest::newRow("-52.34 dB rounds")
            << 2.0 << -52.34f << u"Audio too quiet (best avg -52.3 dB), skipping"_s;
        QTest::newRow("-50.0 dB passes") << 2.0 << -50.0f << QString();
        QTest::newRow("NaN duration passes") << double(notANumber) << -10.0f << QString();
        QTest::newRow("NaN level passes") << 2.0 << notANumber << QString();
    }

    void preUploadGates()
    {
        QFETCH(double, duration);
        QFETCH(float, level);
        QFETCH(QString, line);
        const std::optional<QString> rejected =
            durationGate(duration) ? durationGate(duration) : levelGate(level);
        QCOMPARE(rejected.value_or(QString()), line);
    }

    void answerGates_data()
    {
        QTest::addColumn<QString>("transcript");
        QTest::addColumn<float>("level");
        QTest::addColumn<QString>("line");
        const QString blank = u"Blank audio, skipping paste"_s;
        const QString hallucination = QStringLiteral(
            "Likely hallucination on quiet audio (best avg -30.0 dB), skipping paste");
        QTest::newRow("empty") << QString() << -30.0f << blank;
        QTest::newRow("marker") << u"[BLANK_AUDIO]"_s << -30.0f << blank;
        QTest::newRow("lower-case marker is text") << u"[blank_audio]"_s << -30.0f << QString();
        QTest::newRow("thank you, quiet") << u"Thank you."_s << -30.0f << hallucination;
        QTest::newRow("thank you at -16.0") << u"Thank you."_s << -16.0f << QString();
        QTest::newRow("shouted with spaces") << u"THANK   YOU!"_s << -30.0f << hallucination;
        QTest::newRow("hyphen joins") << u"Thank-you"_s << -30.0f << QString();
        QTest::newRow("you") << u"you"_s << -30.0f << hallucination;
        QTest::newRow("you know") << u"You know"_s << -30.0f << QString();
        QTest::newRow("line break is no separator") << u"thank\nyou"_s << -30.0f << QString();
        QTest::newRow("Dutch credit")
            << u"Ondertiteling door de Amara.org gemeenschap"_s << -30.0f << hallucination;
        QTest::newRow("Dutch credit, other verb")
            << u"Ondertiteld door de Amara.org gemeenschap"_s << -30.0f << hallucination;
        QTest::newRow("German credit")
            << u"Untertitel der Amara.org-Community"_s << -30.0f << hallucination;
        QTest::newRow("Dutch thanks") << u"Bedankt voor het kijken!"_s << -30.0f << hallucination;
        QTest::newRow("Unicode quotes and dashes")
            << u"\u201cThank you\u2014\u201d \u00bfyou?"_s << -30.0f << QString();
        QTest::newRow("Unicode punctuation around")
            << u"\u00a1\u201cThanks for watching\u2026\u201d"_s << -30.0f << hallucination;
        QTest::newRow("NaN level") << u"Thank you."_s << notANumber << QString();
    }

    void answerGates()
    {
        QFETCH(QString, transcript);
        QFETCH(float, level);
        QFETCH(QString, line);
        std::optional<QString> rejected = blankGate(transcript);
        if (!rejected)
            rejected = hallucinationGate(transcript, level);
        QCOMPARE(rejected.value_or(QString()), line);
    }
};

PARLOTTA_FRESH_ACCOUNT_MAIN(TestDictationPipeline)

#include "tst_dictation_pipeline.moc"

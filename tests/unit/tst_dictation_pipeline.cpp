// The dictation pipeline on the fake platform: beginRecording's refusals and
// the stop path's decisions (gates → request → paste), with a small HTTP
// server of the test's own on loopback in place of whisper-server. No display,
// no sound server, and none of a running daemon's files.
#include "core/daemon.h"
#include "core/log.h"
#include "core/preferences.h"
#include "core/runtime_files.h"
#include "dictation/cues.h"
#include "dictation/inference_request.h"
#include "dictation/recording.h"
#include "fake_platform.h"
#include "hotkey/event_tap.h"
#include "hotkey/hotkey_model.h"
#include "test_helpers.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace parlotta;
using Keystroke = KeyInjector::Keystroke;

namespace {

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
        moveRuntimeFilesForTests(runtime.filePath(u"parlotta"_s));
        QString error;
        QVERIFY2(prepareRuntimeDir(commandDir, &error) && openLog(logPath, &error) &&
                     loadSounds(&error),
                 qPrintable(error));
        inferenceUrl = server.address() + u"/inference"_s;
    }

    void init()
    {
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
        beginRecording();
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

    // Where the desktop binds the shortcut itself, its press and release are
    // the hotkey's, and capture by example says why it cannot be.
    void desktopShortcut()
    {
        fake::platform().shortcutsOnly = true;
        setActiveHotkey(96, flagControl); // Ctrl+F5
        QCOMPARE(fake::platform().bound, u"63,%1"_s.arg(flagControl));
        startEventTapThread();
        QVERIFY(eventTapActive);
        fake::platform().shortcut(true);
        QVERIFY(isRecording());
        fake::platform().shortcut(false);
        QVERIFY(!isRecording());
        QTRY_COMPARE(fake::platform().cues.size(), 2);
        QString error;
        QVERIFY(!beginHotkeyCapture([](std::optional<ActiveHotkey>) {}, &error));
        QVERIFY2(error.contains(u"the desktop's own settings"_s), qPrintable(error));
        QVERIFY(!captureHandlerSnapshot());
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
        // Reported, and otherwise the paste's usual lines and cue.
        QTest::newRow("keystroke not posted")
            << 2.0 << -20.f << 4000 << QByteArray(" Hello world.\n") << true << -1
            << QStringList{u"Whisper response: 'Hello world.'"_s, u"Copied to clipboard"_s,
                           u"ERROR: could not post the paste keystroke: no X display with XTest"_s,
                           u"Pasted via fake"_s, u"Clipboard restored"_s}
            << u"pop"_s;
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
        server.respond = [answer](const QByteArray &) { return HttpStub::ok(answer); };
        const QString url = inferenceUrl;
        if (answer.isEmpty())
            inferenceUrl = u"http://127.0.0.1:1/inference"_s;

        beginRecording();
        stopRecordingAndTranscribe();
        inferenceUrl = url;
        QTRY_COMPARE(fake::platform().cues.size(), 2); // the answer and the paste come later

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
        const bool sent = lines.first().startsWith(u"Whisper"_s);
        QCOMPARE(server.requests, sent ? 1 : 0);
        const bool pasted = cue == u"pop"_s;
        QCOMPARE(fake::platform().pastes, pasted && keystroke >= 0 ? 1 : 0);
        if (!pasted)
            return;
        // The user's clipboard, byte for byte, or still nothing; PRIMARY as it was.
        QCOMPARE(fake::platform().clipboard.content,
                 userHadClipboard ? userClipboard : QList<ClipboardFormat>{});
        QCOMPARE(fake::platform().primary.content, userSelection);
        const bool primaryUsed = keystroke == int(Keystroke::ShiftInsert);
        const QStringList givenBack = {"save", "setText", "wait", "restore"};
        QCOMPARE(fake::platform().primary.calls, primaryUsed ? givenBack : QStringList());
    }
};

int main(int argc, char *argv[])
{
    QTemporaryDir config; // preferences of a fresh account: language "auto"
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    qputenv("HOME", config.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    TestDictationPipeline test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_dictation_pipeline.moc"

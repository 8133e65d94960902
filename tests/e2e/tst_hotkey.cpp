#include "daemon_process.h"
#include "desktop_helpers.h"
#include "test_panel.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <csignal>

namespace {

// X keycodes (evdev + 8) of the US layout.
constexpr int rightAlt = 108, rightControl = 105, leftControl = 37, f5 = 71, keyA = 38, keyB = 56,
              escape = 9;
// What the test window records (Qt key numbers).
const QString qtAlt = QString::number(Qt::Key_Alt), qtF5 = QString::number(Qt::Key_F5),
              qtA = QString::number(Qt::Key_A), qtEscape = QString::number(Qt::Key_Escape);

} // namespace

class TestHotkey : public QObject {
    Q_OBJECT

    QString speech;

    // Starts everything, with the real whisper-server on the "hello" fixture
    // model unless a stand-in is given; the key listener is then active for the
    // stored hotkey.
    bool startAll(DaemonProcess &daemon, PasteTarget &target, const QByteArray &ini = {},
                  int hotkey = 61, FakeServer *standIn = nullptr)
    {
        if (!ini.isEmpty())
            daemon.writePreferences("[General]\n" + ini);
        if (!standIn)
            daemon.installModel(u"hello"_s);
        return target.start() && (!standIn || standIn->start()) && daemon.start() &&
               (standIn || waitForWhisperServer()) &&
               daemon.logMessages().contains(
                   u"Event tap active, push-to-talk key code: %1"_s.arg(hotkey));
    }

  private Q_SLOTS:
    // A test that failed halfway must not leave keys held down for the next.
    void cleanup()
    {
        xkey(u"up"_s, {108, 105, 64, 50, 37, 133, 67, 71, 38, 56, 9});
    }

    void initTestCase()
    {
        speech = makeSpeech(u"hello world"_s);
    }

    // Where right Alt is AltGr, typing "@" with it must not open the
    // microphone: with nothing stored, the hotkey there is right Control.
    void altGrLayoutDefaultsToRightControl()
    {
        QVERIFY(QProcess::execute(u"setxkbmap"_s, {u"de"_s}) == 0);
        const auto restore = qScopeGuard([] { QProcess::execute(u"setxkbmap"_s, {u"us"_s}); });
        DaemonProcess daemon;
        PasteTarget target;
        QVERIFY(startAll(daemon, target, {}, 62));
        QVERIFY(!daemon.logMessages()
                     .filter(QRegularExpression(u"^Daemon ready — hotkey: Right Control,"_s))
                     .isEmpty());
        QVERIFY(xkey(u"down"_s, {rightAlt}));
        QVERIFY(xkey(u"tap"_s, {24})); // Q: "@" with AltGr
        QVERIFY(xkey(u"up"_s, {rightAlt}));
        QTest::qWait(500);
        QVERIFY(!daemon.logMessages().contains(u"Recording started"_s));
        QVERIFY(xkey(u"down"_s, {rightControl}));
        QVERIFY(daemon.waitForMessage(u"Recording started"_s));
        QVERIFY(playIntoMicrophone(speech));
        QVERIFY(xkey(u"up"_s, {rightControl}));
        QVERIFY(daemon.waitForMessage(u"Pasted via XTest"_s));
        QTRY_VERIFY(target.text().endsWith(u"Hello world."_s));
    }

    void ordinaryKeyHotkeyIsSwallowed()
    {
        DaemonProcess daemon;
        PasteTarget target;
        QVERIFY(startAll(daemon, target, "hotkey=96\n", 96));
        QVERIFY(xkey(u"down"_s, {f5}));
        QVERIFY(daemon.waitForMessage(u"Recording started"_s));
        // Held past the autorepeat delay: the repeats change nothing.
        QTest::qWait(1500);
        QVERIFY(xkey(u"tap"_s, {keyA, keyB})); // typed during the hold: they get through
        QTest::qWait(1000);                    // and the repeats go on after them
        QVERIFY(playIntoMicrophone(speech));
        QVERIFY(xkey(u"up"_s, {f5}));
        QVERIFY(daemon.waitForMessage(u"Pasted via XTest"_s));
        QTRY_COMPARE(target.text(), u"abHello world."_s);
        QCOMPARE(target.keyCount(u"press"_s, qtF5), 0);
        QCOMPARE(target.keyCount(u"release"_s, qtF5), 0);
        QVERIFY(daemon.logMessages().filter(u"cancelled"_s).isEmpty());
        QCOMPARE(daemon.logMessages().count(u"Recording started"_s), 1);
        QCOMPARE(daemon.logMessages().filter(u"Stopping - duration"_s).size(), 1);

        // With Control the key is not the hotkey: it passes and records nothing.
        QVERIFY(xkey(u"down"_s, {leftControl}));
        QVERIFY(xkey(u"tap"_s, {f5}));
        QVERIFY(xkey(u"up"_s, {leftControl}));
        QTRY_COMPARE(target.keyCount(u"press"_s, qtF5), 1);
        QTest::qWait(300);
        QCOMPARE(daemon.logMessages().count(u"Recording started"_s), 1);
    }

    // Another program's shortcut on the same key: said once, and that program keeps it.
    void hotkeyHeldByAnotherProgram()
    {
        QProcess other;
        other.start(QStringLiteral(XKEY), {u"grab"_s, QString::number(f5)});
        QVERIFY(other.waitForReadyRead(5000));
        DaemonProcess daemon;
        PasteTarget target;
        QVERIFY(startAll(daemon, target, "hotkey=96\n", 96));
        QVERIFY(daemon.waitForMessage(QStringLiteral("ERROR: could not grab the hotkey F5: another "
                                                     "program holds that key combination")));
        QCOMPARE(daemon.logMessages().filter(u"could not grab"_s).size(), 1);
        other.kill();
        other.waitForFinished();
    }

    void waitsForTheDisplay()
    {
        DaemonProcess daemon;
        daemon.setEnvironment(u"DISPLAY"_s, u":77"_s);
        daemon.setEnvironment(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        QVERIFY(daemon.start());
        const QString waiting =
            u"Event tap unavailable \u2014 waiting for Accessibility permission"_s;
        QVERIFY(daemon.waitForMessage(waiting));
        QVERIFY(daemon.logMessages().contains(
            u"Key listener: X11 (XInput2), waiting for the X display :77"_s));
        QTest::qWait(3000);
        QProcess xvfb;
        xvfb.start(u"Xvfb"_s, {u":77"_s, u"-nolisten"_s, u"tcp"_s});
        QVERIFY(xvfb.waitForStarted());
        QVERIFY(daemon.waitForMessage(u"Event tap active, push-to-talk key code: 61"_s, 4000));
        QCOMPARE(daemon.logMessages().count(waiting), 1);
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
        xvfb.terminate();
        xvfb.waitForFinished();
    }

    // A transcription on its way holds nothing up: the tray menu answers, keys
    // reach the window, and the next dictation records from its press, even
    // while the first text is pasted under the held hotkey. The texts are
    // pasted in the order spoken, and the clipboard is given back.
    void nothingWaitsForATranscription()
    {
        QObject watcher;
        TestPanel panel(&watcher);
        QVERIFY(panel.start());
        DaemonProcess daemon;
        PasteTarget target;
        FakeServer slow; // the real server cannot be made slow on demand
        slow.addAnswer(200, " First.\n", 6000);
        slow.addAnswer(200, " Second.\n");
        QVERIFY(startAll(daemon, target, {}, 61, &slow));
        QVERIFY(!panel.waitForItem().isEmpty());
        QProcess owner;
        owner.start(u"xclip"_s, {u"-selection"_s, u"clipboard"_s});
        owner.write("mine");
        owner.closeWriteChannel();
        QVERIFY(owner.waitForFinished());

        QVERIFY(xkey(u"down"_s, {rightAlt}));
        QVERIFY(daemon.waitForMessage(u"Recording started"_s));
        QVERIFY(playIntoMicrophone(speech));
        QVERIFY(xkey(u"up"_s, {rightAlt}));
        QVERIFY(daemon.waitForMessage(u"Recording stopped, file: /tmp/parlotta/recording.wav"_s));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(panel.menu().find(u"Quit"_s));
        qInfo("the tray menu read in %lld ms while the server works", clock.elapsed());
        QVERIFY(xkey(u"tap"_s, {keyA}));
        QTRY_COMPARE_WITH_TIMEOUT(target.keyCount(u"press"_s, qtA), 1, 1000);

        QVERIFY(xkey(u"down"_s, {rightAlt}));
        QTRY_COMPARE(daemon.logMessages().count(u"Recording started"_s), 2);
        QVERIFY(playIntoMicrophone(speech));
        QVERIFY(daemon.waitForMessage(u"Pasted via XTest"_s, 10000));
        QVERIFY(xkey(u"up"_s, {rightAlt}));
        QTRY_COMPARE_WITH_TIMEOUT(daemon.logMessages().count(u"Clipboard restored"_s), 2, 10000);
        QCOMPARE(target.text(), u"aFirst. Second."_s); // the second continues the first
        QVERIFY(daemon.logMessages().filter(u"cancelled"_s).isEmpty());
        // The second recording runs from its press until its release, past the first paste.
        const QString second = daemon.logMessages().filter(u"Stopping - duration: "_s).value(1);
        QVERIFY2(second.section(u' ', 3, 3).chopped(2).toDouble() > 4, qPrintable(second));
        QByteArray clip;
        QVERIFY(readClipboard(u"UTF8_STRING"_s, &clip));
        QCOMPARE(clip, "mine"_ba);
        // A modifier hotkey takes nothing from the window.
        QVERIFY(target.keyCount(u"press"_s, qtAlt) >= 2);
        QVERIFY(target.keyCount(u"release"_s, qtAlt) >= 2);

        // Right Alt with a letter is a shortcut of the window's: that recording is dropped.
        QVERIFY(xkey(u"down"_s, {rightAlt}));
        QTRY_COMPARE(daemon.logMessages().count(u"Recording started"_s), 3);
        QVERIFY(xkey(u"tap"_s, {keyA}));
        QVERIFY(daemon.waitForMessage(u"Recording cancelled (hotkey used in a key combination)"_s));
        QVERIFY(xkey(u"up"_s, {rightAlt}));
        QTRY_COMPARE(target.keyCount(u"press"_s, qtA), 2);
        QTest::qWait(500);
        QCOMPARE(daemon.logMessages().filter(u"Whisper response"_s).size(), 2);
    }

    // "Both": a tap starts a recording the next tap stops, a hold talks;
    // Escape cancels only a toggled recording, and silence after speech ends one.
    void tapTogglesHoldTalks()
    {
        DaemonProcess daemon;
        PasteTarget target;
        QVERIFY(startAll(daemon, target, "hotkey-mode=both\nstop-after-silence=2\n"));
        const auto tap = [](int key) { return xkey(u"tap"_s, {key}); };
        const auto count = [&](const QString &line) { return daemon.logMessages().count(line); };
        const auto typed = [&] { return target.text().remove(QChar(0x1b)); }; // Escape's character
        const QString latched = u"Recording until the hotkey is pressed again or 2 s of silence"_s;

        // Escape with nothing toggled is the window's alone.
        QVERIFY(tap(escape));
        QTRY_COMPARE(target.keyCount(u"press"_s, qtEscape), 1);

        QVERIFY(tap(rightAlt));
        QVERIFY(daemon.waitForMessage(latched));
        QVERIFY(playIntoMicrophone(speech));
        QVERIFY(tap(rightAlt));
        QVERIFY(daemon.waitForMessage(u"Pasted via XTest"_s, 20000));
        QTRY_COMPARE(typed(), u"Hello world."_s);
        QCOMPARE(count(u"Recording started"_s), 1);

        QVERIFY(tap(rightAlt));
        QTRY_COMPARE(count(latched), 2);
        QVERIFY(tap(escape));
        QVERIFY(daemon.waitForMessage(u"Recording cancelled (Escape)"_s));
        QTRY_COMPARE(target.keyCount(u"press"_s, qtEscape), 2); // seen, never taken

        QVERIFY(tap(rightAlt));
        QTRY_COMPARE(count(latched), 3);
        QVERIFY(playIntoMicrophone(speech));
        QVERIFY(daemon.waitForMessage(u"Silence for 2 s after speech, stopping"_s, 5000));
        QElapsedTimer sinceAutoStop;
        sinceAutoStop.start();
        // The habitual stop press that came just too late stops nothing new.
        QVERIFY(tap(rightAlt));
        QVERIFY(daemon.waitForMessage(u"Recording already stopped (silence)"_s));
        QTRY_COMPARE_WITH_TIMEOUT(count(u"Pasted via XTest"_s), 2, 20000);
        QCOMPARE(count(u"Recording started"_s), 3);
        QTest::qWait(std::max<qint64>(0, 2200 - sinceAutoStop.elapsed()));

        // A hold talks, and a combination while held still cancels.
        QVERIFY(xkey(u"down"_s, {rightAlt}));
        QTRY_COMPARE(count(u"Recording started"_s), 4);
        QVERIFY(playIntoMicrophone(speech));
        QVERIFY(xkey(u"up"_s, {rightAlt}));
        QTRY_COMPARE_WITH_TIMEOUT(count(u"Pasted via XTest"_s), 3, 20000);
        QCOMPARE(count(latched), 3);
        QVERIFY(xkey(u"down"_s, {rightAlt}));
        QTRY_COMPARE(count(u"Recording started"_s), 5);
        QVERIFY(tap(keyA));
        QVERIFY(daemon.waitForMessage(u"Recording cancelled (hotkey used in a key combination)"_s));
        QVERIFY(xkey(u"up"_s, {rightAlt}));
        QTest::qWait(500);
        QCOMPARE(count(latched), 3);
        QTRY_COMPARE(target.keyCount(u"press"_s, qtA), 1);
        // Escape was pressed between the first two: the second is not spaced from the first.
        QCOMPARE(typed(), u"Hello world.Hello world. Hello world."_s);
    }
};

QTEST_GUILESS_MAIN(TestHotkey)
#include "tst_hotkey.moc"

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
constexpr int rightAlt = 108, rightControl = 105, leftControl = 37, f5 = 71, keyA = 38, keyB = 56;
// What the test window records (Qt key numbers).
const QString qtAlt = QString::number(Qt::Key_Alt), qtF5 = QString::number(Qt::Key_F5),
              qtA = QString::number(Qt::Key_A);

int countKeys(const PasteTarget &target, const QString &what, const QString &key)
{
    int n = 0;
    for (const QString &line : target.keys())
        if (line.startsWith(what + u' ' + key + u' '))
            ++n;
    return n;
}

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
            daemon.installModel(QStringLiteral("hello"));
        return target.start() && (!standIn || standIn->start()) && daemon.start() &&
               (standIn || waitForWhisperServer()) &&
               daemon.logMessages().contains(
                   QStringLiteral("Event tap active, push-to-talk key code: %1").arg(hotkey));
    }

  private Q_SLOTS:
    // A test that failed halfway must not leave keys held down for the next.
    void cleanup()
    {
        xkey(QStringLiteral("up"), {108, 105, 64, 50, 37, 133, 67, 71, 38, 56});
    }

    void initTestCase()
    {
        speech = makeSpeech(QStringLiteral("hello world"));
    }

    // Where right Alt is AltGr, typing "@" with it must not open the
    // microphone: with nothing stored, the hotkey there is right Control.
    void altGrLayoutDefaultsToRightControl()
    {
        QVERIFY(QProcess::execute(QStringLiteral("setxkbmap"), {QStringLiteral("de")}) == 0);
        const auto restore = qScopeGuard(
            [] { QProcess::execute(QStringLiteral("setxkbmap"), {QStringLiteral("us")}); });
        DaemonProcess daemon;
        PasteTarget target;
        QVERIFY(startAll(daemon, target, {}, 62));
        QVERIFY(!daemon.logMessages()
                     .filter(QRegularExpression(
                         QStringLiteral("^Daemon ready — hotkey: Right Control,")))
                     .isEmpty());
        QVERIFY(xkey(QStringLiteral("down"), {rightAlt}));
        QVERIFY(xkey(QStringLiteral("tap"), {24})); // Q: "@" with AltGr
        QVERIFY(xkey(QStringLiteral("up"), {rightAlt}));
        QTest::qWait(500);
        QVERIFY(!daemon.logMessages().contains(QStringLiteral("Recording started")));
        QVERIFY(xkey(QStringLiteral("down"), {rightControl}));
        QVERIFY(daemon.waitForMessage(QStringLiteral("Recording started")));
        QVERIFY(playIntoMicrophone(speech));
        QVERIFY(xkey(QStringLiteral("up"), {rightControl}));
        QVERIFY(daemon.waitForMessage(QStringLiteral("Pasted via XTest")));
        QTRY_VERIFY(target.text().endsWith(QLatin1String("Hello world.")));
    }

    void ordinaryKeyHotkeyIsSwallowed()
    {
        DaemonProcess daemon;
        PasteTarget target;
        QVERIFY(startAll(daemon, target, "hotkey=96\n", 96));
        QVERIFY(xkey(QStringLiteral("down"), {f5}));
        QVERIFY(daemon.waitForMessage(QStringLiteral("Recording started")));
        // Held past the autorepeat delay: the repeats change nothing.
        QTest::qWait(1500);
        QVERIFY(
            xkey(QStringLiteral("tap"), {keyA, keyB})); // typed during the hold: they get through
        QTest::qWait(1000);                             // and the repeats go on after them
        QVERIFY(playIntoMicrophone(speech));
        QVERIFY(xkey(QStringLiteral("up"), {f5}));
        QVERIFY(daemon.waitForMessage(QStringLiteral("Pasted via XTest")));
        QTRY_COMPARE(target.text(), QStringLiteral("abHello world."));
        QCOMPARE(countKeys(target, QStringLiteral("press"), qtF5), 0);
        QCOMPARE(countKeys(target, QStringLiteral("release"), qtF5), 0);
        QVERIFY(daemon.logMessages().filter(QStringLiteral("cancelled")).isEmpty());
        QCOMPARE(daemon.logMessages().count(QStringLiteral("Recording started")), 1);
        QCOMPARE(daemon.logMessages().filter(QStringLiteral("Stopping - duration")).size(), 1);

        // With Control the key is not the hotkey: it passes and records nothing.
        QVERIFY(xkey(QStringLiteral("down"), {leftControl}));
        QVERIFY(xkey(QStringLiteral("tap"), {f5}));
        QVERIFY(xkey(QStringLiteral("up"), {leftControl}));
        QTRY_COMPARE(countKeys(target, QStringLiteral("press"), qtF5), 1);
        QTest::qWait(300);
        QCOMPARE(daemon.logMessages().count(QStringLiteral("Recording started")), 1);
    }

    // Another program's shortcut on the same key: said once, and that program keeps it.
    void hotkeyHeldByAnotherProgram()
    {
        QProcess other;
        other.start(QStringLiteral(XKEY), {QStringLiteral("grab"), QString::number(f5)});
        QVERIFY(other.waitForReadyRead(5000));
        DaemonProcess daemon;
        PasteTarget target;
        QVERIFY(startAll(daemon, target, "hotkey=96\n", 96));
        QVERIFY(daemon.waitForMessage(QStringLiteral("ERROR: could not grab the hotkey F5: another "
                                                     "program holds that key combination")));
        QCOMPARE(daemon.logMessages().filter(QStringLiteral("could not grab")).size(), 1);
        other.kill();
        other.waitForFinished();
    }

    void waitsForTheDisplay()
    {
        DaemonProcess daemon;
        daemon.setEnvironment(QStringLiteral("DISPLAY"), QStringLiteral(":77"));
        daemon.setEnvironment(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QVERIFY(daemon.start());
        const QString waiting =
            QStringLiteral("Event tap unavailable \u2014 waiting for Accessibility permission");
        QVERIFY(daemon.waitForMessage(waiting));
        QTest::qWait(3000);
        QProcess xvfb;
        xvfb.start(QStringLiteral("Xvfb"),
                   {QStringLiteral(":77"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        QVERIFY(xvfb.waitForStarted());
        QVERIFY(daemon.waitForMessage(QStringLiteral("Event tap active, push-to-talk key code: 61"),
                                      4000));
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
        owner.start(QStringLiteral("xclip"),
                    {QStringLiteral("-selection"), QStringLiteral("clipboard")});
        owner.write("mine");
        owner.closeWriteChannel();
        QVERIFY(owner.waitForFinished());

        QVERIFY(xkey(QStringLiteral("down"), {rightAlt}));
        QVERIFY(daemon.waitForMessage(QStringLiteral("Recording started")));
        QVERIFY(playIntoMicrophone(speech));
        QVERIFY(xkey(QStringLiteral("up"), {rightAlt}));
        QVERIFY(daemon.waitForMessage(
            QStringLiteral("Recording stopped, file: /tmp/parlotta/recording.wav")));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(panel.menu().find(QStringLiteral("Quit")));
        qInfo("the tray menu read in %lld ms while the server works", clock.elapsed());
        QVERIFY(xkey(QStringLiteral("tap"), {keyA}));
        QTRY_COMPARE_WITH_TIMEOUT(countKeys(target, QStringLiteral("press"), qtA), 1, 1000);

        QVERIFY(xkey(QStringLiteral("down"), {rightAlt}));
        QTRY_COMPARE(daemon.logMessages().count(QStringLiteral("Recording started")), 2);
        QVERIFY(playIntoMicrophone(speech));
        QVERIFY(daemon.waitForMessage(QStringLiteral("Pasted via XTest"), 10000));
        QVERIFY(xkey(QStringLiteral("up"), {rightAlt}));
        QTRY_COMPARE_WITH_TIMEOUT(daemon.logMessages().count(QStringLiteral("Clipboard restored")),
                                  2, 10000);
        QCOMPARE(target.text(), QStringLiteral("aFirst.Second."));
        QVERIFY(daemon.logMessages().filter(QStringLiteral("cancelled")).isEmpty());
        // The second recording runs from its press until its release, past the first paste.
        const QList<FormPart> parts = formParts(slow.requests().value(1));
        QVERIFY(!parts.isEmpty());
        QVERIFY2(parts.first().body.size() > 4 * 32000, // 16 kHz, 16 bits, one channel
                 qPrintable(QString::number(parts.first().body.size())));
        QByteArray clip;
        QVERIFY(readClipboard(QStringLiteral("UTF8_STRING"), &clip));
        QCOMPARE(clip, QByteArray("mine"));
        // A modifier hotkey takes nothing from the window.
        QVERIFY(countKeys(target, QStringLiteral("press"), qtAlt) >= 2);
        QVERIFY(countKeys(target, QStringLiteral("release"), qtAlt) >= 2);

        // Right Alt with a letter is a shortcut of the window's: that recording is dropped.
        QVERIFY(xkey(QStringLiteral("down"), {rightAlt}));
        QTRY_COMPARE(daemon.logMessages().count(QStringLiteral("Recording started")), 3);
        QVERIFY(xkey(QStringLiteral("tap"), {keyA}));
        QVERIFY(daemon.waitForMessage(
            QStringLiteral("Recording cancelled (hotkey used in a key combination)")));
        QVERIFY(xkey(QStringLiteral("up"), {rightAlt}));
        QTRY_COMPARE(countKeys(target, QStringLiteral("press"), qtA), 2);
        QTest::qWait(500);
        QCOMPARE(daemon.logMessages().filter(QStringLiteral("Whisper response")).size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestHotkey)
#include "tst_hotkey.moc"

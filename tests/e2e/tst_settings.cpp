#include "daemon_process.h"
#include "desktop_helpers.h"
#include "test_panel.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

namespace {

// X keycodes (evdev + 8) of the US layout.
constexpr int rightControl = 105, leftAlt = 64, escape = 9, keyA = 38, keyL = 46, keyI = 31,
              down = 116, end = 115;

// The tone a recording holds, from its zero crossings: Hz.
double toneOf(const QByteArray &wav)
{
    const auto *samples = reinterpret_cast<const qint16 *>(wav.constData() + 44);
    const qsizetype count = (wav.size() - 44) / 2;
    int crossings = 0;
    for (qsizetype i = 1; i < count; ++i)
        crossings += (samples[i - 1] < 0) != (samples[i] < 0);
    return count > 0 ? crossings / 2.0 / (double(count) / 16000) : 0;
}

QStringList hotkeyLines(const DaemonProcess &daemon)
{
    return daemon.logMessages().filter(QRegularExpression(u"^Hotkey set to: "_s));
}

bool press(const QString &role, const QString &name)
{
    return accessibleAction(u"press"_s, role, name);
}

bool pressButton(const QString &name)
{
    return press(u"push button"_s, name);
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void cleanup()
    {
        xkey(u"up"_s, {rightControl, leftAlt, escape, keyA, keyL, keyI, down, end});
    }

    // A user sets up Parlotta through the window: opened from the tray menu,
    // driven as assistive technology drives it, with real keys.
    void everySettingThroughTheWindow()
    {
        QObject watcher;
        TestPanel panel(&watcher);
        QVERIFY(panel.start());
        PasteTarget target;
        DaemonProcess daemon(ServerKind::StandIn);
        daemon.installModel(u"hello"_s);
        daemon.setEnvironment(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, u"1"_s);
        QVERIFY(target.start());
        QVERIFY(daemon.start());
        QVERIFY(!panel.waitForItem().isEmpty());
        const QString autostart = daemon.configHome() + u"/autostart/parlotta.desktop"_s;
        QTRY_VERIFY(QFile::exists(autostart));

        QTRY_VERIFY(panel.menu().find(u"Settings…"_s));
        QVERIFY(panel.click(panel.menu().find(u"Settings…"_s)->id));
        QTRY_VERIFY_WITH_TIMEOUT(!windowNamed(u"Settings"_s).isEmpty(), 10000);
        const QString window = windowNamed(u"Settings"_s);
        QTRY_COMPARE(runTool(u"xdotool"_s, {u"getactivewindow"_s}), window);
        QTRY_VERIFY(accessibleShowing(u"push button"_s, u"Right Alt"_s));
        const QString tree = accessibleTree();
        for (const QString &control :
             {u"\tpush button\tClear hotkey\t"_s, u"\tcombo box\tAuto\tLanguage:\t"_s,
              u"\tcheck box\tShow language in menu bar\t\tchecked"_s,
              u"\tcombo box\thello  0 MB · downloaded\tModel:\t"_s,
              u"\tcheck box\tOpen at login\tStartup:\tchecked"_s})
            QVERIFY2(tree.contains(control), qPrintable(control + u" in\n"_s + tree));
        QVERIFY(!accessibleShowing(u"push button"_s, u"Grant Accessibility Access…"_s));
        screenshot(window, u"settings-fresh-account"_s);

        // Right Control alone becomes the hotkey, and push-to-talk follows it.
        QVERIFY(pressButton(u"Right Alt"_s));
        QTRY_VERIFY(accessibleShowing(u"push button"_s, u"Press a key…"_s));
        QVERIFY(!accessibleShowing(u"push button"_s, u"Clear hotkey"_s));
        screenshot(window, u"settings-capturing"_s);
        QVERIFY(xkey(u"tap"_s, {rightControl}));
        QVERIFY(daemon.waitForMessage(u"Hotkey set to: Right Control (code 62, modifiers 0)"_s));
        QTRY_VERIFY(accessibleShowing(u"push button"_s, u"Right Control"_s));
        QVERIFY(xkey(u"down"_s, {rightControl}));
        QVERIFY(daemon.waitForMessage(u"Recording started"_s));
        QVERIFY(xkey(u"up"_s, {rightControl}));
        QVERIFY(daemon.waitForMessage(u"Recording stopped, file: /tmp/parlotta/recording.wav"_s));

        // Escape alone cancels, and the focused window never sees it.
        const qsizetype set = hotkeyLines(daemon).size();
        runTool(u"xdotool"_s,
                {u"search"_s, u"--name"_s, u"^Paste Target$"_s, u"windowactivate"_s, u"--sync"_s});
        QVERIFY(pressButton(u"Right Control"_s));
        QTRY_VERIFY(accessibleShowing(u"push button"_s, u"Press a key…"_s));
        QVERIFY(xkey(u"tap"_s, {escape}));
        QTRY_VERIFY(accessibleShowing(u"push button"_s, u"Right Control"_s));
        QCOMPARE(hotkeyLines(daemon).size(), set);

        // Closed during a capture: the next key is an ordinary key again.
        QVERIFY(pressButton(u"Right Control"_s));
        QTRY_VERIFY(accessibleShowing(u"push button"_s, u"Press a key…"_s));
        QCOMPARE(QProcess::execute(QStringLiteral(XKEY), {u"close"_s, window}), 0);
        QTRY_VERIFY(windowNamed(u"Settings"_s).isEmpty());
        QVERIFY(xkey(u"tap"_s, {keyA}));
        QTRY_VERIFY(target.keys().contains(u"press %1 0 0"_s.arg(Qt::Key_A)));
        QCOMPARE(hotkeyLines(daemon).size(), set);
        QVERIFY(!target.keys().contains(u"press %1 0 0"_s.arg(Qt::Key_Escape)));

        // Reopened: Clear switches push-to-talk off.
        QVERIFY(panel.click(panel.menu().find(u"Settings…"_s)->id));
        QTRY_VERIFY(!windowNamed(u"Settings"_s).isEmpty());
        QTRY_COMPARE(runTool(u"xdotool"_s, {u"getactivewindow"_s}), windowNamed(u"Settings"_s));
        QTRY_VERIFY(accessibleShowing(u"push button"_s, u"Clear hotkey"_s));
        QVERIFY(pressButton(u"Clear hotkey"_s));
        QVERIFY(daemon.waitForMessage(u"Hotkey set to: None (code -1, modifiers 0)"_s));
        QTRY_VERIFY(accessibleShowing(u"push button"_s, u"Record Hotkey"_s));
        QVERIFY(!accessibleShowing(u"push button"_s, u"Clear hotkey"_s));

        // The language by keyboard (Alt+L, then Down); the tray menu follows.
        QVERIFY(xkey(u"down"_s, {leftAlt}));
        QVERIFY(xkey(u"tap"_s, {keyL}));
        QVERIFY(xkey(u"up"_s, {leftAlt}));
        QVERIFY(xkey(u"tap"_s, {down}));
        QVERIFY(daemon.waitForMessage(u"Language set to: en"_s));
        QTRY_COMPARE(panel.menu().childLabels().value(0), u"Language: English"_s);

        // Open at login, off and on again.
        QVERIFY(press(u"check box"_s, u"Open at login"_s));
        QTRY_VERIFY(!QFile::exists(autostart));
        QVERIFY(press(u"check box"_s, u"Open at login"_s));
        QTRY_VERIFY(QFile::exists(autostart));

        // Another program holds the keyboard: no capture, said in the log.
        QProcess grabber;
        grabber.start(QStringLiteral(XKEY), {u"grabkeyboard"_s});
        QVERIFY(grabber.waitForReadyRead(5000));
        QVERIFY(pressButton(u"Record Hotkey"_s));
        QVERIFY(daemon.waitForMessage(QStringLiteral(
            "ERROR: could not record a hotkey: another program holds the keyboard")));
        QVERIFY(accessibleShowing(u"push button"_s, u"Record Hotkey"_s));
        grabber.kill();
        grabber.waitForFinished();
    }

    // A second microphone, chosen by keyboard in the window (Alt+I, End):
    // its level shows, a recording hears it; unplugged, the default serves.
    void chosenMicrophoneThenUnplugged()
    {
        const QString module = runTool(u"pactl"_s, {u"load-module"_s, u"module-sine-source"_s,
                                                     u"source_name=tone"_s, u"rate=16000"_s,
                                                     u"frequency=880"_s});
        QVERIFY(!module.isEmpty());
        // What the default microphone hears meanwhile: a 300 Hz tone.
        QTemporaryDir work;
        const QString low = work.filePath(u"low.wav"_s);
        QCOMPARE(QProcess::execute(u"sox"_s, {u"-n"_s, u"-r"_s, u"16000"_s, u"-c"_s, u"1"_s,
                                               u"-b"_s, u"16"_s, low, u"synth"_s, u"1"_s,
                                               u"sine"_s, u"300"_s}),
                 0);
        const auto unload = qScopeGuard([&] { runTool(u"pactl"_s, {u"unload-module"_s, module}); });
        DaemonProcess daemon(ServerKind::StandIn);
        daemon.installModel(u"hello"_s);
        daemon.setEnvironment(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, u"1"_s);
        QVERIFY(daemon.start());
        DaemonProcess second;
        QVERIFY(second.runToExit()); // shows the running one's settings
        QTRY_VERIFY_WITH_TIMEOUT(!windowNamed(u"Settings"_s).isEmpty(), 10000);
        QTRY_COMPARE(runTool(u"xdotool"_s, {u"getactivewindow"_s}), windowNamed(u"Settings"_s));
        QTRY_VERIFY(accessibleTree().contains(u"\tcombo box\tSystem default\tMicrophone:\t"_s));
        QVERIFY(accessibleShowing(u"progress bar"_s, u"Input level"_s));

        QVERIFY(xkey(u"down"_s, {leftAlt}));
        QVERIFY(xkey(u"tap"_s, {keyI}));
        QVERIFY(xkey(u"up"_s, {leftAlt}));
        QVERIFY(xkey(u"tap"_s, {end}));
        QVERIFY(daemon.waitForMessage(u"Microphone set to: tone"_s));
        QVERIFY(readFile(daemon.preferencesPath()).contains("microphone=tone"));
        // The sine is loud; the default microphone is silent.
        QTRY_VERIFY(accessibleTree().contains(QRegularExpression(
            u"\tprogress bar\tInput level\t\t(value=[1-6][0-9])"_s)));
        QVERIFY(daemon.dictate(low, u"Recording stopped"_s));
        const double tone = toneOf(readFile(u"/tmp/parlotta/recording.wav"_s));
        QVERIFY2(tone > 850 && tone < 910, qPrintable(QString::number(tone)));

        runTool(u"pactl"_s, {u"unload-module"_s, module});
        QTRY_VERIFY(accessibleTree().contains(
            u"\tcombo box\ttone (not connected)\tMicrophone:\t"_s));
        QVERIFY(daemon.dictate(low, u"Recording stopped"_s));
        QVERIFY(daemon.logMessages().contains(
            u"Microphone tone is not connected, recording from the system default"_s));
        const double heard = toneOf(readFile(u"/tmp/parlotta/recording.wav"_s));
        QVERIFY2(heard > 250 && heard < 320, qPrintable(QString::number(heard)));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"

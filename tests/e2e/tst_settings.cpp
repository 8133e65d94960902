#include "daemon_process.h"
#include "desktop_helpers.h"
#include "test_panel.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <vector>

namespace {

// X keycodes (evdev + 8) of the US layout.
constexpr int rightControl = 105, leftAlt = 64, escape = 9, keyA = 38, keyL = 46, keyI = 31,
              keyF = 41, down = 116, end = 115;

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
        xkey(u"up"_s, {rightControl, leftAlt, escape, keyA, keyL, keyI, keyF, down, end});
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
              u"\tcombo box\tHold to talk\tMode:\t"_s,
              u"\tcheck box\tShow language in menu bar\t\tchecked"_s,
              u"\tcombo box\thello  0 MB · downloaded\tModel:\t"_s,
              u"\tcheck box\tOpen at login\tStartup:\tchecked"_s,
              // What gets typed, on the page behind the "Text" tab.
              u"\tpage tab\tText\t"_s,
              u"\tcheck box\tRemove filler words (um, uh)\tText:\tchecked,hidden"_s,
              u"\ttable\tReplacements\t\thidden"_s, u"\tcombo box\tApplication\t\thidden"_s,
              u"\tlist\tApplication rules\t\thidden"_s})
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

        // Freeing the model's memory: named by its label, changed by keyboard (Alt+F, Down).
        QVERIFY(
            accessibleTree().contains(u"\tcombo box\tAfter 15 minutes idle\tFree its memory:\t"_s));
        QVERIFY(xkey(u"down"_s, {leftAlt}));
        QVERIFY(xkey(u"tap"_s, {keyF}));
        QVERIFY(xkey(u"up"_s, {leftAlt}));
        QVERIFY(xkey(u"tap"_s, {down}));
        QVERIFY(
            daemon.waitForMessage(u"The model's memory is freed after 60 min without dictation"_s));
        QTRY_VERIFY(readFile(daemon.preferencesPath()).contains("free-model-after=60"));

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

    // A second microphone (a headset), chosen by keyboard in the window
    // (Alt+I, End): its level shows and a recording hears it; unplugged, the
    // default one serves, and the window says so.
    void chosenMicrophoneThenUnplugged()
    {
        const auto load = [](const QStringList &args) {
            return runTool(u"pactl"_s, QStringList{u"load-module"_s} + args);
        };
        const QString sink = load({u"module-null-sink"_s, u"sink_name=headset_feed"_s,
                                   u"rate=16000"_s, u"channels=1"_s, u"format=s16le"_s});
        const QString headset =
            load({u"module-remap-source"_s, u"master=headset_feed.monitor"_s,
                  u"source_name=headset"_s, u"source_properties=device.description=Headset"_s});
        QVERIFY(!sink.isEmpty() && !headset.isEmpty());
        const auto unload = qScopeGuard([&] {
            runTool(u"pactl"_s, {u"unload-module"_s, headset});
            runTool(u"pactl"_s, {u"unload-module"_s, sink});
        });
        // The headset hears 880 Hz, the default microphone 300 Hz.
        QTemporaryDir work;
        const auto tone = [&](const QString &name, const QString &hz, const QString &seconds) {
            const QString path = work.filePath(name);
            return QProcess::execute(u"sox"_s,
                                     {u"-n"_s, u"-r"_s, u"16000"_s, u"-c"_s, u"1"_s, u"-b"_s,
                                      u"16"_s, path, u"synth"_s, seconds, u"sine"_s, hz}) == 0
                       ? path
                       : QString();
        };
        const QString low = tone(u"low.wav"_s, u"300"_s, u"1"_s);
        const QString high = tone(u"high.wav"_s, u"880"_s, u"4"_s);
        QVERIFY(!low.isEmpty() && !high.isEmpty());
        QProcess headsetSound;
        const auto playIntoHeadset = [&] {
            headsetSound.start(u"paplay"_s, {u"-d"_s, u"headset_feed"_s, high});
            return headsetSound.waitForStarted();
        };

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
        QVERIFY(daemon.waitForMessage(u"Microphone set to: headset"_s));
        QVERIFY(accessibleTree().contains(u"\tcombo box\tHeadset\tMicrophone:\t"_s));
        QTRY_VERIFY(readFile(daemon.preferencesPath()).contains("microphone=headset"));
        QVERIFY(playIntoHeadset());
        QTRY_VERIFY(accessibleTree().contains(
            QRegularExpression(u"\tprogress bar\tInput level\t\t(value=[1-6][0-9])"_s)));
        QVERIFY(daemon.dictate(low, u"Recording stopped"_s));
        const double heard = toneOf(readFile(u"/tmp/parlotta/recording.wav"_s));
        QVERIFY2(heard > 850 && heard < 910, qPrintable(QString::number(heard)));
        headsetSound.waitForFinished();

        runTool(u"pactl"_s, {u"unload-module"_s, headset});
        QTRY_VERIFY(
            accessibleTree().contains(u"\tcombo box\theadset (not connected)\tMicrophone:\t"_s));
        QVERIFY(daemon.dictate(low, u"Recording stopped"_s));
        QVERIFY(daemon.logMessages().contains(
            u"Microphone headset is not connected, recording from the system default"_s));
        const double fallback = toneOf(readFile(u"/tmp/parlotta/recording.wav"_s));
        QVERIFY2(fallback > 270 && fallback < 330, qPrintable(QString::number(fallback)));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"

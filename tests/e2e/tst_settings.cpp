#include "daemon_process.h"
#include "desktop_helpers.h"
#include "test_panel.h"

#include <QFile>
#include <QProcess>
#include <QTest>

namespace {

// X keycodes (evdev + 8) of the US layout.
constexpr int rightControl = 105, leftAlt = 64, escape = 9, keyA = 38, keyL = 46, down = 116;

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
        xkey(u"up"_s, {rightControl, leftAlt, escape, keyA, keyL, down});
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
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"

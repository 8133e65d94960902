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
    return daemon.logMessages().filter(QRegularExpression(QStringLiteral("^Hotkey set to: ")));
}

bool press(const QString &role, const QString &name)
{
    return accessibleAction(QStringLiteral("press"), role, name);
}

bool pressButton(const QString &name)
{
    return press(QStringLiteral("push button"), name);
}

} // namespace

class TestSettings : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void cleanup()
    {
        xkey(QStringLiteral("up"), {rightControl, leftAlt, escape, keyA, keyL, down});
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
        daemon.installModel(QStringLiteral("hello"));
        daemon.setEnvironment(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"),
                              QStringLiteral("1"));
        QVERIFY(target.start());
        QVERIFY(daemon.start());
        QVERIFY(!panel.waitForItem().isEmpty());
        const QString autostart =
            daemon.configHome() + QStringLiteral("/autostart/parlotta.desktop");
        QTRY_VERIFY(QFile::exists(autostart));

        QTRY_VERIFY(panel.menu().find(QStringLiteral("Settings…")));
        QVERIFY(panel.click(panel.menu().find(QStringLiteral("Settings…"))->id));
        QTRY_VERIFY_WITH_TIMEOUT(!windowNamed(QStringLiteral("Settings")).isEmpty(), 10000);
        const QString window = windowNamed(QStringLiteral("Settings"));
        QTRY_COMPARE(runTool(QStringLiteral("xdotool"), {QStringLiteral("getactivewindow")}),
                     window);
        QTRY_VERIFY(accessibleShowing(QStringLiteral("push button"), QStringLiteral("Right Alt")));
        const QString tree = accessibleTree();
        for (const QString &control :
             {QStringLiteral("\tpush button\tClear hotkey\t"),
              QStringLiteral("\tcombo box\tAuto\tLanguage:\t"),
              QStringLiteral("\tcheck box\tShow language in menu bar\t\tchecked"),
              QStringLiteral("\tcombo box\thello  0 MB · downloaded\tModel:\t"),
              QStringLiteral("\tcheck box\tOpen at login\tStartup:\tchecked")})
            QVERIFY2(tree.contains(control), qPrintable(control + QStringLiteral(" in\n") + tree));
        QVERIFY(!accessibleShowing(QStringLiteral("push button"),
                                   QStringLiteral("Grant Accessibility Access…")));
        screenshot(window, QStringLiteral("settings-fresh-account"));

        // Right Control alone becomes the hotkey, and push-to-talk follows it.
        QVERIFY(pressButton(QStringLiteral("Right Alt")));
        QTRY_VERIFY(
            accessibleShowing(QStringLiteral("push button"), QStringLiteral("Press a key…")));
        QVERIFY(!accessibleShowing(QStringLiteral("push button"), QStringLiteral("Clear hotkey")));
        screenshot(window, QStringLiteral("settings-capturing"));
        QVERIFY(xkey(QStringLiteral("tap"), {rightControl}));
        QVERIFY(daemon.waitForMessage(
            QStringLiteral("Hotkey set to: Right Control (code 62, modifiers 0)")));
        QTRY_VERIFY(
            accessibleShowing(QStringLiteral("push button"), QStringLiteral("Right Control")));
        QVERIFY(xkey(QStringLiteral("down"), {rightControl}));
        QVERIFY(daemon.waitForMessage(QStringLiteral("Recording started")));
        QVERIFY(xkey(QStringLiteral("up"), {rightControl}));
        QVERIFY(daemon.waitForMessage(
            QStringLiteral("Recording stopped, file: /tmp/parlotta/recording.wav")));

        // Escape alone cancels, and the focused window never sees it.
        const qsizetype set = hotkeyLines(daemon).size();
        runTool(QStringLiteral("xdotool"),
                {QStringLiteral("search"), QStringLiteral("--name"),
                 QStringLiteral("^Paste Target$"), QStringLiteral("windowactivate"),
                 QStringLiteral("--sync")});
        QVERIFY(pressButton(QStringLiteral("Right Control")));
        QTRY_VERIFY(
            accessibleShowing(QStringLiteral("push button"), QStringLiteral("Press a key…")));
        QVERIFY(xkey(QStringLiteral("tap"), {escape}));
        QTRY_VERIFY(
            accessibleShowing(QStringLiteral("push button"), QStringLiteral("Right Control")));
        QCOMPARE(hotkeyLines(daemon).size(), set);

        // Closed during a capture: the next key is an ordinary key again.
        QVERIFY(pressButton(QStringLiteral("Right Control")));
        QTRY_VERIFY(
            accessibleShowing(QStringLiteral("push button"), QStringLiteral("Press a key…")));
        QCOMPARE(QProcess::execute(QStringLiteral(XKEY), {QStringLiteral("close"), window}), 0);
        QTRY_VERIFY(windowNamed(QStringLiteral("Settings")).isEmpty());
        QVERIFY(xkey(QStringLiteral("tap"), {keyA}));
        QTRY_VERIFY(target.keys().contains(QStringLiteral("press %1 0 0").arg(Qt::Key_A)));
        QCOMPARE(hotkeyLines(daemon).size(), set);
        QVERIFY(!target.keys().contains(QStringLiteral("press %1 0 0").arg(Qt::Key_Escape)));

        // Reopened: Clear switches push-to-talk off.
        QVERIFY(panel.click(panel.menu().find(QStringLiteral("Settings…"))->id));
        QTRY_VERIFY(!windowNamed(QStringLiteral("Settings")).isEmpty());
        QTRY_COMPARE(runTool(QStringLiteral("xdotool"), {QStringLiteral("getactivewindow")}),
                     windowNamed(QStringLiteral("Settings")));
        QTRY_VERIFY(
            accessibleShowing(QStringLiteral("push button"), QStringLiteral("Clear hotkey")));
        QVERIFY(pressButton(QStringLiteral("Clear hotkey")));
        QVERIFY(
            daemon.waitForMessage(QStringLiteral("Hotkey set to: None (code -1, modifiers 0)")));
        QTRY_VERIFY(
            accessibleShowing(QStringLiteral("push button"), QStringLiteral("Record Hotkey")));
        QVERIFY(!accessibleShowing(QStringLiteral("push button"), QStringLiteral("Clear hotkey")));

        // The language by keyboard (Alt+L, then Down); the tray menu follows.
        QVERIFY(xkey(QStringLiteral("down"), {leftAlt}));
        QVERIFY(xkey(QStringLiteral("tap"), {keyL}));
        QVERIFY(xkey(QStringLiteral("up"), {leftAlt}));
        QVERIFY(xkey(QStringLiteral("tap"), {down}));
        QVERIFY(daemon.waitForMessage(QStringLiteral("Language set to: en")));
        QTRY_COMPARE(panel.menu().childLabels().value(0), QStringLiteral("Language: English"));

        // Open at login, off and on again.
        QVERIFY(press(QStringLiteral("check box"), QStringLiteral("Open at login")));
        QTRY_VERIFY(!QFile::exists(autostart));
        QVERIFY(press(QStringLiteral("check box"), QStringLiteral("Open at login")));
        QTRY_VERIFY(QFile::exists(autostart));

        // Another program holds the keyboard: no capture, said in the log.
        QProcess grabber;
        grabber.start(QStringLiteral(XKEY), {QStringLiteral("grabkeyboard")});
        QVERIFY(grabber.waitForReadyRead(5000));
        QVERIFY(pressButton(QStringLiteral("Record Hotkey")));
        QVERIFY(daemon.waitForMessage(QStringLiteral(
            "ERROR: could not record a hotkey: another program holds the keyboard")));
        QVERIFY(accessibleShowing(QStringLiteral("push button"), QStringLiteral("Record Hotkey")));
        grabber.kill();
        grabber.waitForFinished();
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"

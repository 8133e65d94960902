#include "core/deployment.h"
#include "daemon_process.h"
#include "desktop_helpers.h"
#include "test_panel.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

namespace {

const QStringList languageMenu = {
    QStringLiteral("Auto"),       QStringLiteral("---"),      QStringLiteral("English"),
    QStringLiteral("Nederlands"), QStringLiteral("Deutsch"),  QStringLiteral("Français"),
    QStringLiteral("Español"),    QStringLiteral("Italiano"), QStringLiteral("Português"),
    QStringLiteral("日本語"),     QStringLiteral("中文"),     QStringLiteral("한국어"),
    QStringLiteral("Русский"),    QStringLiteral("Polski"),   QStringLiteral("Svenska"),
    QStringLiteral("Dansk"),      QStringLiteral("Norsk"),    QStringLiteral("Suomi"),
    QStringLiteral("Türkçe"),     QStringLiteral("العربية"),  QStringLiteral("हिन्दी"),
    QStringLiteral("Українська")};

QStringList checkedItems(const MenuNode &menu)
{
    QStringList checked;
    for (const MenuNode &item : menu.children.value(0).children)
        if (item.isChecked())
            checked << item.label();
    return checked;
}

} // namespace

class TestTray : public QObject {
    Q_OBJECT

    // A web browser for the daemon: an xdg-open that notes each address.
    QTemporaryDir browser;

    QStringList openedPages() const
    {
        return QString::fromUtf8(readFile(browser.path() + QStringLiteral("/opened")))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // A daemon with a model on the stand-in server (quick to start, no
    // settings window), the test browser, and its widgets on the accessibility bus.
    void prepare(DaemonProcess &daemon, const QByteArray &preferences = {})
    {
        daemon.installModel(QStringLiteral("hello"));
        daemon.writePreferences("[General]\n" + preferences);
        daemon.setEnvironment(QStringLiteral("PATH"),
                              browser.path() + QLatin1Char(':') + qEnvironmentVariable("PATH"));
        daemon.setEnvironment(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"),
                              QStringLiteral("1"));
    }

  private Q_SLOTS:
    void initTestCase()
    {
        QFile open(browser.path() + QStringLiteral("/xdg-open"));
        QVERIFY(open.open(QIODevice::WriteOnly));
        open.write("#!/bin/sh\necho \"$1\" >>\"$(dirname \"$0\")/opened\"\n");
        open.close();
        open.setPermissions(open.permissions() | QFileDevice::ExeOwner);
    }

    // A user's path through the menu as a panel reads it: a language, the
    // about dialog and its links, a click the panel sent for an entry of the
    // old menu, and Quit.
    void chooseLanguageReadAboutThenQuit()
    {
        QObject watcher;
        TestPanel panel(&watcher);
        QVERIFY(panel.start());
        DaemonProcess daemon;
        prepare(daemon);
        QVERIFY(daemon.start());
        QVERIFY(waitForWhisperServer());
        QVERIFY(!panel.waitForItem().isEmpty());
        QTRY_VERIFY(panel.menu().find(QStringLiteral("Deutsch")));
        const MenuNode fresh = panel.menu();
        QCOMPARE(fresh.childLabels(),
                 (QStringList{"Language: Auto", "---", "Settings…", "---", "About Parlotta",
                              "Check for Updates…", "Quit"}));
        QCOMPARE(fresh.children[0].childLabels(), languageMenu);
        QCOMPARE(checkedItems(fresh), QStringList{QStringLiteral("Auto")});
        for (const MenuNode &item : fresh.children)
            QVERIFY2(item.isEnabled(), qPrintable(item.label()));
        QCOMPARE(fresh.find(QStringLiteral("Settings…"))->shortcut(), QStringLiteral("Control+,"));
        QCOMPARE(fresh.find(QStringLiteral("Quit"))->shortcut(), QStringLiteral("Control+Q"));
        QCOMPARE(panel.toolTip(), QStringLiteral("Parlotta · auto"));
        QVERIFY(panel.icon().width() >= 22);
        QVERIFY(daemon.logMessages().filter(QStringLiteral("tray")).isEmpty());
        const int oldDeutsch = panel.menu().find(QStringLiteral("Deutsch"))->id;
        const QImage autoIcon = panel.icon();

        QVERIFY(panel.click(oldDeutsch));
        QVERIFY(daemon.waitForMessage(QStringLiteral("Language set to: de")));
        QVERIFY(readFile(daemon.preferencesPath()).contains("language=de"));
        QTRY_COMPARE(panel.toolTip(), QStringLiteral("Parlotta · de"));
        QVERIFY(panel.icon() != autoIcon);
        const MenuNode menu = panel.menu();
        QCOMPARE(menu.childLabels().value(0), QStringLiteral("Language: Deutsch"));
        QCOMPARE(checkedItems(menu), QStringList{QStringLiteral("Deutsch")});

        const qsizetype lines = daemon.logMessages().size();
        QVERIFY(panel.click(oldDeutsch));
        QTest::qWait(300);
        QCOMPARE(daemon.logMessages().size(), lines);

        QVERIFY(panel.click(menu.find(QStringLiteral("About Parlotta"))->id));
        QTRY_VERIFY_WITH_TIMEOUT(
            accessibleTree().contains(QStringLiteral("\tdialog\tAbout Parlotta")), 10000);
        const QString tree = accessibleTree();
        for (const QString &shown :
             {QStringLiteral("\tlabel\tParlotta"), QStringLiteral("\tlabel\tVersion dev"),
              QStringLiteral("\tlabel\tMade by"),
              QStringLiteral("\tpush button\t") + parlotta::makerName,
              QStringLiteral("\tpush button\tDocumentation & Setup Guide")})
            QVERIFY2(tree.contains(shown), qPrintable(shown + QStringLiteral(" in\n") + tree));
        screenshot(windowNamed(QStringLiteral("About Parlotta")), QStringLiteral("about"));
        QVERIFY(accessibleAction(QStringLiteral("press"), QStringLiteral("push button"),
                                 QStringLiteral("Documentation & Setup Guide")));
        QVERIFY(accessibleAction(QStringLiteral("press"), QStringLiteral("push button"),
                                 parlotta::makerName));
        QTRY_COMPARE(openedPages(), (QStringList{parlotta::siteURL, parlotta::makerURL}));

        const qint64 server = readFile(QStringLiteral("/tmp/parlotta/server-pid")).toLongLong();
        QVERIFY(panel.click(panel.menu().find(QStringLiteral("Quit"))->id));
        QVERIFY(daemon.waitForExit());
        QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
        QCOMPARE(daemon.exitCode(), 0);
        const QStringList log = daemon.logMessages();
        QCOMPARE(log.mid(log.size() - 3),
                 (QStringList{"Quit from menu", "whisper-server stopped", "Daemon shutting down"}));
        QVERIFY(server > 0 && ::kill(pid_t(server), 0) != 0);
    }

    // Without a StatusNotifier panel the icon docks into the XEmbed tray, where
    // a real click opens the menu.
    void dockedInXEmbedTray()
    {
        DaemonProcess daemon(ServerKind::StandIn);
        prepare(daemon);
        QVERIFY(daemon.start());
        QTRY_COMPARE(visibleWindows(daemon.pid()).size(), 1);
        const QString icon = visibleWindows(daemon.pid()).constFirst();
        const QString geometry =
            runTool(QStringLiteral("xdotool"),
                    {QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), icon});
        const auto value = [&](const QString &key) {
            return QRegularExpression(key + QStringLiteral("=(\\d+)"))
                .match(geometry)
                .captured(1)
                .toInt();
        };
        QVERIFY2(value(QStringLiteral("WIDTH")) >= 16 && value(QStringLiteral("HEIGHT")) >= 16,
                 qPrintable(geometry));
        screenshot(QStringLiteral("root"), QStringLiteral("xembed-tray-icon"));
        QCOMPARE(
            QProcess::execute(
                QStringLiteral("xdotool"),
                {QStringLiteral("mousemove"),
                 QString::number(value(QStringLiteral("X")) + value(QStringLiteral("WIDTH")) / 2),
                 QString::number(value(QStringLiteral("Y")) + value(QStringLiteral("HEIGHT")) / 2),
                 QStringLiteral("click"), QStringLiteral("3")}),
            0);
        QTRY_COMPARE(visibleWindows(daemon.pid()).size(), 2);
        QTest::qWait(200); // drawn
        screenshot(QStringLiteral("root"), QStringLiteral("xembed-tray-menu"));

        // Up from the top wraps to the last entry, Quit.
        QVERIFY(xkey(QStringLiteral("tap"), {111}));
        QVERIFY(xkey(QStringLiteral("tap"), {36}));
        QVERIFY(daemon.waitForExit());
        QCOMPARE(daemon.exitCode(), 0);
        QVERIFY(daemon.logMessages().contains(QStringLiteral("Quit from menu")));
    }
};

QTEST_GUILESS_MAIN(TestTray)
#include "tst_tray.moc"

#include "core/deployment.h"
#include "core/languages.h"
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

// The icon's badge colour, beside its glyph.
QColor badge(const QImage &icon)
{
    return icon.pixelColor(icon.width() / 8, icon.height() / 2);
}

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
        return QString::fromUtf8(readFile(browser.path() + u"/opened"_s))
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

    // A daemon with a model on the stand-in server (quick to start, no
    // settings window), the test browser, and its widgets on the accessibility bus.
    void prepare(DaemonProcess &daemon, const QByteArray &preferences = {})
    {
        daemon.installModel(u"hello"_s);
        daemon.writePreferences("[General]\n" + preferences);
        daemon.setEnvironment(u"PATH"_s,
                              browser.path() + QLatin1Char(':') + qEnvironmentVariable("PATH"));
        daemon.setEnvironment(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, u"1"_s);
    }

  private Q_SLOTS:
    void initTestCase()
    {
        QFile open(browser.path() + u"/xdg-open"_s);
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
        QTRY_VERIFY(panel.menu().find(u"Deutsch"_s));
        const MenuNode fresh = panel.menu();
        QCOMPARE(fresh.childLabels(),
                 (QStringList{"Language: Auto", "Recent", "---", "Settings…", "---",
                              "About Parlotta", "Check for Updates…", "Quit"}));
        QCOMPARE(fresh.children[0].childLabels().size(), parlotta::languages.size() + 1); // and ---
        QCOMPARE(checkedItems(fresh), QStringList{u"Auto"_s});
        for (const MenuNode &item : fresh.children)
            QVERIFY2(item.isEnabled(), qPrintable(item.label()));
        QCOMPARE(panel.toolTip(), u"Parlotta · auto"_s);
        QVERIFY(panel.icon().width() >= 22);
        QVERIFY(daemon.logMessages().filter(u"system tray"_s).isEmpty());
        const int oldDeutsch = panel.menu().find(u"Deutsch"_s)->id;
        const QImage autoIcon = panel.icon();

        QVERIFY(panel.click(oldDeutsch));
        QVERIFY(daemon.waitForMessage(u"Language set to: de"_s));
        QTRY_VERIFY(readFile(daemon.preferencesPath()).contains("language=de"));
        QTRY_COMPARE(panel.toolTip(), u"Parlotta · de"_s);
        QVERIFY(panel.icon() != autoIcon);
        const MenuNode menu = panel.menu();
        QCOMPARE(menu.childLabels().value(0), u"Language: Deutsch"_s);
        QCOMPARE(checkedItems(menu), QStringList{u"Deutsch"_s});

        const qsizetype lines = daemon.logMessages().size();
        QVERIFY(panel.click(oldDeutsch));
        QTest::qWait(300);
        QCOMPARE(daemon.logMessages().size(), lines);

        QVERIFY(panel.click(menu.find(u"About Parlotta"_s)->id));
        QTRY_VERIFY_WITH_TIMEOUT(accessibleTree().contains(u"\tdialog\tAbout Parlotta"_s), 10000);
        const QString tree = accessibleTree();
        for (const QString &shown :
             {u"\tlabel\tParlotta"_s, u"\tlabel\tVersion dev"_s, u"\tlabel\tMade by"_s,
              u"\tpush button\t"_s + parlotta::makerName,
              u"\tpush button\tDocumentation & Setup Guide"_s})
            QVERIFY2(tree.contains(shown), qPrintable(shown + u" in\n"_s + tree));
        screenshot(windowNamed(u"About Parlotta"_s), u"about"_s);
        QVERIFY(accessibleAction(u"press"_s, u"push button"_s, u"Documentation & Setup Guide"_s));
        QVERIFY(accessibleAction(u"press"_s, u"push button"_s, parlotta::makerName));
        // Each press starts the browser on its own: they may arrive in either order.
        const auto sorted = [](QStringList pages) {
            pages.sort();
            return pages;
        };
        QTRY_COMPARE(sorted(openedPages()), sorted({parlotta::siteURL, parlotta::makerURL}));

        const qint64 server = readFile(u"/tmp/parlotta/server-pid"_s).toLongLong();
        QVERIFY(panel.click(panel.menu().find(u"Quit"_s)->id));
        QVERIFY(daemon.waitForExit());
        QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
        QCOMPARE(daemon.exitCode(), 0);
        const QStringList log = daemon.logMessages();
        QCOMPARE(log.mid(log.size() - 3),
                 (QStringList{"Quit from menu", "whisper-server stopped", "Daemon shutting down"}));
        QVERIFY(server > 0 && ::kill(pid_t(server), 0) != 0);
    }

    // The icon and tooltip follow a recording and a slow transcription, and
    // the transcript is then in Recent, from where it goes back on the clipboard.
    void showsStateAndRecent()
    {
        QObject watcher;
        TestPanel panel(&watcher);
        QVERIFY(panel.start());
        DaemonProcess daemon(ServerKind::StandIn);
        prepare(daemon);
        QVERIFY(QDir().mkpath(daemon.serverDir() + u"/answers"_s));
        QFile answer(daemon.serverDir() + u"/answers/1"_s);
        QVERIFY(answer.open(QIODevice::WriteOnly));
        answer.write("200 3000\n First words, then a good many more of them, said slowly.\n");
        answer.close();
        QVERIFY(daemon.start());
        QVERIFY(!panel.waitForItem().isEmpty());
        QTRY_COMPARE(panel.toolTip(), u"Parlotta · auto"_s);
        QVERIFY(badge(panel.icon()).blue() > 150);
        const QStringList nothingYet = {u"No transcripts yet"_s, u"---"_s, u"Clear"_s};
        QCOMPARE(panel.menu().find(u"Recent"_s)->childLabels(), nothingYet);

        daemon.sendSignal(SIGUSR1);
        QTRY_VERIFY(panel.toolTip().startsWith(u"Recording \u2013 "_s));
        QVERIFY(badge(panel.icon()).red() > 150 && badge(panel.icon()).blue() < 90);
        QVERIFY(playIntoMicrophone(makeSpeech(u"first words and then a good many more"_s)));
        QTRY_COMPARE(panel.toolTip().isEmpty(), false);
        QVERIFY2(panel.toolTip() != u"Recording \u2013 0 s"_s, qPrintable(panel.toolTip()));
        daemon.sendSignal(SIGUSR2);
        QTRY_VERIFY(panel.toolTip().startsWith(u"Transcribing "_s));
        QVERIFY2(panel.toolTip().endsWith(u" s of speech\u2026"_s), qPrintable(panel.toolTip()));
        const QColor transcribing = badge(panel.icon());
        QVERIFY(transcribing.red() > 150 && transcribing.green() > 60 && transcribing.blue() < 60);
        QVERIFY(daemon.waitForMessage(u"Clipboard restored"_s, 10000) ||
                daemon.waitForMessage(u"Copied to clipboard"_s, 1000));
        QTRY_COMPARE(panel.toolTip(), u"Parlotta · auto"_s);

        const MenuNode menu = panel.menu();
        const MenuNode *recent = menu.find(u"Recent"_s);
        QVERIFY(recent);
        QCOMPARE(recent->childLabels(),
                 (QStringList{u"First words, then a good many more of them, said\u2026"_s, u"---"_s,
                              u"Clear"_s}));
        QVERIFY(panel.click(recent->children.value(0).id));
        QTRY_VERIFY(daemon.logMessages().count(u"Copied to clipboard"_s) == 2);
        QByteArray clip;
        QTRY_VERIFY(readClipboard(u"UTF8_STRING"_s, &clip) &&
                    clip == "First words, then a good many more of them, said slowly.");
        QVERIFY(panel.click(panel.menu().find(u"Clear"_s)->id));
        QTRY_COMPARE(panel.menu().find(u"Recent"_s)->childLabels(), nothingYet);
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
            runTool(u"xdotool"_s, {u"getwindowgeometry"_s, u"--shell"_s, icon});
        const auto value = [&](const QString &key) {
            return QRegularExpression(key + u"=(\\d+)"_s).match(geometry).captured(1).toInt();
        };
        QVERIFY2(value(u"WIDTH"_s) >= 16 && value(u"HEIGHT"_s) >= 16, qPrintable(geometry));
        screenshot(u"root"_s, u"xembed-tray-icon"_s);
        QCOMPARE(QProcess::execute(
                     u"xdotool"_s,
                     {u"mousemove"_s, QString::number(value(u"X"_s) + value(u"WIDTH"_s) / 2),
                      QString::number(value(u"Y"_s) + value(u"HEIGHT"_s) / 2), u"click"_s, u"3"_s}),
                 0);
        QTRY_COMPARE(visibleWindows(daemon.pid()).size(), 2);
        QTest::qWait(200); // drawn
        screenshot(u"root"_s, u"xembed-tray-menu"_s);

        // Up from the top wraps to the last entry, Quit.
        QVERIFY(xkey(u"tap"_s, {111}));
        QVERIFY(xkey(u"tap"_s, {36}));
        QVERIFY(daemon.waitForExit());
        QCOMPARE(daemon.exitCode(), 0);
        QVERIFY(daemon.logMessages().contains(u"Quit from menu"_s));
    }
};

QTEST_GUILESS_MAIN(TestTray)
#include "tst_tray.moc"

// The update as a user meets it: a release installed from its archive, a
// release site on loopback serving a newer one, the offer, the menu entry,
// the install, and the new copy started in place of the old. What the check
// says for each answer of the site is tst_update_checker's, what the install
// refuses tst_release's. Releases are
// made by tools/make-release from the tree built for this site.
#include "daemon_process.h"
#include "desktop_helpers.h"
#include "test_helpers.h"
#include "test_panel.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/mount.h>
#include <unistd.h>

namespace {

const QString offer = u"A new version of Parlotta is available!"_s;

bool press(const QString &button)
{
    return waitUntil([&] { return accessibleShowing(u"push button"_s, button); }, 15000) &&
           accessibleAction(u"press"_s, u"push button"_s, button);
}

} // namespace

class TestUpdate : public QObject {
    Q_OBJECT

    QTemporaryDir scratch;
    QProcess site; // the release site, on the address the release build names
    QString oldZip;

    QString releases() const
    {
        return scratch.filePath(u"site/releases"_s);
    }

    // The 1.0 release unpacked where a user would keep it, run with a model.
    void install(QTemporaryDir &apps, DaemonProcess &daemon)
    {
        QVERIFY(run(QStringLiteral(RELEASE_ARCHIVE), {u"unpack"_s, oldZip, apps.path()}));
        daemon.setProgram(apps.filePath(u"Parlotta.app/bin/parlotta"_s));
        daemon.installModel(u"hello"_s);
        daemon.setEnvironment(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, u"1"_s);
    }

  private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(QStringLiteral(RELEASES_BUILD "/bin/parlotta")),
                 "build the releases-test preset first (tests/run.sh does)");
        const QString key = scratch.filePath(u"release.pem"_s);
        QVERIFY(run(u"openssl"_s, {u"genpkey"_s, u"-algorithm"_s, u"ed25519"_s, u"-out"_s, key}));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"PARLOTTA_BUILD_DIR"_s, QStringLiteral(RELEASES_BUILD));
        QVERIFY(
            run(QStringLiteral(MAKE_RELEASE), {u"1.0"_s, key, scratch.filePath(u"old"_s)}, env));
        QVERIFY(run(QStringLiteral(MAKE_RELEASE), {u"2.0"_s, key, releases()}, env));
        oldZip = scratch.filePath(u"old/Parlotta.zip"_s);
        site.start(u"python3"_s, {u"-m"_s, u"http.server"_s, u"8190"_s, u"--bind"_s, u"127.0.0.1"_s,
                                  u"--directory"_s, scratch.filePath(u"site"_s)});
        QVERIFY(site.waitForStarted());
    }

    void cleanupTestCase()
    {
        site.kill();
        site.waitForFinished();
    }

    // Offered once, kept in the menu, installed from it; the new copy takes over.
    void offeredOnceThenInstalled()
    {
        QObject watcher;
        TestPanel panel(&watcher);
        QVERIFY(panel.start());
        QTemporaryDir apps, temporary;
        DaemonProcess daemon;
        install(apps, daemon);
        daemon.setEnvironment(u"TMPDIR"_s, temporary.path());
        // What a daemon killed during an update or a model download left behind.
        QVERIFY(QDir(apps.path()).mkpath(u".parlotta-update-Ab12Cd/Parlotta.app"_s));
        const QString partial = daemon.modelDir() + u"/ggml-base.bin.download-x1Y2z3"_s;
        QVERIFY(QFile(partial).open(QIODevice::WriteOnly));
        QVERIFY(daemon.start());
        QVERIFY(!QFile::exists(partial));
        QVERIFY(daemon.waitForMessage(u"Update check: local=1.0 remote=2.0"_s, 10000));
        QVERIFY(waitUntil([] { return accessibleTree().contains(offer); }, 10000));
        QVERIFY(accessibleTree().contains(
            QStringLiteral("Version 2.0 is now available \u2014 you have 1.0. Would you like to "
                           "install it now?")));
        screenshot(u"root"_s, u"update-offer"_s);
        QVERIFY(press(u"Remind Me Later"_s));
        QTRY_VERIFY(readFile(daemon.preferencesPath()).contains("update-dismissed=2.0"));
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());

        // Started again: the same version is not offered again, but the menu has it.
        QVERIFY(daemon.start());
        QVERIFY(daemon.waitForMessage(u"Update check: local=1.0 remote=2.0"_s, 10000));
        QVERIFY(!panel.waitForItem().isEmpty());
        QTRY_VERIFY(panel.menu().find(u"Update Available (v2.0)\u2026"_s));
        QTest::qWait(500);
        QVERIFY(!accessibleTree().contains(offer));
        QVERIFY(panel.click(panel.menu().find(u"Update Available (v2.0)\u2026"_s)->id));
        QVERIFY(press(u"Install Update"_s));
        QVERIFY(daemon.waitForExit(30000));
        QCOMPARE(daemon.exitCode(), 0);
        const QStringList lines = daemon.logMessages();
        QVERIFY2(lines.contains(u"Downloading update..."_s) &&
                     lines.contains(u"Update installed, relaunching"_s) &&
                     lines.last() == u"Daemon shutting down"_s,
                 qPrintable(lines.join(u'\n')));

        // The new copy, in the same place, with its own server.
        qint64 newPid = 0;
        QVERIFY(waitUntil(
            [&] {
                newPid = readFile(u"/tmp/parlotta/helper-pid"_s).toLongLong();
                return newPid > 0 && newPid != daemon.pid();
            },
            15000));
        const auto stopNew = qScopeGuard([&] {
            ::kill(pid_t(newPid), SIGTERM);
            waitUntil([&] { return ::kill(pid_t(newPid), 0) != 0; }, 10000);
        });
        QCOMPARE(readFile(u"/proc/%1/cmdline"_s.arg(newPid)).split('\0').value(0),
                 QFile::encodeName(apps.filePath(u"Parlotta.app/bin/parlotta"_s)));
        QVERIFY(waitForWhisperServer());
        QVERIFY(waitUntil(
            [] { return DaemonProcess::logBytes().contains("Update check: local=2.0 remote=2.0"); },
            10000));
        QTRY_VERIFY_WITH_TIMEOUT(panel.menu().find(u"About Parlotta"_s), 10000);
        QVERIFY(panel.click(panel.menu().find(u"About Parlotta"_s)->id));
        QVERIFY(
            waitUntil([] { return accessibleTree().contains(u"\tlabel\tVersion 2.0"_s); }, 10000));
        QCOMPARE(
            QDir(apps.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList{u"Parlotta.app"_s});
        QCOMPARE(QDir(temporary.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
    }

    // A signed release whose program cannot start: the old copy is gone, and
    // the log says why nothing came in its place.
    void relaunchThatCannotStartIsLogged()
    {
        const QString archive = releases() + u"/Parlotta.zip"_s;
        QVERIFY(QFile::rename(archive, archive + u".away"_s));
        const auto restore = qScopeGuard([&] {
            QFile::remove(archive);
            QFile::rename(archive + u".away"_s, archive);
        });
        QVERIFY(
            run(QStringLiteral(RELEASE_ARCHIVE), {u"make"_s, u"unrunnable"_s, archive + u".away"_s,
                                                  archive, scratch.filePath(u"release.pem"_s)}));
        QTemporaryDir apps;
        DaemonProcess daemon;
        install(apps, daemon);
        QVERIFY(daemon.start());
        QVERIFY(press(u"Install Update"_s));
        QVERIFY(daemon.waitForExit(30000));
        const QString program = apps.filePath(u"Parlotta.app/bin/parlotta"_s);
        QVERIFY2(waitUntil(
                     [&] {
                         return DaemonProcess::logBytes().contains(
                             "Relaunch failed: " + QFile::encodeName(program) +
                             " exited with status 127\n");
                     },
                     10000),
                 DaemonProcess::logBytes().constData());
    }

    // Each leaves the installed copy byte for byte as it was, and says why.
    void refused_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text"); // the start of it
        QTest::newRow("archive not found")
            << u"404"_s << u"Update Failed"_s << u"The download failed (HTTP 404)."_s;
        QTest::newRow("release site gone")
            << u"gone"_s << u"Update Failed"_s << u"Connection refused"_s;
        QTest::newRow("read-only install")
            << u"read-only"_s << u"Can't Update This Copy"_s
            << u"Parlotta is installed in a folder you can't change"_s;
    }
    void refused()
    {
        QFETCH(QString, kind);
        QFETCH(QString, title);
        QFETCH(QString, text);
        QTemporaryDir apps;
        DaemonProcess daemon;
        install(apps, daemon);
        QVERIFY(daemon.start());
        QVERIFY(waitUntil([] { return accessibleTree().contains(offer); }, 10000));
        const QString archive = releases() + u"/Parlotta.zip"_s;
        const auto restore = qScopeGuard([&] {
            if (QFile::exists(archive + u".away"_s)) {
                QFile::remove(archive);
                QFile::rename(archive + u".away"_s, archive);
            }
            if (kind == u"gone"_s && site.state() == QProcess::NotRunning) {
                site.start();
                site.waitForStarted();
            }
            ::umount(QFile::encodeName(apps.path()).constData());
            QFile::setPermissions(apps.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        });
        if (kind == u"404"_s)
            QVERIFY(QFile::rename(archive, archive + u".away"_s));
        if (kind == u"gone"_s) {
            site.kill();
            site.waitForFinished();
        }
        if (kind == u"read-only"_s) {
            // Root writes anywhere, but not into a read-only mount.
            if (::geteuid() == 0)
                QVERIFY2(::mount(QFile::encodeName(apps.path()).constData(),
                                 QFile::encodeName(apps.path()).constData(), nullptr, MS_BIND,
                                 nullptr) == 0 &&
                             ::mount(nullptr, QFile::encodeName(apps.path()).constData(), nullptr,
                                     MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0,
                         "a read-only bind mount needs CAP_SYS_ADMIN");
            else
                QVERIFY(QFile::setPermissions(apps.path(), QFile::ReadOwner | QFile::ExeOwner));
        }
        const QStringList before = snapshot(apps.path());
        QVERIFY(press(u"Install Update"_s));
        const bool downloaded = title == u"Update Failed"_s;
        const QString siteSentence =
            downloaded ? u"  You can also download the latest version from https://"_s : QString();
        QVERIFY2(waitUntil(
                     [&] {
                         const QString tree = accessibleTree();
                         return tree.contains(u'\t' + title) && tree.contains(u'\t' + text) &&
                                tree.contains(siteSentence);
                     },
                     15000),
                 qPrintable(accessibleTree()));
        screenshot(u"root"_s, u"update-refused-"_s + kind);
        QVERIFY(press(u"OK"_s));
        QCOMPARE(snapshot(apps.path()), before);
        QVERIFY(daemon.isRunning());
        QCOMPARE(daemon.logMessages().contains(u"Downloading update..."_s), downloaded);
        if (downloaded)
            QVERIFY(daemon.logMessages().filter(u"Update failed: "_s).size() == 1);
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"

// The update as a user meets it: a release installed from its archive, a
// release site on loopback serving a newer one, the offer, the menu entry,
// the install, and the new copy started in place of the old. What the check
// says for each answer of the site is tst_update_checker's, what the install
// refuses tst_release's. Releases are
// made by tools/make-release from the tree built for this site.
#include "daemon_process.h"
#include "desktop_helpers.h"
#include "test_panel.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <sys/mount.h>
#include <unistd.h>

namespace {

const QString offer = QStringLiteral("A new version of Parlotta is available!");

bool run(const QString &program, const QStringList &arguments,
         const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(120000) && process.exitCode() == 0;
    if (!ok)
        qWarning("%s: %s", qPrintable(program), process.readAllStandardError().constData());
    return ok;
}

// Every file under dir with its mode and content.
QStringList snapshot(const QString &dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        entries << path + QString::number(QFileInfo(path).permissions()) +
                       QString::fromLatin1(readFile(path).toBase64().right(64));
    }
    entries.sort();
    return entries;
}

bool press(const QString &button)
{
    return waitUntil([&] { return accessibleShowing(QStringLiteral("push button"), button); },
                     15000) &&
           accessibleAction(QStringLiteral("press"), QStringLiteral("push button"), button);
}

} // namespace

class TestUpdate : public QObject {
    Q_OBJECT

    QTemporaryDir scratch;
    QProcess site; // the release site, on the address the release build names
    QString oldZip;

    QString releases() const
    {
        return scratch.filePath(QStringLiteral("site/releases"));
    }

    // The 1.0 release unpacked where a user would keep it, run with a model.
    void install(QTemporaryDir &apps, DaemonProcess &daemon)
    {
        QVERIFY(
            run(QStringLiteral(RELEASE_ARCHIVE), {QStringLiteral("unpack"), oldZip, apps.path()}));
        daemon.setProgram(apps.filePath(QStringLiteral("Parlotta.app/bin/parlotta")));
        daemon.installModel(QStringLiteral("hello"));
        daemon.setEnvironment(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"),
                              QStringLiteral("1"));
    }

  private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY2(QFile::exists(QStringLiteral(RELEASES_BUILD "/bin/parlotta")),
                 "build the releases-test preset first (tests/run.sh does)");
        const QString key = scratch.filePath(QStringLiteral("release.pem"));
        QVERIFY(run(QStringLiteral("openssl"),
                    {QStringLiteral("genpkey"), QStringLiteral("-algorithm"),
                     QStringLiteral("ed25519"), QStringLiteral("-out"), key}));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PARLOTTA_BUILD_DIR"), QStringLiteral(RELEASES_BUILD));
        QVERIFY(run(QStringLiteral(MAKE_RELEASE),
                    {QStringLiteral("1.0"), key, scratch.filePath(QStringLiteral("old"))}, env));
        QVERIFY(run(QStringLiteral(MAKE_RELEASE), {QStringLiteral("2.0"), key, releases()}, env));
        oldZip = scratch.filePath(QStringLiteral("old/Parlotta.zip"));
        site.start(QStringLiteral("python3"),
                   {QStringLiteral("-m"), QStringLiteral("http.server"), QStringLiteral("8190"),
                    QStringLiteral("--bind"), QStringLiteral("127.0.0.1"),
                    QStringLiteral("--directory"), scratch.filePath(QStringLiteral("site"))});
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
        daemon.setEnvironment(QStringLiteral("TMPDIR"), temporary.path());
        // What a daemon killed during an update or a model download left behind.
        QVERIFY(QDir(apps.path()).mkpath(QStringLiteral(".parlotta-update-Ab12Cd/Parlotta.app")));
        const QString partial =
            daemon.modelDir() + QStringLiteral("/ggml-base.bin.download-x1Y2z3");
        QVERIFY(QFile(partial).open(QIODevice::WriteOnly));
        QVERIFY(daemon.start());
        QVERIFY(!QFile::exists(partial));
        QVERIFY(daemon.waitForMessage(QStringLiteral("Update check: local=1.0 remote=2.0"), 10000));
        QVERIFY(waitUntil([] { return accessibleTree().contains(offer); }, 10000));
        QVERIFY(accessibleTree().contains(
            QStringLiteral("Version 2.0 is now available \u2014 you have 1.0. Would you like to "
                           "install it now?")));
        screenshot(QStringLiteral("root"), QStringLiteral("update-offer"));
        QVERIFY(press(QStringLiteral("Remind Me Later")));
        QVERIFY(readFile(daemon.preferencesPath()).contains("update-dismissed=2.0"));
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());

        // Started again: the same version is not offered again, but the menu has it.
        QVERIFY(daemon.start());
        QVERIFY(daemon.waitForMessage(QStringLiteral("Update check: local=1.0 remote=2.0"), 10000));
        QVERIFY(!panel.waitForItem().isEmpty());
        QTRY_VERIFY(panel.menu().find(QStringLiteral("Update Available (v2.0)\u2026")));
        QTest::qWait(500);
        QVERIFY(!accessibleTree().contains(offer));
        QVERIFY(
            panel.click(panel.menu().find(QStringLiteral("Update Available (v2.0)\u2026"))->id));
        QVERIFY(press(QStringLiteral("Install Update")));
        QVERIFY(daemon.waitForExit(30000));
        QCOMPARE(daemon.exitCode(), 0);
        const QStringList lines = daemon.logMessages();
        QVERIFY2(lines.contains(QStringLiteral("Downloading update...")) &&
                     lines.contains(QStringLiteral("Update installed, relaunching")) &&
                     lines.last() == QStringLiteral("Daemon shutting down"),
                 qPrintable(lines.join(u'\n')));

        // The new copy, in the same place, with its own server.
        qint64 newPid = 0;
        QVERIFY(waitUntil(
            [&] {
                newPid = readFile(QStringLiteral("/tmp/parlotta/helper-pid")).toLongLong();
                return newPid > 0 && newPid != daemon.pid();
            },
            15000));
        const auto stopNew = qScopeGuard([&] {
            ::kill(pid_t(newPid), SIGTERM);
            waitUntil([&] { return ::kill(pid_t(newPid), 0) != 0; }, 10000);
        });
        QCOMPARE(readFile(QStringLiteral("/proc/%1/cmdline").arg(newPid)).split('\0').value(0),
                 QFile::encodeName(apps.filePath(QStringLiteral("Parlotta.app/bin/parlotta"))));
        QVERIFY(waitForWhisperServer());
        QVERIFY(waitUntil(
            [] { return DaemonProcess::logBytes().contains("Update check: local=2.0 remote=2.0"); },
            10000));
        QTRY_VERIFY_WITH_TIMEOUT(panel.menu().find(QStringLiteral("About Parlotta")), 10000);
        QVERIFY(panel.click(panel.menu().find(QStringLiteral("About Parlotta"))->id));
        QVERIFY(waitUntil(
            [] { return accessibleTree().contains(QStringLiteral("\tlabel\tVersion 2.0")); },
            10000));
        QCOMPARE(
            QDir(apps.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList{QStringLiteral("Parlotta.app")});
        QCOMPARE(QDir(temporary.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
    }

    // A signed release whose program cannot start: the old copy is gone, and
    // the log says why nothing came in its place.
    void relaunchThatCannotStartIsLogged()
    {
        const QString archive = releases() + QStringLiteral("/Parlotta.zip");
        QVERIFY(QFile::rename(archive, archive + QStringLiteral(".away")));
        const auto restore = qScopeGuard([&] {
            QFile::remove(archive);
            QFile::rename(archive + QStringLiteral(".away"), archive);
        });
        QVERIFY(run(QStringLiteral(RELEASE_ARCHIVE),
                    {QStringLiteral("make"), QStringLiteral("unrunnable"),
                     archive + QStringLiteral(".away"), archive,
                     scratch.filePath(QStringLiteral("release.pem"))}));
        QTemporaryDir apps;
        DaemonProcess daemon;
        install(apps, daemon);
        QVERIFY(daemon.start());
        QVERIFY(press(QStringLiteral("Install Update")));
        QVERIFY(daemon.waitForExit(30000));
        const QString program = apps.filePath(QStringLiteral("Parlotta.app/bin/parlotta"));
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
        QTest::newRow("archive not found") << "404"
                                           << "Update Failed"
                                           << "The download failed (HTTP 404).";
        QTest::newRow("release site gone") << "gone"
                                           << "Update Failed"
                                           << "Connection refused";
        QTest::newRow("read-only install") << "read-only"
                                           << "Can't Update This Copy"
                                           << "Parlotta is installed in a folder you can't change";
        QTest::newRow("signature gone since start-up")
            << "unsigned"
            << "Can't Install Updates"
            << "This copy of Parlotta isn't a signed release. It's probably a development build.";
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
        const QString archive = releases() + QStringLiteral("/Parlotta.zip");
        const auto restore = qScopeGuard([&] {
            if (QFile::exists(archive + QStringLiteral(".away"))) {
                QFile::remove(archive);
                QFile::rename(archive + QStringLiteral(".away"), archive);
            }
            if (kind == QLatin1String("gone") && site.state() == QProcess::NotRunning) {
                site.start();
                site.waitForStarted();
            }
            ::umount(QFile::encodeName(apps.path()).constData());
            QFile::setPermissions(apps.path(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        });
        if (kind == QLatin1String("404"))
            QVERIFY(QFile::rename(archive, archive + QStringLiteral(".away")));
        if (kind == QLatin1String("gone")) {
            site.kill();
            site.waitForFinished();
        }
        if (kind == QLatin1String("unsigned"))
            QVERIFY(QFile::remove(apps.filePath(QStringLiteral("Parlotta.app/manifest.sig"))));
        if (kind == QLatin1String("read-only")) {
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
        QVERIFY(press(QStringLiteral("Install Update")));
        const bool downloaded = title == QLatin1String("Update Failed");
        const QString siteSentence =
            downloaded ? QStringLiteral("  You can also download the latest version from https://")
                       : QString();
        QVERIFY2(waitUntil(
                     [&] {
                         const QString tree = accessibleTree();
                         return tree.contains(u'\t' + title) && tree.contains(u'\t' + text) &&
                                tree.contains(siteSentence);
                     },
                     15000),
                 qPrintable(accessibleTree()));
        screenshot(QStringLiteral("root"), QStringLiteral("update-refused-") + kind);
        QVERIFY(press(QStringLiteral("OK")));
        QCOMPARE(snapshot(apps.path()), before);
        QVERIFY(daemon.isRunning());
        QCOMPARE(daemon.logMessages().contains(QStringLiteral("Downloading update...")),
                 downloaded);
        if (downloaded)
            QVERIFY(daemon.logMessages().filter(QStringLiteral("Update failed: ")).size() == 1);
    }
};

QTEST_GUILESS_MAIN(TestUpdate)
#include "tst_update.moc"

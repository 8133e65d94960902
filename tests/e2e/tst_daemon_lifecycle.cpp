#include "daemon_process.h"
#include "desktop_helpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString runtimeDir = u"/tmp/parlotta"_s;
const QString readyLine = QStringLiteral("Daemon ready \u2014 hotkey: Right Alt, also accepting "
                                         "SIGUSR1 (start) / SIGUSR2 (stop+transcribe)");

// Puts back an ordinary /tmp/parlotta after a test that hijacked it.
void resetRuntimeDir()
{
    QFileInfo info(runtimeDir);
    if (info.isSymLink() || (info.exists() && !info.isDir()))
        QFile::remove(runtimeDir);
    else if (info.isDir() && info.ownerId() != geteuid())
        QDir(runtimeDir).removeRecursively();
}

} // namespace

class TestDaemonLifecycle : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void init()
    {
        resetRuntimeDir();
    }
    void cleanup()
    {
        resetRuntimeDir();
    }

    void freshStartThenOrderlyShutdown()
    {
        DaemonProcess daemon;
        QVERIFY(daemon.start());
        const QStringList lines = daemon.logMessages();
        QCOMPARE(lines.value(0), u"=== Parlotta daemon starting (PID:%1) ==="_s.arg(daemon.pid()));
        QVERIFY(lines.contains(readyLine));
        // The backends chosen for this session, named once.
        QCOMPARE(lines.mid(1, 3), (QStringList{"Key listener: X11 (XInput2)", "Paste: XTest",
                                               "Clipboard: X11 selections"}));
        QCOMPARE(readFile(runtimeDir + u"/helper-pid"_s), QByteArray::number(daemon.pid()));
        QCOMPARE(QFileInfo(runtimeDir).permissions() & 0x0077, QFileDevice::Permissions());

        // A fresh account registers the login item once and remembers it.
        QVERIFY(daemon.waitForMessage(u"Open at login enabled"_s));
        QTRY_VERIFY(readFile(daemon.preferencesPath()).contains("login-item-configured=true"));
        QVERIFY(readFile(daemon.configHome() + u"/autostart/parlotta.desktop"_s)
                    .contains("Exec=" PARLOTTA_BINARY));
        // The portals and KWin know the daemon only by an installed application entry.
        if (!QFile::exists(u"/usr/share/applications/com.parlotta.app.desktop"_s))
            QVERIFY(
                readFile(daemon.home() + u"/.local/share/applications/com.parlotta.app.desktop"_s)
                    .contains("\nExec=" PARLOTTA_BINARY "\n"));

        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
        QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
        QCOMPARE(daemon.exitCode(), 0);
        QCOMPARE(daemon.logMessages().last(), u"Daemon shutting down"_s);
        QVERIFY(!QFile::exists(runtimeDir + u"/helper-pid"_s));
        QVERIFY(QFile::exists(runtimeDir + u"/helper.log"_s));

        // The user turned "open at login" off in between: it stays off. The log starts afresh.
        QVERIFY(QFile::remove(daemon.configHome() + u"/autostart/parlotta.desktop"_s));
        const qint64 firstPid = daemon.pid();
        QVERIFY(daemon.start());
        QVERIFY(!DaemonProcess::logBytes().contains(QByteArray::number(firstPid)));
        QVERIFY(!daemon.logMessages().contains(u"Open at login enabled"_s));
        QVERIFY(!QFile::exists(daemon.configHome() + u"/autostart/parlotta.desktop"_s));
    }

    // A second daemon of the same user touches nothing of the first; one that
    // died without shutdown (SIGINT) blocks no later start.
    void oneDaemonPerUser()
    {
        DaemonProcess first;
        first.installModel(u"hello"_s);
        QVERIFY(first.start());
        QVERIFY(waitForWhisperServer());
        const QByteArray log = DaemonProcess::logBytes();
        const QByteArray serverPid = readFile(u"/tmp/parlotta/server-pid"_s);

        // Started again, it asks the running one to show its settings window;
        // where that one cannot be reached, it says why it does not start.
        DaemonProcess unreachable;
        unreachable.setEnvironment(u"DBUS_SESSION_BUS_ADDRESS"_s, u"unix:path=/nonexistent"_s);
        QVERIFY(unreachable.runToExit());
        QCOMPARE(unreachable.exitCode(), 1);
        QCOMPARE(unreachable.standardError(),
                 QStringLiteral("parlotta: another Parlotta daemon is already running (PID %1); "
                                "not starting a second one\n")
                     .arg(first.pid())
                     .toUtf8());
        QVERIFY(windowNamed(u"Settings"_s).isEmpty());
        DaemonProcess second;
        QVERIFY(second.runToExit());
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QCOMPARE(second.standardOutput(),
                 "Parlotta is already running; showing its settings window\n"_ba);
        QTRY_VERIFY_WITH_TIMEOUT(!windowNamed(u"Settings"_s).isEmpty(), 5000);
        // The window it shows may log (the model list); no second daemon does.
        QVERIFY(DaemonProcess::logBytes().startsWith(log));
        QCOMPARE(DaemonProcess::logBytes().count("daemon starting"), 1);
        QCOMPARE(readFile(u"/tmp/parlotta/helper-pid"_s), QByteArray::number(first.pid()));
        QCOMPARE(readFile(u"/tmp/parlotta/server-pid"_s), serverPid);
        QVERIFY(::kill(pid_t(serverPid.toLongLong()), 0) == 0);

        first.sendSignal(SIGINT);
        QVERIFY(first.waitForExit());
        QCOMPARE(first.exitStatus(), QProcess::CrashExit);
        QVERIFY(!first.logMessages().contains(u"Daemon shutting down"_s));
        DaemonProcess third;
        QVERIFY(third.start());
    }

    void refusedStartup_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("says");
        QTest::newRow("log cannot be written") << u"log"_s << u"helper.log"_s;
        QTest::newRow("runtime folder a symlink elsewhere") << u"symlink"_s << u"/tmp/parlotta"_s;
        QTest::newRow("another user's runtime folder") << u"owner"_s << u"/tmp/parlotta"_s;
    }

    // Each ends the start with a reason, and writes nothing where it should not.
    void refusedStartup()
    {
        QFETCH(QString, kind);
        QFETCH(QString, says);
        const bool symlink = kind == u"symlink"_s;
        if (kind == u"owner"_s && geteuid() != 0)
            QSKIP("making a directory owned by another user needs root");
        QDir(runtimeDir).removeRecursively();
        QTemporaryDir target;
        if (kind == u"log"_s) {
            QVERIFY(QDir().mkpath(runtimeDir + u"/helper.log"_s));
        } else if (symlink) {
            QVERIFY(QFile::link(target.path(), runtimeDir));
        } else {
            QVERIFY(QDir().mkdir(runtimeDir));
            QVERIFY(::chown(qPrintable(runtimeDir), 65534, 65534) == 0);
            QVERIFY(::chmod(qPrintable(runtimeDir), 0777) == 0);
        }
        const QString planted = symlink ? target.path() : runtimeDir;

        DaemonProcess daemon;
        daemon.setEnvironment(u"XDG_RUNTIME_DIR"_s, QString()); // no folder of its own to go to
        QVERIFY(daemon.runToExit());
        QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
        QVERIFY(daemon.exitCode() != 0);
        QVERIFY2(daemon.standardError().contains(says.toUtf8()),
                 daemon.standardError().constData());
        // Nothing was written through the hijacker's path; no daemon is claimed.
        if (kind != u"log"_s)
            QCOMPARE(
                QDir(planted).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                QStringList());
        QVERIFY(!QFile::exists(runtimeDir + u"/helper-pid"_s));
        if (kind == u"owner"_s) {
            struct stat st {};
            QCOMPARE(::stat(qPrintable(runtimeDir), &st), 0);
            QCOMPARE(st.st_mode & 07777, 0777u);
            QCOMPARE(st.st_uid, 65534u);
        }
        QDir(runtimeDir + u"/helper.log"_s).removeRecursively();
    }

    // Another account took /tmp/parlotta first and named a process of ours in
    // its helper-pid: the daemon keeps its files in the user's own runtime
    // folder, and the commands the compositors' key bindings run reach it over
    // the session bus, whatever lies in /tmp.
    void runtimeFolderTakenByAnother()
    {
        if (geteuid() != 0)
            QSKIP("making a directory owned by another user needs root");
        const auto command = [](const QString &option) {
            QProcess client;
            client.start(QStringLiteral(PARLOTTA_BINARY), {option});
            client.waitForFinished(10000);
            return client.exitCode() == 0 ? QByteArray() : client.readAllStandardError();
        };
        QCOMPARE(command(u"--start"_s),
                 "parlotta: no running Parlotta daemon answers on the session bus\n"_ba);
        QCOMPARE(command(u"--stat"_s),
                 "parlotta: unknown option --stat (the options are "
                 "--start, --stop, --toggle, --cancel, --press and --release)\n"_ba);
        QDir(runtimeDir).removeRecursively();
        QVERIFY(QDir().mkdir(runtimeDir));
        QProcess victim;
        victim.start(u"sleep"_s, {u"60"_s});
        QVERIFY(victim.waitForStarted());
        QFile planted(runtimeDir + u"/helper-pid"_s);
        QVERIFY(planted.open(QIODevice::WriteOnly));
        planted.write(QByteArray::number(victim.processId()));
        planted.close();
        QVERIFY(::chown(qPrintable(runtimeDir), 65534, 65534) == 0);
        QVERIFY(::chmod(qPrintable(runtimeDir), 0755) == 0);
        QTemporaryDir own;
        DaemonProcess daemon;
        daemon.setEnvironment(u"XDG_RUNTIME_DIR"_s, own.path());
        QVERIFY(daemon.start());
        QVERIFY(daemon.logMessages().contains(
            u"ERROR: /tmp/parlotta belongs to another user; refusing to use it; the runtime "
            "files are in %1/parlotta instead"_s.arg(own.path())));
        QCOMPARE(readFile(own.path() + u"/parlotta/helper-pid"_s),
                 QByteArray::number(daemon.pid()));
        for (const QString &option : {u"--toggle"_s, u"--cancel"_s, u"--start"_s, u"--stop"_s})
            QCOMPARE(command(option), QByteArray());
        QVERIFY(daemon.waitForMessage(
            u"Recording stopped, file: %1/parlotta/recording.wav"_s.arg(own.path())));
        const QStringList lines = daemon.logMessages();
        for (const QString &line : {u"Received parlotta --toggle \u2192 start recording"_s,
                                    u"Received parlotta --cancel \u2192 cancel recording"_s,
                                    u"Received parlotta --start \u2192 start recording"_s,
                                    u"Received parlotta --stop \u2192 stop + transcribe"_s})
            QVERIFY2(lines.contains(line), qPrintable(line));
        QCOMPARE(victim.state(), QProcess::Running);
        QCOMPARE(QDir(runtimeDir).entryList(QDir::Files), QStringList{u"helper-pid"_s});
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
        victim.kill();
        victim.waitForFinished();
        resetRuntimeDir();
    }
};

QTEST_GUILESS_MAIN(TestDaemonLifecycle)
#include "tst_daemon_lifecycle.moc"

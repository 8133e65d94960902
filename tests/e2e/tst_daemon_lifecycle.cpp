#include "daemon_process.h"
#include "desktop_helpers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString runtimeDir = QStringLiteral("/tmp/parlotta");
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
        QCOMPARE(lines.value(0),
                 QStringLiteral("=== Parlotta daemon starting (PID:%1) ===").arg(daemon.pid()));
        QVERIFY(lines.contains(readyLine));
        QCOMPARE(readFile(runtimeDir + QStringLiteral("/helper-pid")),
                 QByteArray::number(daemon.pid()));
        QCOMPARE(QFileInfo(runtimeDir).permissions() & 0x0077, QFileDevice::Permissions());

        // A fresh account registers the login item once and remembers it.
        QVERIFY(daemon.waitForMessage(QStringLiteral("Open at login enabled")));
        QTRY_VERIFY(readFile(daemon.preferencesPath()).contains("login-item-configured=true"));
        QVERIFY(readFile(daemon.configHome() + QStringLiteral("/autostart/parlotta.desktop"))
                    .contains("Exec=" PARLOTTA_BINARY));

        // Every line is "YYYY-MM-DD HH:MM:SS +0000: message".
        const QRegularExpression format(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\+0000: .*$"));
        for (const QByteArray &line : DaemonProcess::logBytes().split('\n'))
            QVERIFY2(line.isEmpty() || format.match(QString::fromUtf8(line)).hasMatch(),
                     line.constData());

        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
        QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
        QCOMPARE(daemon.exitCode(), 0);
        QCOMPARE(daemon.logMessages().last(), QStringLiteral("Daemon shutting down"));
        QVERIFY(!QFile::exists(runtimeDir + QStringLiteral("/helper-pid")));
        QVERIFY(QFile::exists(runtimeDir + QStringLiteral("/helper.log")));
    }

    void secondStartEmptiesLogAndRegistersOnlyOnce()
    {
        DaemonProcess daemon;
        QVERIFY(daemon.start());
        const qint64 firstPid = daemon.pid();
        daemon.sendSignal(SIGTERM);
        QVERIFY(daemon.waitForExit());
        // The user turned "open at login" off in between: it stays off.
        QVERIFY(QFile::remove(daemon.configHome() + QStringLiteral("/autostart/parlotta.desktop")));

        QVERIFY(daemon.start());
        const QByteArray log = DaemonProcess::logBytes();
        QVERIFY(!log.contains(QByteArray::number(firstPid)));
        QVERIFY(!daemon.logMessages().contains(QStringLiteral("Open at login enabled")));
        QVERIFY(
            !QFile::exists(daemon.configHome() + QStringLiteral("/autostart/parlotta.desktop")));
    }

    // A second daemon of the same user touches nothing of the first; one that
    // died without shutdown (SIGINT) blocks no later start.
    void oneDaemonPerUser()
    {
        DaemonProcess first;
        first.installModel(QStringLiteral("hello"));
        QVERIFY(first.start());
        QVERIFY(waitForWhisperServer());
        const QByteArray log = DaemonProcess::logBytes();
        const QByteArray serverPid = readFile(QStringLiteral("/tmp/parlotta/server-pid"));

        DaemonProcess second;
        QVERIFY(second.runToExit());
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 1);
        QCOMPARE(second.standardError(),
                 QStringLiteral("parlotta: another Parlotta daemon is already running (PID %1); "
                                "not starting a second one\n")
                     .arg(first.pid())
                     .toUtf8());
        QCOMPARE(DaemonProcess::logBytes(), log);
        QCOMPARE(readFile(QStringLiteral("/tmp/parlotta/helper-pid")),
                 QByteArray::number(first.pid()));
        QCOMPARE(readFile(QStringLiteral("/tmp/parlotta/server-pid")), serverPid);
        QVERIFY(::kill(pid_t(serverPid.toLongLong()), 0) == 0);

        first.sendSignal(SIGINT);
        QVERIFY(first.waitForExit());
        QCOMPARE(first.exitStatus(), QProcess::CrashExit);
        QVERIFY(!first.logMessages().contains(QStringLiteral("Daemon shutting down")));
        DaemonProcess third;
        QVERIFY(third.start());
    }

    void storedHotkeyNamesTheReadyLine_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<QString>("name");
        QTest::newRow("no hotkey") << QByteArray("hotkey=-1\n") << "None";
        QTest::newRow("key named by the layout") << QByteArray("hotkey=0\n") << "A";
        QTest::newRow("key without a counterpart") << QByteArray("hotkey=300\n") << "J";
        QTest::newRow("combo") << QByteArray("hotkey=122\nhotkey-modifiers=1310720\n")
                               << "Ctrl+Super+F1";
        QTest::newRow("hand-edited text")
            << QByteArray("hotkey=abc\nhotkey-modifiers=zz\nshow-language=maybe\n"
                          "language=a,b\nlogin-item-configured=2\n")
            << "None";
        // A value the store cannot decode at all reads as no value.
        QTest::newRow("undecodable value")
            << QByteArray("hotkey=@Variant(\\0\\0\\0\\x7f\\0\\0\\0\\x1)\n") << "Right Alt";
    }

    void storedHotkeyNamesTheReadyLine()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, name);
        DaemonProcess daemon;
        daemon.writePreferences("[General]\n" + ini);
        QVERIFY(daemon.start());
        QVERIFY(daemon.logMessages().contains(
            QStringLiteral("Daemon ready \u2014 hotkey: %1, also accepting SIGUSR1 (start) / "
                           "SIGUSR2 (stop+transcribe)")
                .arg(name)));
    }

    void garbagePidFileIsReplaced()
    {
        QDir().mkpath(runtimeDir);
        QFile pid(runtimeDir + QStringLiteral("/helper-pid"));
        QVERIFY(pid.open(QIODevice::WriteOnly | QIODevice::Truncate));
        pid.write("not a pid\n\n99999999999");
        pid.close();
        DaemonProcess daemon;
        QVERIFY(daemon.start());
        QCOMPARE(readFile(pid.fileName()), QByteArray::number(daemon.pid()));
    }

    void unwritableLogStopsStartup()
    {
        QDir().mkpath(runtimeDir);
        QFile::remove(runtimeDir + QStringLiteral("/helper.log"));
        QFile::remove(runtimeDir + QStringLiteral("/helper-pid"));
        QVERIFY(QDir().mkdir(runtimeDir + QStringLiteral("/helper.log")));
        DaemonProcess daemon;
        QVERIFY(daemon.runToExit());
        QDir(runtimeDir + QStringLiteral("/helper.log")).removeRecursively();
        QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
        QVERIFY(daemon.exitCode() != 0);
        QVERIFY2(daemon.standardError().contains("helper.log"), daemon.standardError().constData());
        QVERIFY(!QFile::exists(runtimeDir + QStringLiteral("/helper-pid")));
    }

    void hijackedRuntimeDirIsRefused_data()
    {
        QTest::addColumn<bool>("symlink");
        QTest::newRow("symlink to another directory") << true;
        QTest::newRow("another user's directory") << false;
    }

    void hijackedRuntimeDirIsRefused()
    {
        QFETCH(bool, symlink);
        if (!symlink && geteuid() != 0)
            QSKIP("making a directory owned by another user needs root");
        QDir(runtimeDir).removeRecursively();
        QTemporaryDir target;
        if (symlink) {
            QVERIFY(QFile::link(target.path(), runtimeDir));
        } else {
            QVERIFY(QDir().mkdir(runtimeDir));
            QVERIFY(::chown(qPrintable(runtimeDir), 65534, 65534) == 0);
            QVERIFY(::chmod(qPrintable(runtimeDir), 0777) == 0);
        }
        const QString planted = symlink ? target.path() : runtimeDir;

        DaemonProcess daemon;
        QVERIFY(daemon.runToExit());
        QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
        QVERIFY(daemon.exitCode() != 0);
        QVERIFY2(daemon.standardError().contains("/tmp/parlotta"),
                 daemon.standardError().constData());
        // Nothing was written through the hijacker's path, and it was not touched.
        QCOMPARE(QDir(planted).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
        if (!symlink) {
            struct stat st {};
            QCOMPARE(::stat(qPrintable(runtimeDir), &st), 0);
            QCOMPARE(st.st_mode & 07777, 0777u);
            QCOMPARE(st.st_uid, 65534u);
        }
    }
};

QTEST_GUILESS_MAIN(TestDaemonLifecycle)
#include "tst_daemon_lifecycle.moc"

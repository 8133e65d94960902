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
        // The backends chosen for this session, named once.
        QCOMPARE(lines.mid(1, 3), (QStringList{"Key listener: X11 (XInput2)", "Paste: XTest",
                                               "Clipboard: X11 selections"}));
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

        // The user turned "open at login" off in between: it stays off. The log starts afresh.
        QVERIFY(QFile::remove(daemon.configHome() + QStringLiteral("/autostart/parlotta.desktop")));
        const qint64 firstPid = daemon.pid();
        QVERIFY(daemon.start());
        QVERIFY(!DaemonProcess::logBytes().contains(QByteArray::number(firstPid)));
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

    void refusedStartup_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("says");
        QTest::newRow("log cannot be written") << "log"
                                               << "helper.log";
        QTest::newRow("runtime folder a symlink elsewhere") << "symlink"
                                                            << "/tmp/parlotta";
        QTest::newRow("another user's runtime folder") << "owner"
                                                       << "/tmp/parlotta";
    }

    // Each ends the start with a reason, and writes nothing where it should not.
    void refusedStartup()
    {
        QFETCH(QString, kind);
        QFETCH(QString, says);
        const bool symlink = kind == QLatin1String("symlink");
        if (kind == QLatin1String("owner") && geteuid() != 0)
            QSKIP("making a directory owned by another user needs root");
        QDir(runtimeDir).removeRecursively();
        QTemporaryDir target;
        if (kind == QLatin1String("log")) {
            QVERIFY(QDir().mkpath(runtimeDir + QStringLiteral("/helper.log")));
        } else if (symlink) {
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
        QVERIFY2(daemon.standardError().contains(says.toUtf8()),
                 daemon.standardError().constData());
        // Nothing was written through the hijacker's path; no daemon is claimed.
        if (kind != QLatin1String("log"))
            QCOMPARE(
                QDir(planted).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                QStringList());
        QVERIFY(!QFile::exists(runtimeDir + QStringLiteral("/helper-pid")));
        if (kind == QLatin1String("owner")) {
            struct stat st {};
            QCOMPARE(::stat(qPrintable(runtimeDir), &st), 0);
            QCOMPARE(st.st_mode & 07777, 0777u);
            QCOMPARE(st.st_uid, 65534u);
        }
        QDir(runtimeDir + QStringLiteral("/helper.log")).removeRecursively();
    }
};

QTEST_GUILESS_MAIN(TestDaemonLifecycle)
#include "tst_daemon_lifecycle.moc"

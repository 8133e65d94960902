// tools/build-whisper-server.sh as the README's first command runs it: a
// tarball it must refuse, an interrupted build, and a second run that builds nothing.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <unistd.h>

class TestBuildWhisperServer : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void outcomes_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("says");
        QTest::newRow("tarball with another checksum") << "tarball" << 1 << "SHA-512";
        QTest::newRow("interrupted build") << "interrupt" << 130 << "interrupted";
        QTest::newRow("pinned release already built") << "built" << 0 << "";
    }

    void outcomes()
    {
        QFETCH(QString, kind);
        QFETCH(int, status);
        QFETCH(QString, says);
        QTemporaryDir scratch;
        QString cache = scratch.filePath(QStringLiteral("cache"));
        const QString output = scratch.filePath(QStringLiteral("bin/whisper-server"));
        QStringList args;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("PARLOTTA_WHISPER_SOURCE"));
        env.remove(QStringLiteral("PARLOTTA_WHISPER_TARBALL"));
        if (kind == QLatin1String("tarball")) {
            // A real gzipped tar, just not the pinned one.
            QFile::copy(QStringLiteral(BUILD_SCRIPT), scratch.filePath(QStringLiteral("x")));
            QVERIFY(QProcess::execute(QStringLiteral("tar"),
                                      {QStringLiteral("-czf"),
                                       scratch.filePath(QStringLiteral("nodejs-whisper-0.3.1.tgz")),
                                       QStringLiteral("-C"), scratch.path(),
                                       QStringLiteral("x")}) == 0);
            env.insert(QStringLiteral("PARLOTTA_WHISPER_TARBALL"),
                       scratch.filePath(QStringLiteral("nodejs-whisper-0.3.1.tgz")));
        } else if (kind == QLatin1String("interrupt")) {
            args << QStringLiteral(WHISPER_SOURCE);
        } else {
            cache = QStringLiteral(WHISPER_CACHE);
        }

        QProcess build;
        build.setProcessEnvironment(env);
        // A group of its own, so that SIGINT reaches the build as Control+C does.
        build.setChildProcessModifier([] { ::setpgid(0, 0); });
        build.start(QStringLiteral(BUILD_SCRIPT), QStringList{cache, output} + args);
        QVERIFY(build.waitForStarted());
        if (kind == QLatin1String("interrupt")) {
            const QString log = cache + QStringLiteral("/build.log");
            QTRY_VERIFY_WITH_TIMEOUT(
                [&] {
                    QFile file(log);
                    return file.open(QIODevice::ReadOnly) &&
                           file.readAll().contains("] Building"); // compiling
                }(),
                120000);
            ::kill(-pid_t(build.processId()), SIGINT);
        }
        QVERIFY(build.waitForFinished(kind == QLatin1String("built") ? 60000 : 180000));
        const QString errors = QString::fromUtf8(build.readAllStandardError());
        QCOMPARE(build.exitCode(), status);
        if (status == 0) {
            QVERIFY2(errors.isEmpty(), qPrintable(errors));
            QVERIFY(build.readAllStandardOutput().isEmpty()); // nothing was built
            QVERIFY(QFileInfo(output).isExecutable());
            return;
        }
        QCOMPARE(errors.count(u'\n'), 1);
        QVERIFY2(errors.startsWith(QLatin1String("parlotta: ")) && errors.contains(says),
                 qPrintable(errors));
        QVERIFY(!QFile::exists(output));
        QCOMPARE(QDir(QFileInfo(output).path()).entryList(QDir::Files), QStringList());
    }
};

QTEST_APPLESS_MAIN(TestBuildWhisperServer)
#include "tst_build_whisper_server.moc"

#include "core/log.h"
#include "core/runtime_files.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

using namespace parlotta;

namespace {
// The test's own runtime directory: never a running daemon's log.
QTemporaryDir runtime;
QString testDir()
{
    return runtime.filePath(u"parlotta"_s);
}
QString testLog()
{
    return testDir() + u"/helper.log"_s;
}
} // namespace

class TestLog : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void lineFormat_data()
    {
        QTest::addColumn<qint64>("when");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("line");

        QTest::newRow("epoch") << qint64(0) << u"plain"_s
                               << QByteArray("1970-01-01 00:00:00 +0000: plain\n");
        QTest::newRow("leap day, last second")
            << qint64(951868799) << u"x"_s << QByteArray("2000-02-29 23:59:59 +0000: x\n");
        QTest::newRow("arrow as UTF-8")
            << qint64(0) << u"Received SIGHUP \u2192 reloading model"_s
            << QByteArray(
                   "1970-01-01 00:00:00 +0000: Received SIGHUP \xe2\x86\x92 reloading model\n");
    }

    void lineFormat()
    {
        QFETCH(qint64, when);
        QFETCH(QString, message);
        QFETCH(QByteArray, line);
        // The user's time zone must not show through.
        qputenv("TZ", "Asia/Kolkata");
        tzset();
        QCOMPARE(formatLogLine(std::time_t(when), message), line);
    }

    void linesFromManyThreadsNeverInterleave()
    {
        QString error;
        QVERIFY2(prepareRuntimeDir(testDir(), &error) && openLog(testLog(), &error),
                 qPrintable(error));
        constexpr int threads = 8;
        constexpr int linesEach = 400;
        constexpr int length = 3000; // far past any stdio or pipe buffer boundary
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t)
            writers.emplace_back([t] {
                const QString message(length, QChar(u'a' + t));
                for (int i = 0; i < linesEach; ++i)
                    log(message);
            });
        for (auto &w : writers)
            w.join();
        closeLog();

        QFile file(testLog());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.takeLast(), QByteArray()); // the file ends with a line feed
        QCOMPARE(lines.size(), threads * linesEach);
        for (const QByteArray &line : lines) {
            const QByteArray message = line.mid(27);
            QCOMPARE(message.size(), length);
            QCOMPARE(message.count(message.at(0)), length);
        }
    }

    void symlinkInPlaceOfLogIsReplacedNotFollowed()
    {
        QString error;
        QVERIFY2(prepareRuntimeDir(testDir(), &error), qPrintable(error));
        QFile victim(testDir() + u"/victim.txt"_s);
        QVERIFY(victim.open(QIODevice::WriteOnly));
        victim.write("keep me");
        victim.close();
        QFile::remove(testLog());
        QVERIFY(QFile::link(victim.fileName(), testLog()));

        QVERIFY2(openLog(testLog(), &error), qPrintable(error));
        log(u"hello"_s);
        closeLog();

        QVERIFY(!QFileInfo(testLog()).isSymLink());
        QVERIFY(victim.open(QIODevice::ReadOnly));
        QCOMPARE(victim.readAll(), "keep me"_ba);
        victim.remove();
    }
};

QTEST_APPLESS_MAIN(TestLog)
#include "tst_log.moc"
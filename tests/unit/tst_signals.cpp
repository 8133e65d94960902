#include "core/daemon.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>
#include <QThread>
#include <csignal>
#include <thread>
#include <unistd.h>

using namespace parlotta;

namespace {

QStringList calls;
bool allOnMainThread = true;

void record(const QString &name)
{
    calls << name;
    allOnMainThread = allOnMainThread && QThread::currentThread() == qApp->thread();
}

} // namespace

void parlotta::onStartSignal()
{
    record(QStringLiteral("start"));
}
void parlotta::onStopSignal()
{
    record(QStringLiteral("stop"));
}
void parlotta::onReloadSignal()
{
    record(QStringLiteral("reload"));
}
void parlotta::onShutdown() {}

class TestSignals : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(installSignalHandlers(&error), qPrintable(error));
    }

    void handlersRunOnMainThread_data()
    {
        QTest::addColumn<int>("sig");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("SIGUSR1") << int(SIGUSR1) << QStringList{"start"};
        QTest::newRow("SIGUSR2") << int(SIGUSR2) << QStringList{"stop"};
        QTest::newRow("SIGHUP") << int(SIGHUP) << QStringList{"reload"};
    }

    void handlersRunOnMainThread()
    {
        QFETCH(int, sig);
        calls.clear();
        // Sent from another thread, which has the signals blocked like every thread.
        std::thread([sig] { ::kill(getpid(), sig); }).join();
        QFETCH(QStringList, expected);
        QTRY_COMPARE(calls, expected);
        QVERIFY(allOnMainThread);
    }

    void childrenStartWithDefaultSignals()
    {
        QProcess child;
        child.setChildProcessModifier([] { resetSignalsInChild(); });
        child.start(QStringLiteral("/bin/cat"), {QStringLiteral("/proc/self/status")});
        QVERIFY(child.waitForFinished(5000));
        const QByteArray status = child.readAllStandardOutput();
        const quint64 mask = (1ull << (SIGUSR1 - 1)) | (1ull << (SIGUSR2 - 1)) |
                             (1ull << (SIGTERM - 1)) | (1ull << (SIGHUP - 1));
        for (const QByteArray &line : status.split('\n')) {
            if (line.startsWith("SigBlk:") || line.startsWith("SigIgn:")) {
                const quint64 bits = line.mid(7).trimmed().toULongLong(nullptr, 16);
                QCOMPARE(bits & mask, 0ull);
            }
        }
    }
};

int main(int argc, char *argv[])
{
    blockControlSignals();
    QCoreApplication app(argc, argv);
    TestSignals test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_signals.moc"

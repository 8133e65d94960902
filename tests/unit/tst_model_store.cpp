#include "core/events.h"
#include "core/log.h"
#include "core/runtime_files.h"
#include "models/model_store.h"
#include "test_helpers.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <thread>
#include <unistd.h>

using namespace parlotta;

namespace {
// The test's own runtime directory and log: never a running daemon's.
QTemporaryDir runtime;
QString testLog()
{
    return runtime.filePath(u"parlotta/helper.log"_s);
}
} // namespace

class TestModelStore : public QObject {
    Q_OBJECT

    static QByteArray linkTarget(const QString &path)
    {
        char target[4096];
        const ssize_t n = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
        return n > 0 ? QByteArray(target, n) : QByteArray();
    }

    static QStringList logMessages()
    {
        return logMessagesIn(testLog());
    }

  private Q_SLOTS:
    void initTestCase()
    {
        QString error;
        QVERIFY2(prepareRuntimeDir(runtime.filePath(u"parlotta"_s), &error) &&
                     openLog(testLog(), &error),
                 qPrintable(error));
    }

    void cleanupTestCase()
    {
        closeLog();
    }

    void init()
    {
        QDir(modelDir()).removeRecursively();
    }

    void activeModelReadsTheLink_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("name");
        QTest::newRow("model file") << u"/x/ggml-large-v3-turbo.bin"_s << u"large-v3-turbo"_s;
        QTest::newRow("deleted model file still names it") << u"/gone/ggml-base.bin"_s << u"base"_s;
        QTest::newRow("empty name") << u"/x/ggml-.bin"_s << u""_s;
        QTest::newRow("no prefix") << u"/x/model.bin"_s << u"(none)"_s;
        QTest::newRow("no suffix") << u"/x/ggml-base.gguf"_s << u"(none)"_s;
    }

    void activeModelReadsTheLink()
    {
        QFETCH(QString, target);
        QFETCH(QString, name);
        QDir().mkpath(modelDir());
        QVERIFY(QFile::link(target, currentModelLink()));
        QCOMPARE(activeModel().value_or(u"(none)"_s), name);
    }

    void activationIsAtomicAndAbsolute()
    {
        QDir().mkpath(modelDir());
        std::atomic<bool> stop{false};
        std::atomic<int> missing{0};
        QVERIFY(activateModel(u"tiny"_s));
        std::thread reader([&] {
            while (!stop)
                if (linkTarget(currentModelLink()).isEmpty())
                    ++missing;
        });
        QSignalSpy activations(&daemonEvents(), &DaemonEvents::modelActivated);
        for (int i = 0; i < 100; ++i)
            QVERIFY(activateModel(i % 2 ? u"base"_s : u"small"_s));
        stop = true;
        reader.join();
        QCOMPARE(missing.load(), 0);
        QCOMPARE(activations.count(), 100);
        QCOMPARE(linkTarget(currentModelLink()), QFile::encodeName(modelPath(u"base"_s)));
        QVERIFY(linkTarget(currentModelLink()).startsWith('/'));
        QCOMPARE(activeModel(), u"base"_s);
        QVERIFY(logMessages().contains(u"Model switched to base"_s));
    }

    void staleTemporaryLinkDoesNotBlock()
    {
        QDir().mkpath(modelDir());
        QVERIFY(QFile::link(u"/nowhere"_s, modelDir() + u"/.current.bin.tmp"_s));
        QVERIFY(activateModel(u"base"_s));
        QCOMPARE(activeModel(), u"base"_s);
    }

    void failedRenameLeavesThingsAsTheyWere()
    {
        QDir().mkpath(modelDir() + u"/current.bin/occupied"_s);
        QSignalSpy activations(&daemonEvents(), &DaemonEvents::modelActivated);
        QVERIFY(!activateModel(u"base"_s));
        QCOMPARE(activations.count(), 0);
        QVERIFY(QFileInfo(currentModelLink()).isDir());
        QCOMPARE(logMessages().last(), u"ERROR: could not activate model base: Is a directory"_s);
    }
};

int main(int argc, char *argv[])
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    TestModelStore test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_model_store.moc"

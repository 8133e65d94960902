// When a server that ended by itself is started again: each row is a run of
// endings and the waits (and notices) the supervisor is told to give.
#include "server/restart_policy.h"

#include "test_helpers.h"

#include <QTest>

using namespace parlotta;

class TestRestartPolicy : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void waits_data()
    {
        // Endings: q quick failure, g quick failure on the GPU, r ended after
        // running a while, R the user restarted (SIGHUP). Answers: seconds of
        // wait, "k" the waits grow from here, "c" on the CPU from here.
        QTest::addColumn<QString>("endings");
        QTest::addColumn<QString>("answers");
        QTest::newRow("a server that ran") << u"r r"_s << u"3 3"_s;
        QTest::newRow("quick failures double") << u"q q q q"_s << u"3 6k 12 24"_s;
        QTest::newRow("up to five minutes, and no further")
            << u"q q q q q q q q q"_s << u"3 6k 12 24 48 96 192 300 300"_s;
        QTest::newRow("a run between failures starts over") << u"q q r q"_s << u"3 6k 3 3"_s;
        QTest::newRow("SIGHUP starts over") << u"q q q R q"_s << u"3 6k 12 3"_s;
        QTest::newRow("GPU twice: the CPU gets its own first try")
            << u"g g q q"_s << u"3 3c 6k 12"_s;
        QTest::newRow("GPU failures must be in a row") << u"g q g"_s << u"3 6k 12"_s;
        QTest::newRow("once on the CPU the GPU no longer counts")
            << u"g g g g"_s << u"3 3c 6k 12"_s;
        QTest::newRow("SIGHUP gives the GPU another try") << u"g g R g g"_s << u"3 3c 3 3c"_s;
    }
    void waits()
    {
        QFETCH(QString, endings);
        QFETCH(QString, answers);
        RestartPolicy policy;
        QStringList got;
        for (const QString &ending : endings.split(u' ')) {
            if (ending == u"R") {
                policy.reset();
                QVERIFY(!policy.gpuDisabled());
                continue;
            }
            const auto decision = policy.serverEnded(ending != u"r", ending == u"g");
            got << QString::number(decision.delayMs / 1000) +
                       (decision.keepsFailing ? u"k"_s : QString()) +
                       (decision.toCpu ? u"c"_s : QString());
            if (decision.toCpu)
                QVERIFY(policy.gpuDisabled());
        }
        QCOMPARE(got.join(u' '), answers);
    }
};

QTEST_APPLESS_MAIN(TestRestartPolicy)
#include "tst_restart_policy.moc"

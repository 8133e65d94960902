// The update check against a release site on loopback that answers as a
// test row says: what the user is told, what is offered, and when.
#include "core/log.h"
#include "core/preferences.h"
#include "update/update_checker.h"

#include "test_helpers.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace parlotta;

namespace {

QTemporaryDir home;

QString logText()
{
    return logMessagesIn(home.filePath(QStringLiteral("helper.log"))).join(u'\n');
}

} // namespace

class TestUpdateChecker : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(openLog(home.filePath(QStringLiteral("helper.log")), nullptr));
    }

    void check_data()
    {
        QTest::addColumn<QByteArray>("body"); // empty: no site
        QTest::addColumn<QString>("local");   // empty: a development build
        QTest::addColumn<bool>("asked");      // the user chose "Check for Updates…"
        QTest::addColumn<QString>("told");    // "title: text" of the message; empty: none
        QTest::addColumn<QString>("offered"); // the version offered; empty: none
        QTest::addColumn<QString>("logged");  // the check's last log line

        const QString cant = QStringLiteral("Can't Check for Updates: ");
        QTest::newRow("same version")
            << QByteArray("1.0\n") << "1.0" << true
            << "You're up to date!: Parlotta 1.0 is currently the newest version available."
            << QString() << "Update check: local=1.0 remote=1.0";
        QTest::newRow("newer, asked") << QByteArray("2.0\n") << "1.0" << true << QString() << "2.0"
                                      << "Update check: local=1.0 remote=2.0";
        QTest::newRow("markup is a version like any other")
            << QByteArray("3.0<img src=x>") << "1.0" << false << QString() << "3.0<img src=x>"
            << "Update check: local=1.0 remote=3.0<img src=x>";
        QTest::newRow("over 64 KiB, newer if read whole")
            << QByteArray(70000, '9') << "1.0" << true << QString() << QString()
            << "Update check: invalid remote response";
        QTest::newRow("not UTF-8")
            << QByteArray("\xff\xfe"
                          "3.0")
            << "1.0" << true << QString() << QString() << "Update check: invalid remote response";
        QTest::newRow("site gone")
            << QByteArray() << "1.0" << true << cant + "Connection refused" << QString()
            << "Update check failed: Connection refused "
               "(QNetworkReply::NetworkError 1)";
        QTest::newRow("cut short after the headers")
            << QByteArray("cut") << "1.0" << true << cant + "Connection closed" << QString()
            << "Update check failed: Connection closed (QNetworkReply::NetworkError 2)";
        QTest::newRow("development build")
            << QByteArray("2.0\n") << QString() << true
            << cant + "No installed version found. This is probably a development build."
            << QString() << "Update check: no installed version";
    }
    void check()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, local);
        QFETCH(bool, asked);
        QFETCH(QString, told);
        QFETCH(QString, offered);
        QFETCH(QString, logged);
        removePreference(prefUpdateDismissed);
        QFile(home.filePath(QStringLiteral("helper.log"))).resize(0); // this row's lines only
        HttpStub site;
        site.reset = body == "cut";
        site.respond = [body](const QByteArray &) {
            return body == "cut" ? QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n1.")
                                 : HttpStub::ok(body);
        };
        UpdateChecker checker;
        checker.releaseSite = site.address();
        if (body.isEmpty())
            site.close();
        checker.localVersion = local.isEmpty() ? std::nullopt : std::optional(local);
        QSignalSpy messages(&checker, &UpdateChecker::message);
        QSignalSpy offers(&checker, &UpdateChecker::offerUpdate);
        checker.checkForUpdate(asked);
        QTRY_VERIFY(logText().endsWith(logged));
        QTest::qWait(50);
        QCOMPARE(messages.isEmpty()
                     ? QString()
                     : messages[0][0].toString() + QStringLiteral(": ") + messages[0][1].toString(),
                 told);
        QCOMPARE(offers.isEmpty() ? QString() : offers[0][0].toString(), offered);
        QCOMPARE(checker.updateAvailable.value_or(QString()), offered);
    }

    // An automatic check offers each newer version once; the menu keeps it,
    // and a check the user asks for offers it again.
    void offeredOnce()
    {
        removePreference(prefUpdateDismissed);
        HttpStub site;
        site.respond = [](const QByteArray &) { return HttpStub::ok("2.0\n"); };
        UpdateChecker checker;
        checker.releaseSite = site.address();
        checker.localVersion = QStringLiteral("1.0");
        QSignalSpy offers(&checker, &UpdateChecker::offerUpdate);
        for (const bool asked : {false, false, true}) {
            const qsizetype lines = logText().count(u'\n');
            checker.checkForUpdate(asked);
            QTRY_VERIFY(logText().count(u'\n') > lines);
            QTest::qWait(50);
            QCOMPARE(checker.updateAvailable, QStringLiteral("2.0"));
        }
        QCOMPARE(offers.size(), 2);
        QCOMPARE(preferenceValue(prefUpdateDismissed).toString(), QStringLiteral("2.0"));
    }

    // This test program is a development build: nothing is downloaded.
    void developmentBuildInstallsNothing()
    {
        UpdateChecker checker;
        QSignalSpy messages(&checker, &UpdateChecker::message);
        checker.performUpdate();
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0][0].toString(), QStringLiteral("Can't Install Updates"));
        QCOMPARE(messages[0][1].toString(),
                 QStringLiteral("This copy of Parlotta isn't a signed release. It's probably a "
                                "development build."));
        QVERIFY(!checker.isInstallingUpdate);
        QVERIFY(!logText().contains("Downloading update..."));
    }
};

int main(int argc, char *argv[])
{
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit()); // a fresh account
    QCoreApplication app(argc, argv);
    TestUpdateChecker test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_update_checker.moc"

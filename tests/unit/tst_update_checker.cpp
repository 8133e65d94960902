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
    return logMessagesIn(home.filePath(u"helper.log"_s)).join(u'\n');
}

// A signed copy of this version, as its manifest tells.
std::optional<Manifest> runningCopy(const QString &version)
{
    Manifest manifest;
    manifest.identifier = u"com.parlotta.app"_s;
    manifest.version = version;
    return manifest;
}

} // namespace

class TestUpdateChecker : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(openLog(home.filePath(u"helper.log"_s), nullptr));
    }

    void check_data()
    {
        QTest::addColumn<QByteArray>("body"); // empty: no site
        QTest::addColumn<QString>("local");   // empty: a development build
        QTest::addColumn<bool>("asked");      // the user chose "Check for Updates…"
        QTest::addColumn<QString>("told");    // "title: text" of the message; empty: none
        QTest::addColumn<QString>("offered"); // the version offered; empty: none
        QTest::addColumn<QString>("logged");  // the check's last log line

        const QString cant = u"Can't Check for Updates: "_s;
        QTest::newRow("same version")
            << QByteArray("1.0\n") << u"1.0"_s << true
            << u"You're up to date!: Parlotta 1.0 is currently the newest version available."_s
            << QString() << u"Update check: local=1.0 remote=1.0"_s;
        QTest::newRow("newer, asked") << QByteArray("2.0\n") << u"1.0"_s << true << QString()
                                      << u"2.0"_s << u"Update check: local=1.0 remote=2.0"_s;
        QTest::newRow("markup is a version like any other")
            << QByteArray("3.0<img src=x>") << u"1.0"_s << false << QString() << u"3.0<img src=x>"_s
            << u"Update check: local=1.0 remote=3.0<img src=x>"_s;
        QTest::newRow("over 64 KiB, newer if read whole")
            << QByteArray(70000, '9') << u"1.0"_s << true << QString() << QString()
            << u"Update check: invalid remote response"_s;
        QTest::newRow("not UTF-8") << QByteArray("\xff\xfe"
                                                 "3.0")
                                   << u"1.0"_s << true << QString() << QString()
                                   << u"Update check: invalid remote response"_s;
        QTest::newRow("site gone")
            << QByteArray() << u"1.0"_s << true << cant + u"Connection refused"_s << QString()
            << u"Update check failed: Connection refused "_s
               u"(QNetworkReply::NetworkError 1)"_s;
        QTest::newRow("cut short after the headers")
            << QByteArray("cut") << u"1.0"_s << true << cant + u"Connection closed"_s << QString()
            << u"Update check failed: Connection closed (QNetworkReply::NetworkError 2)"_s;
        QTest::newRow("development build")
            << QByteArray("2.0\n") << QString() << true
            << cant + u"No installed version found. This is probably a development build."_s
            << QString() << u"Update check: no installed version"_s;
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
        QFile(home.filePath(u"helper.log"_s)).resize(0); // this row's lines only
        HttpStub site;
        site.reset = body == "cut";
        site.respond = [body](const QByteArray &) {
            return body == "cut" ? "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n1."_ba
                                 : HttpStub::ok(body);
        };
        UpdateChecker checker(site.address(), local.isEmpty() ? std::nullopt : runningCopy(local),
                              home.path());
        if (body.isEmpty())
            site.close();
        QSignalSpy messages(&checker, &UpdateChecker::message);
        QSignalSpy offers(&checker, &UpdateChecker::offerUpdate);
        checker.checkForUpdate(asked);
        QTRY_VERIFY(logText().endsWith(logged));
        QTest::qWait(50);
        QCOMPARE(messages.isEmpty()
                     ? QString()
                     : messages[0][0].toString() + u": "_s + messages[0][1].toString(),
                 told);
        QCOMPARE(offers.isEmpty() ? QString() : offers[0][0].toString(), offered);
        QCOMPARE(checker.updateAvailable().value_or(QString()), offered);
    }

    // An automatic check offers each newer version once; the menu keeps it,
    // and a check the user asks for offers it again.
    void offeredOnce()
    {
        removePreference(prefUpdateDismissed);
        HttpStub site;
        site.respond = [](const QByteArray &) { return HttpStub::ok("2.0\n"); };
        UpdateChecker checker(site.address(), runningCopy(u"1.0"_s), home.path());
        QSignalSpy offers(&checker, &UpdateChecker::offerUpdate);
        for (const bool asked : {false, false, true}) {
            const qsizetype lines = logText().count(u'\n');
            checker.checkForUpdate(asked);
            QTRY_VERIFY(logText().count(u'\n') > lines);
            QTest::qWait(50);
            QCOMPARE(checker.updateAvailable(), u"2.0"_s);
        }
        QCOMPARE(offers.size(), 2);
        QCOMPARE(preferenceValue(prefUpdateDismissed).toString(), u"2.0"_s);
    }

    // An install that cannot go ahead says why before it downloads anything.
    void installRefused_data()
    {
        QTest::addColumn<bool>("signedAtStart");
        QTest::newRow("development build") << false;
        QTest::newRow("signature gone since start-up") << true;
    }
    void installRefused()
    {
        QFETCH(bool, signedAtStart);
        HttpStub site;
        int requests = 0;
        site.respond = [&](const QByteArray &) {
            ++requests;
            return HttpStub::ok("zip");
        };
        QTemporaryDir copy; // writable, and no manifest.sig in it
        UpdateChecker checker(site.address(), signedAtStart ? runningCopy(u"1.0"_s) : std::nullopt,
                              copy.path());
        QSignalSpy messages(&checker, &UpdateChecker::message);
        checker.performUpdate();
        QCOMPARE(messages.size(), 1);
        QCOMPARE(messages[0][0].toString(), u"Can't Install Updates"_s);
        QCOMPARE(
            messages[0][1].toString(),
            u"This copy of Parlotta isn't a signed release. It's probably a development build."_s);
        QVERIFY(!checker.isInstallingUpdate());
        QTest::qWait(50);
        QCOMPARE(requests, 0);
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

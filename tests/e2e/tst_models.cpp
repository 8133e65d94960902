#include "daemon_process.h"
#include "desktop_helpers.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int leftAlt = 64, keyM = 58;
const QMap<QString, int> letterKeys = {{"b", 56}, {"f", 41}, {"l", 46},
                                       {"m", 58}, {"s", 39}, {"t", 28}};

// Picks the model whose name starts with the letter: the list takes the
// keyboard (Alt+M), then the letter chooses, as keyboard users choose.
bool chooseModel(const QString &letter)
{
    return xkey(QStringLiteral("down"), {leftAlt}) && xkey(QStringLiteral("tap"), {keyM}) &&
           xkey(QStringLiteral("up"), {leftAlt}) &&
           xkey(QStringLiteral("tap"), {letterKeys.value(letter)});
}

// Presses the "Download Failed" sheet's OK once it shows, and waits for it to go.
bool dismissSheet()
{
    return waitUntil(
               [] {
                   return accessibleShowing(QStringLiteral("push button"), QStringLiteral("OK"));
               },
               5000) &&
           accessibleAction(QStringLiteral("press"), QStringLiteral("push button"),
                            QStringLiteral("OK")) &&
           waitUntil(
               [] {
                   return !accessibleShowing(QStringLiteral("push button"), QStringLiteral("OK"));
               },
               5000);
}

} // namespace

class TestModels : public QObject {
    Q_OBJECT

    QTemporaryDir hubDir;
    QProcess hub;
    QString hubAddress;

    void addFile(QJsonArray &listing, const QString &name, qint64 listedSize,
                 const QByteArray &how = {}, const QByteArray &sha = {})
    {
        QJsonObject entry{
            {"type", "file"}, {"path", "ggml-" + name + ".bin"}, {"size", listedSize}};
        if (!sha.isEmpty())
            entry.insert("lfs",
                         QJsonObject{{"oid", QString::fromLatin1(sha)}, {"size", listedSize}});
        listing.append(entry);
        if (how == "missing")
            return;
        const QString file = hubDir.path() + "/files/ggml-" + name + ".bin";
        QFile::link(fixtureModel(QStringLiteral("hello")), file);
        if (!how.isEmpty()) {
            QFile options(file + ".how");
            QVERIFY(options.open(QIODevice::WriteOnly));
            options.write(how);
        }
    }

  private Q_SLOTS:
    void initTestCase()
    {
        QDir().mkpath(hubDir.path() + "/files");
        QFile fixture(fixtureModel(QStringLiteral("hello")));
        QVERIFY(fixture.open(QIODevice::ReadOnly));
        QCryptographicHash sha(QCryptographicHash::Sha256);
        sha.addData(&fixture);
        const QByteArray good = sha.result().toHex();
        const qint64 size = fixture.size();
        // Listed sizes set the order: base, fast, medium, small, large-v3, tiny.
        QJsonArray listing{QJsonObject{{"type", "directory"}, {"path", "coreml"}}};
        addFile(listing, "base", 1 << 20, "missing");
        addFile(listing, "fast", 1 << 20, "ftp");
        addFile(listing, "medium", 2 << 20, "cut");
        addFile(listing, "small", 3 << 20, "slow");
        addFile(listing, "large-v3", 4 << 20, {}, QByteArray(64, 'a'));
        addFile(listing, "tiny", size, {}, good);
        QFile out(hubDir.path() + "/listing.json");
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(QJsonDocument(listing).toJson());
        out.close();
        hub.start(QStringLiteral(TEST_HUB), {hubDir.path()});
        QVERIFY(hub.waitForReadyRead(5000));
        hubAddress =
            "http://127.0.0.1:" + QString::fromLatin1(hub.readLine()).split(' ').value(1).trimmed();
    }

    void cleanup()
    {
        if (QTest::currentTestFailed())
            qInfo().noquote() << DaemonProcess::logBytes();
    }

    void cleanupTestCase()
    {
        xkey(QStringLiteral("up"), {leftAlt, keyM});
        hub.kill();
        hub.waitForFinished();
    }

    // A fresh account downloads its first model from the settings window that
    // opens by itself, after the failures a network can bring; then dictates.
    void firstModelFromTheHub()
    {
        PasteTarget target;
        DaemonProcess daemon;
        daemon.setEnvironment(QStringLiteral("HF_ENDPOINT"), hubAddress);
        daemon.setEnvironment(QStringLiteral("QT_LINUX_ACCESSIBILITY_ALWAYS_ON"),
                              QStringLiteral("1"));
        daemon.leaveModelChooserOpen();
        QVERIFY(target.start());
        QVERIFY(daemon.start());
        QTRY_VERIFY_WITH_TIMEOUT(!windowNamed(QStringLiteral("Settings")).isEmpty(), 10000);
        QTRY_VERIFY(
            accessibleShowing(QStringLiteral("combo box"), QStringLiteral("Choose a model…")));
        QTRY_VERIFY(accessibleShowing(
            QStringLiteral("label"),
            QStringLiteral("Choose a model to download. large-v3-turbo is a good start.")));
        const QString models = daemon.modelDir();

        // A turn of the wheel passing over the lists chooses nothing.
        for (const QString box : {"Model:", "Language:"}) {
            QVERIFY(accessibleAction(QStringLiteral("point"), QStringLiteral("combo box"), box));
            runTool(QStringLiteral("xdotool"), {"click", "--repeat", "3", "5"});
        }
        QTest::qWait(500);
        QVERIFY(
            daemon.logMessages().filter(QRegularExpression("^(Downloading|Language)")).isEmpty());
        QVERIFY(accessibleShowing(QStringLiteral("combo box"), QStringLiteral("Choose a model…")));

        // A redirect to another protocol is not followed.
        QVERIFY(chooseModel("f"));
        QVERIFY(
            daemon.waitForMessage(QStringLiteral("ERROR: model download failed: Protocol \"ftp\" "
                                                 "not supported or disabled in libcurl")));
        QVERIFY(dismissSheet());

        // 404: logged, shown in a sheet on the window, no file.
        QVERIFY(chooseModel("b"));
        QVERIFY(daemon.waitForMessage(
            QStringLiteral("ERROR: model download failed: The server responded with HTTP 404.")));
        QTRY_VERIFY(accessibleShowing(QStringLiteral("label"),
                                      QStringLiteral("The server responded with HTTP 404.")));
        screenshot(QStringLiteral("root"), QStringLiteral("models-download-failed"));
        QVERIFY(dismissSheet());

        // Cut short after the whole length was announced; then a wrong checksum.
        QVERIFY(chooseModel("m"));
        QVERIFY(waitUntil(
            [&] {
                return !daemon.logMessages()
                            .filter("ERROR: model download failed: ")
                            .mid(1)
                            .isEmpty();
            },
            20000));
        QVERIFY(dismissSheet());
        QVERIFY(chooseModel("l"));
        QVERIFY(daemon.waitForMessage(
            QStringLiteral("ERROR: model download failed: The downloaded file does not match the "
                           "checksum the model hub lists for it."),
            20000));
        QVERIFY(dismissSheet());
        QCOMPARE(QDir(models).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList());

        // Cancelled while the progress row shows: no file, no sheet.
        QVERIFY(chooseModel("s"));
        QTRY_VERIFY(
            accessibleShowing(QStringLiteral("progress bar"), QStringLiteral("Download progress")));
        screenshot(windowNamed(QStringLiteral("Settings")), QStringLiteral("models-downloading"));
        QVERIFY(accessibleAction(QStringLiteral("press"), QStringLiteral("push button"),
                                 QStringLiteral("Cancel download")));
        QVERIFY(daemon.waitForMessage(QStringLiteral("Download of model small cancelled")));
        QTRY_VERIFY(!accessibleShowing(QStringLiteral("progress bar"),
                                       QStringLiteral("Download progress")));
        QVERIFY(!accessibleShowing(QStringLiteral("push button"), QStringLiteral("OK")));
        QTRY_COMPARE(QDir(models).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList());

        // The real thing: downloaded, active, the server on it, a dictation.
        QVERIFY(chooseModel("t"));
        QVERIFY(daemon.waitForMessage(QStringLiteral("Model tiny downloaded"), 30000));
        QVERIFY(waitForWhisperServer());
        QCOMPARE(QFile::symLinkTarget(models + "/current.bin"), models + "/ggml-tiny.bin");
        QTRY_VERIFY(accessibleShowing(QStringLiteral("combo box"),
                                      QStringLiteral("tiny  74 MB · downloaded")));
        runTool(QStringLiteral("xdotool"),
                {"search", "--name", "^Paste Target$", "windowactivate", "--sync"});
        QVERIFY(daemon.dictate(makeSpeech(QStringLiteral("hello world")),
                               QStringLiteral("Pasted via XTest")));
        QTRY_COMPARE(target.text(), QStringLiteral("Hello world."));
    }
};

QTEST_GUILESS_MAIN(TestModels)
#include "tst_models.moc"

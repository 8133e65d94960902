#include "daemon_process.h"
#include "desktop_helpers.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr int leftAlt = 64, keyM = 58;
const QMap<QString, int> letterKeys = {{"b", 56}, {"f", 41}, {"l", 46}, {"m", 58},
                                       {"p", 33}, {"s", 39}, {"t", 28}};

// Picks the model whose name starts with the letter: the list takes the
// keyboard (Alt+M), then the letter chooses, as keyboard users choose.
bool chooseModel(const DaemonProcess &daemon, const QString &letter)
{
    // Keys typed the moment the window has the keyboard back are at times
    // lost; the user types them again when no download starts.
    const auto starts = [&] { return daemon.logMessages().filter(u"Downloading model "_s).size(); };
    const qsizetype before = starts();
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (!xkey(u"down"_s, {leftAlt}) || !xkey(u"tap"_s, {keyM}) || !xkey(u"up"_s, {leftAlt}) ||
            !xkey(u"tap"_s, {letterKeys.value(letter)}))
            return false;
        if (waitUntil([&] { return starts() > before; }, 3000))
            return true;
    }
    return false;
}

// Presses the "Download Failed" sheet's OK once it shows, and waits for it to
// go and for the settings window to have the keyboard again (keys typed before
// that reach another window).
bool dismissSheet()
{
    return waitUntil([] { return accessibleShowing(u"push button"_s, u"OK"_s); }, 5000) &&
           accessibleAction(u"press"_s, u"push button"_s, u"OK"_s) &&
           waitUntil([] { return !accessibleShowing(u"push button"_s, u"OK"_s); }, 5000) &&
           waitUntil(
               [] {
                   return runTool(u"xdotool"_s, {u"getactivewindow"_s}) ==
                          windowNamed(u"Settings"_s);
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
                 const QByteArray &how = {}, const QByteArray &sha = {},
                 const QString &fixture = u"hello"_s)
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
        QFile::link(fixtureModel(fixture), file);
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
        QFile fixture(fixtureModel(u"hello"_s));
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
        // The second repository: Parakeet's, its files beside whisper's.
        QJsonArray parakeet;
        addFile(parakeet, "parakeet-tdt-0.6b-v3-q8_0",
                QFileInfo(fixtureModel(u"parakeet-hello"_s)).size(), {}, {}, u"parakeet-hello"_s);
        parakeet.append(QJsonObject{{"type", "file"}, {"path", "ggml-tiny.bin"}, {"size", 1}});
        QFile second(hubDir.path() + "/listing-parakeet-GGUF.json");
        QVERIFY(second.open(QIODevice::WriteOnly));
        second.write(QJsonDocument(parakeet).toJson());
        second.close();
        hub.start(QStringLiteral(TEST_HUB), {hubDir.path()});
        // The whole line: "listening PORT".
        QVERIFY(waitUntil([&] { return hub.canReadLine() || (hub.waitForReadyRead(100), false); },
                          5000));
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
        xkey(u"up"_s, {leftAlt, keyM});
        hub.kill();
        hub.waitForFinished();
    }

    // A fresh account downloads its first model from the settings window that
    // opens by itself, after the failures a network can bring; then dictates.
    void firstModelFromTheHub()
    {
        PasteTarget target;
        DaemonProcess daemon;
        daemon.setEnvironment(u"HF_ENDPOINT"_s, hubAddress);
        daemon.setEnvironment(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, u"1"_s);
        daemon.leaveModelChooserOpen();
        QVERIFY(target.start());
        QVERIFY(daemon.start());
        QTRY_VERIFY_WITH_TIMEOUT(!windowNamed(u"Settings"_s).isEmpty(), 10000);
        QTRY_VERIFY(accessibleShowing(u"combo box"_s, u"Choose a model…"_s));
        // No GPU here: Parakeet is the one to start with.
        QTRY_VERIFY(accessibleShowing(
            u"label"_s,
            u"Choose a model to download. parakeet-tdt-0.6b-v3-q8_0 is a good start."_s));
        const QString models = daemon.modelDir();

        // A turn of the wheel passing over the lists chooses nothing.
        for (const QString box : {"Model:", "Language:"}) {
            QVERIFY(accessibleAction(u"point"_s, u"combo box"_s, box));
            runTool(u"xdotool"_s, {"click", "--repeat", "3", "5"});
        }
        QTest::qWait(500);
        QVERIFY(
            daemon.logMessages().filter(QRegularExpression("^(Downloading|Language)")).isEmpty());
        QVERIFY(accessibleShowing(u"combo box"_s, u"Choose a model…"_s));

        // A redirect to another protocol is not followed.
        QVERIFY(chooseModel(daemon, "f"));
        QVERIFY(
            daemon.waitForMessage(QStringLiteral("ERROR: model download failed: Protocol \"ftp\" "
                                                 "not supported or disabled in libcurl")));
        QVERIFY(dismissSheet());

        // 404: logged, shown in a sheet on the window, no file.
        QVERIFY(chooseModel(daemon, "b"));
        QVERIFY(daemon.waitForMessage(
            u"ERROR: model download failed: The server responded with HTTP 404."_s));
        QTRY_VERIFY(accessibleShowing(u"label"_s, u"The server responded with HTTP 404."_s));
        screenshot(u"root"_s, u"models-download-failed"_s);
        QVERIFY(dismissSheet());

        // Cut short after the whole length was announced; then a wrong checksum.
        QVERIFY(chooseModel(daemon, "m"));
        QVERIFY(waitUntil(
            [&] {
                return !daemon.logMessages()
                            .filter("ERROR: model download failed: ")
                            .mid(1)
                            .isEmpty();
            },
            20000));
        QVERIFY(dismissSheet());
        QVERIFY(chooseModel(daemon, "l"));
        QVERIFY(daemon.waitForMessage(
            QStringLiteral("ERROR: model download failed: The downloaded file does not match the "
                           "checksum the model hub lists for it."),
            20000));
        QVERIFY(dismissSheet());
        QCOMPARE(QDir(models).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList());

        // Cancelled while the progress row shows: no file, no sheet.
        QVERIFY(chooseModel(daemon, "s"));
        QTRY_VERIFY(accessibleShowing(u"progress bar"_s, u"Download progress"_s));
        screenshot(windowNamed(u"Settings"_s), u"models-downloading"_s);
        QVERIFY(accessibleAction(u"press"_s, u"push button"_s, u"Cancel download"_s));
        QVERIFY(daemon.waitForMessage(u"Download of model small cancelled"_s));
        QTRY_VERIFY(!accessibleShowing(u"progress bar"_s, u"Download progress"_s));
        QVERIFY(!accessibleShowing(u"push button"_s, u"OK"_s));
        QTRY_COMPARE(QDir(models).entryList(QDir::Files | QDir::NoDotAndDotDot), QStringList());

        // The real thing: downloaded, active, the server on it, a dictation.
        QVERIFY(chooseModel(daemon, "t"));
        QVERIFY(daemon.waitForMessage(u"Model tiny downloaded"_s, 30000));
        QVERIFY(waitForWhisperServer());
        QCOMPARE(QFile::symLinkTarget(models + "/current.bin"), models + "/ggml-tiny.bin");
        QTRY_VERIFY(accessibleShowing(u"combo box"_s, u"tiny  74 MB · downloaded"_s));
        runTool(u"xdotool"_s, {"search", "--name", "^Paste Target$", "windowactivate", "--sync"});
        QVERIFY(daemon.dictate(makeSpeech(u"hello world"_s), u"Pasted via XTest"_s));
        QTRY_COMPARE(target.text(), u"Hello world."_s);

        // The other repository's model: downloaded, its own server, a dictation,
        // and how fast its warm-up ran kept for the list.
        runTool(u"xdotool"_s, {"windowactivate", "--sync", windowNamed(u"Settings"_s)});
        QVERIFY(chooseModel(daemon, "p"));
        QVERIFY(daemon.waitForMessage(u"Model parakeet-tdt-0.6b-v3-q8_0 downloaded"_s, 30000));
        QVERIFY(daemon.waitForMessage(u"whisper-server stopped"_s, 10000));
        QVERIFY(waitUntil(
            [&] {
                return !daemon.logMessages().filter(u"parakeet-server started (PID "_s).isEmpty();
            },
            10000));
        QVERIFY(waitForWhisperServer(30000));
        QTRY_VERIFY(
            accessibleShowing(u"combo box"_s, u"parakeet-tdt-0.6b-v3-q8_0  0 MB · downloaded"_s));
        runTool(u"xdotool"_s, {"search", "--name", "^Paste Target$", "windowactivate", "--sync"});
        QVERIFY(daemon.dictate(makeSpeech(u"hello world"_s), u"Pasted via XTest"_s));
        QTRY_COMPARE(target.text(), u"Hello world.Hello world."_s);
        QTRY_VERIFY(readFile(daemon.preferencesPath()).contains("parakeet-tdt-0.6b-v3-q8_0="));
    }
};

QTEST_GUILESS_MAIN(TestModels)
#include "tst_models.moc"

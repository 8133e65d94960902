// The whisper-server a release carries, taken from a release made by
// tools/make-release: it runs on CPUs older and other than this machine's (under
// qemu-user), on a Vulkan device (Mesa's software one), and its libraries are
// signed files of the application folder and listed by the Debian package.
#include "update/release.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace parlotta;

namespace {

QByteArray output(const QString &program, const QStringList &arguments,
                  const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                  bool quiet = false)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    if ((!process.waitForFinished(600000) || process.exitCode() != 0) && !quiet)
        qWarning("%s: %s", qPrintable(program), process.readAllStandardError().constData());
    return process.readAllStandardOutput();
}

} // namespace

class TestReleaseServer : public QObject {
    Q_OBJECT

    QTemporaryDir scratch;
    QString app, speech, model;

  private Q_SLOTS:
    void initTestCase()
    {
        const QString key = scratch.filePath(QStringLiteral("release.pem"));
        output(QStringLiteral("openssl"), {QStringLiteral("genpkey"), QStringLiteral("-algorithm"),
                                           QStringLiteral("ed25519"), QStringLiteral("-out"), key});
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PARLOTTA_BUILD_DIR"), QStringLiteral(BUILD_DIR));
        output(QStringLiteral(MAKE_RELEASE), {QStringLiteral("1.0"), key, scratch.path()}, env);
        output(QStringLiteral(RELEASE_ARCHIVE),
               {QStringLiteral("unpack"), scratch.filePath(QStringLiteral("Parlotta.zip")),
                scratch.path()});
        app = scratch.filePath(QStringLiteral("Parlotta.app"));
        const auto manifest = readSignedManifest(app);
        QVERIFY(manifest && treeMatchesManifest(app, *manifest));
        const QByteArray package = output(
            QStringLiteral("dpkg"),
            {QStringLiteral("-c"), scratch.filePath(QStringLiteral("parlotta_1.0_amd64.deb"))});
        QStringList signedFiles;
        for (const ManifestFile &file : manifest->files)
            signedFiles << file.path;
        // The loader's names as plain files, signed; the variants and the GPU backend beside the
        // server.
        for (const QString file :
             {"lib/libwhisper.so.1", "lib/libggml.so.0", "lib/libggml-base.so.0",
              "bin/libggml-cpu-x64.so", "bin/libggml-cpu-sse42.so", "bin/libggml-cpu-haswell.so",
              "bin/libggml-cpu-sapphirerapids.so", "bin/libggml-vulkan.so"}) {
            QVERIFY2(signedFiles.contains(file), qPrintable(file));
            QVERIFY2(package.contains("./opt/Parlotta.app/" + file.toUtf8() + '\n'),
                     qPrintable(file));
        }
        // A model smaller than any real one: the same code runs, and emulation stays within
        // minutes.
        model = scratch.filePath(QStringLiteral("micro.bin"));
        output(QStringLiteral("python3"), {QStringLiteral(FIXTURE_TOOL), QStringLiteral("--shape"),
                                           QStringLiteral("micro"), model});
        speech = scratch.filePath(QStringLiteral("speech.wav"));
        output(QStringLiteral("sox"),
               {QStringLiteral("-n"), QStringLiteral("-r"), QStringLiteral("16000"),
                QStringLiteral("-b"), QStringLiteral("16"), speech, QStringLiteral("synth"),
                QStringLiteral("1"), QStringLiteral("pinknoise")});
    }

    // Each row: one inference with the daemon's command line, and the backend the server chose.
    void serves_data()
    {
        QTest::addColumn<QString>("cpu"); // emulated by qemu-user; empty: this machine's
        QTest::addColumn<bool>("vulkan");
        QTest::addColumn<QByteArray>("chose");
        QTest::newRow("this CPU") << QString() << false << QByteArray("loaded CPU backend from");
        QTest::newRow("Nehalem, x86-64-v2 from 2008")
            << "Nehalem" << false << QByteArray("libggml-cpu-sse42.so");
        QTest::newRow("AMD Zen 2") << "EPYC-Rome" << false << QByteArray("libggml-cpu-haswell.so");
        QTest::newRow("Vulkan device")
            << QString() << true << QByteArray("ggml_vulkan: 0 = llvmpipe");
    }

    void serves()
    {
        QFETCH(QString, cpu);
        QFETCH(bool, vulkan);
        QFETCH(QByteArray, chose);
        QProcess server;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (vulkan) {
            env.insert(QStringLiteral("VK_ICD_FILENAMES"),
                       QStringLiteral("/usr/share/vulkan/icd.d/lvp_icd.x86_64.json"));
            env.insert(QStringLiteral("GGML_VK_VISIBLE_DEVICES"),
                       QStringLiteral("0")); // a CPU-type device
        }
        server.setProcessEnvironment(env);
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.setWorkingDirectory(
            QDir::tempPath()); // ggml finds its libraries by the executable's path
        QStringList command = {app + QStringLiteral("/bin/whisper-server"),
                               "--host",
                               "127.0.0.1",
                               "--port",
                               "8181",
                               "--model",
                               model,
                               "--threads",
                               "8",
                               "--no-timestamps",
                               "--language",
                               "auto"};
        if (!cpu.isEmpty())
            command = QStringList{QStringLiteral("-cpu"), cpu} + command;
        server.start(cpu.isEmpty() ? command.takeFirst() : QStringLiteral("qemu-x86_64"), command);
        QVERIFY(server.waitForStarted());
        const QString url = QStringLiteral("http://127.0.0.1:8181/");
        QTRY_VERIFY_WITH_TIMEOUT(
            output(QStringLiteral("curl"), {QStringLiteral("-s"), url + "health"}, env, true)
                .contains("ok"),
            300000);
        // Slow under emulation and on a software GPU: up to a few minutes.
        const QByteArray text =
            output(QStringLiteral("curl"), {"-sS", "--max-time", "900", "-F", "file=@" + speech,
                                            "-F", "response_format=text", url + "inference"});
        server.terminate();
        QVERIFY(server.waitForFinished(30000));
        const QByteArray log = server.readAll();
        QVERIFY2(log.contains(chose), log.constData());
        QCOMPARE(text, QByteArray(" Hello world.\n"));
    }
};

QTEST_GUILESS_MAIN(TestReleaseServer)
#include "tst_release_server.moc"

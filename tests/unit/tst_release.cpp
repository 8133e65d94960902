// Releases: the version order, the install against every damaged or forged
// archive (hostile manifest text is the manifest fuzzer's corpus), and the whisper-server a release
// carries on CPUs older and other than this one (qemu-user) and on a Vulkan
// device (Mesa's software one), with releases made by tools/make-release from
// this build tree.
#include "test_helpers.h"
#include "update/installer.h"
#include "update/release.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

using namespace parlotta;

namespace {

const QString notSigned = QStringLiteral(
    "The downloaded update isn't signed by the developer of Parlotta, so it wasn't installed.");
const QString damaged = u"The downloaded update is damaged."_s;

} // namespace

class TestRelease : public QObject {
    Q_OBJECT

    QTemporaryDir scratch;
    QString key, oldZip, newZip, app, speech, model, parakeetModel;
    QByteArray publicKey;

    QString path(const QString &name) const
    {
        return scratch.filePath(name);
    }

  private Q_SLOTS:
    // The version order of the update check: every example it is known by.
    void newer_data()
    {
        QTest::addColumn<QString>("a");
        QTest::addColumn<QString>("b");
        QTest::addColumn<bool>("newer");
        QTest::newRow("1.10 > 1.9") << u"1.10"_s << u"1.9"_s << true;
        QTest::newRow("1.9 < 1.10") << u"1.9"_s << u"1.10"_s << false;
        QTest::newRow("2.0 > 1.12") << u"2.0"_s << u"1.12"_s << true;
        QTest::newRow("1.2.1 > 1.2") << u"1.2.1"_s << u"1.2"_s << true;
        QTest::newRow("1.2.0 > 1.2: the longer text") << u"1.2.0"_s << u"1.2"_s << true;
        QTest::newRow("equal") << u"1.3"_s << u"1.3"_s << false;
        QTest::newRow("an HTML page beats any version") << u"<!DOCTYPE html>"_s << u"9.9"_s << true;
        QTest::newRow("numbers past 64 bits")
            << u"1.100000000000000000000"_s << u"1.99999999999999999999"_s << true;
        QTest::newRow("leading zeros count for nothing") << u"1.01"_s << u"1.1"_s << false;
        QTest::newRow("by code point, not UTF-16") << u"1.\U0001F600"_s << u"1.\uFFFD"_s << true;
        QTest::newRow("empty is older") << u""_s << u"0"_s << false;
    }
    void newer()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QTEST(isNewer(a, b), "newer");
    }

    void initTestCase()
    {
        key = path(u"release.pem"_s);
        QVERIFY(run(u"openssl"_s, {u"genpkey"_s, u"-algorithm"_s, u"ed25519"_s, u"-out"_s, key}));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"PARLOTTA_BUILD_DIR"_s, QStringLiteral(BUILD_DIR));
        for (const QString &version : {u"1.0"_s, u"1.1"_s})
            QVERIFY(run(QStringLiteral(MAKE_RELEASE), {version, key, path(version)}, env));
        oldZip = path(u"1.0/Parlotta.zip"_s);
        newZip = path(u"1.1/Parlotta.zip"_s);
        QCOMPARE(QFile(path(u"1.1/version.txt"_s)).size(), 4);
        // The release's folder: the loader's names as plain files, signed, and listed by the
        // package; the CPU variants and the GPU backend beside the server.
        QVERIFY(run(QStringLiteral(RELEASE_ARCHIVE), {u"unpack"_s, newZip, path(u"unpacked"_s)}));
        app = path(u"unpacked/Parlotta.app"_s);
        const auto manifest = readSignedManifest(app);
        QVERIFY(manifest && treeMatchesManifest(app, *manifest));
        QStringList signedFiles;
        for (const ManifestFile &file : manifest->files)
            signedFiles << file.path;
        const QByteArray package =
            output(u"dpkg"_s, {u"-c"_s, path(u"1.1/parlotta_1.1_amd64.deb"_s)})
                .value_or(QByteArray());
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
        model = path(u"micro.bin"_s);
        speech = path(u"speech.wav"_s);
        QVERIFY(run(u"python3"_s, {QStringLiteral(FIXTURE_TOOL), u"--shape"_s, u"micro"_s, model}));
        parakeetModel = path(u"parakeet.bin"_s);
        QVERIFY(run(u"/usr/bin/python3"_s, {QStringLiteral(PARAKEET_FIXTURE_TOOL), parakeetModel}));
        QVERIFY(run(u"sox"_s, {u"-n"_s, u"-r"_s, u"16000"_s, u"-b"_s, u"16"_s, speech, u"synth"_s,
                               u"1"_s, u"pinknoise"_s}));
    }

    // Each archive but the good one leaves the installed copy as it was, byte
    // for byte, and nothing of its own beside it.
    void install_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("failure"); // empty: installed
        QTest::newRow("the release as made") << u"as-is"_s << QString();
        QTest::newRow("no Parlotta.app") << u"no-app"_s << damaged;
        QTest::newRow("truncated zip") << u"truncated"_s << damaged;
        QTest::newRow("not a zip") << u"html"_s << damaged;
        QTest::newRow("file changed after signing") << u"changed"_s << notSigned;
        QTest::newRow("extra file") << u"extra"_s << notSigned;
        QTest::newRow("missing file") << u"missing"_s << notSigned;
        QTest::newRow("mode changed") << u"mode"_s << notSigned;
        QTest::newRow("signed by another key") << u"other-key"_s << notSigned;
        QTest::newRow("another identifier") << u"other-id"_s << notSigned;
        QTest::newRow("an entry with ../") << u"dotdot"_s << damaged;
        QTest::newRow("link pointing outside") << u"link-out"_s << damaged;
        QTest::newRow("folders anyone may write: installed 0755") << u"open-folders"_s << QString();
        QTest::newRow("an extra empty folder") << u"empty-folder"_s << notSigned;
        QTest::newRow("a folder nobody may write, refused") << u"locked-folder"_s << notSigned;
    }
    void install()
    {
        QFETCH(QString, kind);
        QFETCH(QString, failure);
        QTemporaryDir apps;
        const QString app = apps.filePath(u"Parlotta.app"_s);
        QVERIFY(run(QStringLiteral(RELEASE_ARCHIVE), {u"unpack"_s, oldZip, apps.path()}));
        const auto installed = readSignedManifest(app);
        QVERIFY(installed && treeMatchesManifest(app, *installed));
        QCOMPARE(signingTeam(app), keyFingerprint(installed->publicKey));
        const QStringList before = snapshot(apps.path());

        const QString archive = apps.filePath(u"download.zip"_s);
        if (kind == u"html"_s) {
            QFile page(archive);
            QVERIFY(page.open(QIODevice::WriteOnly));
            page.write("<!DOCTYPE html><title>Not Found</title>");
        } else {
            QVERIFY(run(QStringLiteral(RELEASE_ARCHIVE), {u"make"_s, kind, newZip, archive, key}));
        }
        QString error;
        QCOMPARE(installUpdate(archive, app, installed->publicKey, installed->identifier, &error),
                 failure.isEmpty());
        QFile::remove(archive);
        QCOMPARE(error, failure);
        if (failure.isEmpty()) {
            QCOMPARE(readSignedManifest(app)->version, u"1.1"_s);
            // Folder modes are not signed: whatever the archive says, only we may write.
            QDirIterator folders(app, QDir::Dirs | QDir::NoDotAndDotDot,
                                 QDirIterator::Subdirectories);
            for (QString folder = app; !folder.isEmpty();
                 folder = folders.hasNext() ? folders.next() : QString()) {
                struct stat st {};
                QVERIFY(::stat(QFile::encodeName(folder).constData(), &st) == 0);
                QVERIFY2((st.st_mode & 07777) == 0755, qPrintable(folder));
            }
            QCOMPARE(
                QDir(apps.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                QStringList{u"Parlotta.app"_s});
        } else {
            QCOMPARE(snapshot(apps.path()), before);
        }
    }

    // What a killed update left beside the app goes at the next start; another
    // account's folder there, swapping its folders for links to the user's
    // private ones all the while, costs the user nothing.
    void leftovers_data()
    {
        QTest::addColumn<bool>("sharedParent"); // beside the app: a folder like /tmp (1777)
        QTest::addColumn<bool>("ownRemoved");
        QTest::newRow("own folder: ours removed, links only unlinked") << false << true;
        QTest::newRow("folder anyone may write: left alone") << true << false;
    }
    void leftovers()
    {
        if (::geteuid() != 0)
            QSKIP("needs root, to act as two accounts");
        QFETCH(bool, sharedParent);
        QFETCH(bool, ownRemoved);
        const uid_t user = 1001, other = 1002;
        QTemporaryDir root;
        ::chmod(QFile::encodeName(root.path()).constData(), 0755);
        const QByteArray parent = QFile::encodeName(root.filePath(u"apps"_s));
        const QByteArray home = QFile::encodeName(root.filePath(u"home"_s));
        const auto as = [](uid_t uid, const std::function<void()> &work) {
            const pid_t child = ::fork();
            if (child == 0) {
                if (::setgid(uid) == 0 && ::setuid(uid) == 0)
                    work();
                ::_exit(0);
            }
            return child;
        };
        const auto wait = [](pid_t child) { ::waitpid(child, nullptr, 0); };
        ::mkdir(parent.constData(), sharedParent ? 01777 : 0755);
        ::chmod(parent.constData(), sharedParent ? 01777 : 0755);
        ::chown(parent.constData(), sharedParent ? 0 : user, sharedParent ? 0 : user);
        ::mkdir(home.constData(), 0700);
        ::chown(home.constData(), user, user);
        wait(as(user, [&] {
            ::mkdir(home + "/private", 0700);
            QFile::copy(u"/etc/hostname"_s, QFile::decodeName(home + "/private/key"));
            ::mkdir(parent + "/Parlotta.app", 0755);
            ::mkdir(parent + "/.parlotta-update-ours", 0700);
            ::mkdir(parent + "/.parlotta-update-ours/Parlotta.app", 0500);
            ::symlink(home.constData(), parent + "/.parlotta-update-ours/home");
            // The user's home, reachable to the other account only by the link it is given.
            ::chmod(home.constData(), 0711);
        }));
        const QByteArray theirs = parent + "/.parlotta-update-mallory";
        const pid_t flipper = as(other, [&] {
            ::mkdir(theirs.constData(), 0777);
            for (int i = 0; i < 20; ++i) {
                ::mkdir(theirs + "/d" + QByteArray::number(i), 0777);
                ::symlink(home.constData(), theirs + "/l" + QByteArray::number(i));
            }
            for (;;)
                for (int i = 0; i < 20; ++i)
                    ::renameat2(AT_FDCWD, theirs + "/d" + QByteArray::number(i), AT_FDCWD,
                                theirs + "/l" + QByteArray::number(i), RENAME_EXCHANGE);
        });
        QTest::qWait(300);
        for (int trial = 0; trial < 5; ++trial)
            wait(as(user, [&] { removeLeftovers(QFile::decodeName(parent + "/Parlotta.app")); }));
        ::kill(flipper, SIGKILL);
        wait(flipper);
        struct stat info {};
        QVERIFY(::stat(home.constData(), &info) == 0);
        QCOMPARE(info.st_mode & 07777, 0711u);
        QVERIFY(::stat(home + "/private", &info) == 0);
        QCOMPARE(info.st_mode & 07777, 0700u);
        QVERIFY(QFile::exists(QFile::decodeName(home + "/private/key")));
        QCOMPARE(QFile::exists(QFile::decodeName(parent + "/.parlotta-update-ours")), !ownRemoved);
        QVERIFY(QFile::exists(QFile::decodeName(parent + "/Parlotta.app")));
    }

    // Each row: one inference with the daemon's command line, and the backend the server chose.
    void serves_data()
    {
        QTest::addColumn<QString>("cpu"); // emulated by qemu-user; empty: this machine's
        QTest::addColumn<bool>("vulkan");
        QTest::addColumn<QByteArray>("chose");
        QTest::addColumn<bool>("parakeet"); // parakeet-server, else whisper-server
        QTest::newRow("this CPU") << QString() << false << QByteArray("loaded CPU backend from")
                                  << false;
        QTest::newRow("Nehalem, x86-64-v2 from 2008")
            << u"Nehalem"_s << false << QByteArray("libggml-cpu-sse42.so") << false;
        QTest::newRow("AMD Zen 2")
            << u"EPYC-Rome"_s << false << QByteArray("libggml-cpu-haswell.so") << false;
        QTest::newRow("Vulkan device")
            << QString() << true << QByteArray("ggml_vulkan: 0 = llvmpipe") << false;
        QTest::newRow("Parakeet on Nehalem")
            << u"Nehalem"_s << false << QByteArray("libggml-cpu-sse42.so") << true;
        QTest::newRow("Parakeet on a Vulkan device")
            << QString() << true << QByteArray("ggml_vulkan: 0 = llvmpipe") << true;
    }

    void serves()
    {
#if defined(__SANITIZE_ADDRESS__)
        QSKIP("nothing of ours runs here; the plain build's test runs the server");
#endif
        QFETCH(QString, cpu);
        QFETCH(bool, vulkan);
        QFETCH(QByteArray, chose);
        QFETCH(bool, parakeet);
        QProcess server;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        if (vulkan) {
            env.insert(u"VK_ICD_FILENAMES"_s, u"/usr/share/vulkan/icd.d/lvp_icd.x86_64.json"_s);
            env.insert(u"GGML_VK_VISIBLE_DEVICES"_s,
                       u"0"_s); // a CPU-type device
        }
        server.setProcessEnvironment(env);
        server.setProcessChannelMode(QProcess::MergedChannels);
        server.setWorkingDirectory(
            QDir::tempPath()); // ggml finds its libraries by the executable's path
        QStringList command = {
            app + (parakeet ? u"/bin/parakeet-server"_s : u"/bin/whisper-server"_s),
            "--host",
            "127.0.0.1",
            "--port",
            "8181",
            "--model",
            parakeet ? parakeetModel : model,
            "--threads",
            "8"};
        if (!parakeet)
            command << u"--no-timestamps"_s << u"--language"_s << u"auto"_s;
        if (!cpu.isEmpty())
            command = QStringList{u"-cpu"_s, cpu} + command;
        server.start(cpu.isEmpty() ? command.takeFirst() : u"qemu-x86_64"_s, command);
        QVERIFY(server.waitForStarted());
        const QString url = u"http://127.0.0.1:8181/"_s;
        QTRY_VERIFY_WITH_TIMEOUT(output(u"curl"_s, {u"-s"_s, url + "health"}, env, true)
                                     .value_or(QByteArray())
                                     .contains("ok"),
                                 300000);
        // Slow under emulation and on a software GPU: up to a few minutes.
        const auto text = output(u"curl"_s, {"-sS", "--max-time", "900", "-F", "file=@" + speech,
                                             "-F", "response_format=text", url + "inference"});
        server.terminate();
        QVERIFY(server.waitForFinished(30000));
        const QByteArray log = server.readAll();
        QVERIFY2(log.contains(chose), log.constData());
        QCOMPARE(text.value_or(QByteArray()),
                 parakeet ? "Hello world.\n"_ba : " Hello world.\n"_ba);
    }
};

QTEST_GUILESS_MAIN(TestRelease)
#include "tst_release.moc"
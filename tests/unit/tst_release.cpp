// Releases: the version order, the manifest against hostile text, and the
// install against every damaged or forged archive, with releases made by
// tools/make-release from this build tree.
#include "update/installer.h"
#include "update/release.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <sys/stat.h>

using namespace parlotta;

namespace {

const QString notSigned = QStringLiteral(
    "The downloaded update isn't signed by the developer of Parlotta, so it wasn't installed.");
const QString damaged = QStringLiteral("The downloaded update is damaged.");

bool run(const QString &program, const QStringList &arguments,
         const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(120000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok)
        qWarning("%s: %s", qPrintable(program), process.readAllStandardError().constData());
    return ok;
}

// Every entry under dir with its type, permission bits and content digest.
QStringList snapshot(const QString &dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        QFile file(path);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (S_ISREG(st.st_mode) && file.open(QIODevice::ReadOnly))
            hash.addData(&file);
        entries << QStringLiteral("%1 %2 %3")
                       .arg(path.mid(dir.size()))
                       .arg(st.st_mode, 0, 8)
                       .arg(QString::fromLatin1(hash.result().toHex()));
    }
    entries.sort();
    return entries;
}

QByteArray manifestText(const QByteArray &files)
{
    return "parlotta-manifest 1\nidentifier com.parlotta.app\nversion 1.4.0\nkey " +
           QByteArray(64, 'a') + '\n' + files;
}

} // namespace

class TestRelease : public QObject {
    Q_OBJECT

    QTemporaryDir scratch;
    QString key, oldZip, newZip;
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
        QTest::newRow("1.10 > 1.9") << "1.10"
                                    << "1.9" << true;
        QTest::newRow("1.9 < 1.10") << "1.9"
                                    << "1.10" << false;
        QTest::newRow("2.0 > 1.12") << "2.0"
                                    << "1.12" << true;
        QTest::newRow("1.2.1 > 1.2") << "1.2.1"
                                     << "1.2" << true;
        QTest::newRow("1.2.0 > 1.2: the longer text") << "1.2.0"
                                                      << "1.2" << true;
        QTest::newRow("equal") << "1.3"
                               << "1.3" << false;
        QTest::newRow("an HTML page beats any version") << "<!DOCTYPE html>"
                                                        << "9.9" << true;
        QTest::newRow("numbers past 64 bits") << "1.100000000000000000000"
                                              << "1.99999999999999999999" << true;
        QTest::newRow("leading zeros count for nothing") << "1.01"
                                                         << "1.1" << false;
        QTest::newRow("by code point, not UTF-16") << "1.\U0001F600"
                                                   << "1.\uFFFD" << true;
        QTest::newRow("empty is older") << ""
                                        << "0" << false;
    }
    void newer()
    {
        QFETCH(QString, a);
        QFETCH(QString, b);
        QTEST(isNewer(a, b), "newer");
    }

    void manifest_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("files"); // -1: refused
        const QByteArray sha(64, '0');
        QTest::newRow("two files")
            << manifestText("file 0755 " + sha + " bin/parlotta\nfile 0644 " + sha +
                            " share/a b.txt\n")
            << 2;
        QTest::newRow("no final line feed") << manifestText("").chopped(1) << -1;
        QTest::newRow("other format") << manifestText("").replace("manifest 1", "manifest 2") << -1;
        QTest::newRow("key in capitals") << manifestText("").replace("aaaa", "AAAA") << -1;
        QTest::newRow("version with a blank")
            << manifestText("").replace("1.4.0", "1.4 beta") << -1;
        QTest::newRow("set-user-ID bit") << manifestText("file 4755 " + sha + " bin/x\n") << -1;
        QTest::newRow("NUL in the mode")
            << manifestText(QByteArray("file 073\0 ", 10) + sha + " bin/x\n") << -1;
        QTest::newRow("not octal") << manifestText("file 0855 " + sha + " bin/x\n") << -1;
        QTest::newRow("parent folder") << manifestText("file 0644 " + sha + " ../x\n") << -1;
        QTest::newRow("absolute") << manifestText("file 0644 " + sha + " /etc/passwd\n") << -1;
        QTest::newRow("control character") << manifestText("file 0644 " + sha + " a\tb\n") << -1;
        QTest::newRow("not UTF-8") << manifestText("file 0644 " + sha + " a\xff\n") << -1;
        QTest::newRow("twice") << manifestText("file 0644 " + sha + " a\nfile 0644 " + sha + " a\n")
                               << -1;
        QTest::newRow("binary junk") << QByteArray("\x00\x01\xff\n", 4) << -1;
    }
    void manifest()
    {
        QFETCH(QByteArray, text);
        QFETCH(int, files);
        const auto parsed = parseManifest(text);
        QCOMPARE(parsed ? int(parsed->files.size()) : -1, files);
        if (parsed)
            QCOMPARE(parsed->publicKey, QByteArray(32, '\xaa'));
    }

    void initTestCase()
    {
        key = path(QStringLiteral("release.pem"));
        QVERIFY(run(QStringLiteral("openssl"),
                    {QStringLiteral("genpkey"), QStringLiteral("-algorithm"),
                     QStringLiteral("ed25519"), QStringLiteral("-out"), key}));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PARLOTTA_BUILD_DIR"), QStringLiteral(BUILD_DIR));
        for (const QString &version : {QStringLiteral("1.0"), QStringLiteral("1.1")})
            QVERIFY(run(QStringLiteral(MAKE_RELEASE), {version, key, path(version)}, env));
        oldZip = path(QStringLiteral("1.0/Parlotta.zip"));
        newZip = path(QStringLiteral("1.1/Parlotta.zip"));
        QCOMPARE(QFile(path(QStringLiteral("1.1/version.txt"))).size(), 4);
        QVERIFY(QFile::exists(path(QStringLiteral("1.1/parlotta_1.1_amd64.deb"))));
    }

    // Each archive but the good one leaves the installed copy as it was, byte
    // for byte, and nothing of its own beside it.
    void install_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("failure"); // empty: installed
        QTest::newRow("the release as made") << "as-is" << QString();
        QTest::newRow("no Parlotta.app") << "no-app" << damaged;
        QTest::newRow("truncated zip") << "truncated" << damaged;
        QTest::newRow("not a zip") << "html" << damaged;
        QTest::newRow("file changed after signing") << "changed" << notSigned;
        QTest::newRow("extra file") << "extra" << notSigned;
        QTest::newRow("missing file") << "missing" << notSigned;
        QTest::newRow("mode changed") << "mode" << notSigned;
        QTest::newRow("signed by another key") << "other-key" << notSigned;
        QTest::newRow("another identifier") << "other-id" << notSigned;
        QTest::newRow("an entry with ../") << "dotdot" << damaged;
        QTest::newRow("link pointing outside") << "link-out" << damaged;
    }
    void install()
    {
        QFETCH(QString, kind);
        QFETCH(QString, failure);
        QTemporaryDir apps;
        const QString app = apps.filePath(QStringLiteral("Parlotta.app"));
        QVERIFY(
            run(QStringLiteral(RELEASE_ARCHIVE), {QStringLiteral("unpack"), oldZip, apps.path()}));
        const auto installed = readSignedManifest(app);
        QVERIFY(installed && treeMatchesManifest(app, *installed));
        QCOMPARE(signingTeam(app), keyFingerprint(installed->publicKey));
        const QStringList before = snapshot(apps.path());

        const QString archive = apps.filePath(QStringLiteral("download.zip"));
        if (kind == QLatin1String("html")) {
            QFile page(archive);
            QVERIFY(page.open(QIODevice::WriteOnly));
            page.write("<!DOCTYPE html><title>Not Found</title>");
        } else {
            QVERIFY(run(QStringLiteral(RELEASE_ARCHIVE),
                        {QStringLiteral("make"), kind, newZip, archive, key}));
        }
        const auto result =
            installUpdate(archive, app, installed->publicKey, installed->identifier);
        QFile::remove(archive);
        QCOMPARE(result.value_or(QString()), failure);
        if (failure.isEmpty()) {
            QCOMPARE(readSignedManifest(app)->version, QStringLiteral("1.1"));
            QCOMPARE(
                QDir(apps.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                QStringList{QStringLiteral("Parlotta.app")});
        } else {
            QCOMPARE(snapshot(apps.path()), before);
        }
    }
};

QTEST_GUILESS_MAIN(TestRelease)
#include "tst_release.moc"

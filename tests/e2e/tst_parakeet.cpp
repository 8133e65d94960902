#include "daemon_process.h"
#include "desktop_helpers.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <csignal>

// The real parakeet-server, built from the pinned whisper.cpp beside whisper-server:
// against the library's own command-line tool, with bad input, and under the daemon.
namespace {

constexpr int testPort = 8279;
const QByteArray helloJson = "{\"text\":\"Hello world.\"}";

struct Answer {
    int status = 0;
    QByteArray body;
};

// One POST of the inference form with curl; fields as curl's -F takes them.
Answer post(const QStringList &fields, int port = testPort)
{
    QStringList arguments = {u"-s"_s, u"-w"_s, u"\n%{http_code}"_s};
    for (const QString &field : fields)
        arguments << u"-F"_s << field;
    arguments << u"http://127.0.0.1:%1/inference"_s.arg(port);
    QProcess curl;
    curl.start(u"curl"_s, arguments);
    if (!curl.waitForFinished(60000))
        return {};
    const QByteArray output = curl.readAllStandardOutput();
    const qsizetype cut = output.lastIndexOf('\n');
    return {output.mid(cut + 1).toInt(), output.left(cut)};
}

// A parakeet-server of the build on a fixture model, ready to answer.
class ParakeetServer {
  public:
    bool start(const QString &model)
    {
        process.setProgram(QStringLiteral(PARAKEET_SERVER));
        process.setArguments(
            {u"--model"_s, model, u"--port"_s, QString::number(testPort), u"--threads"_s, u"2"_s});
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start();
        return process.waitForStarted() &&
               waitUntil([this] { return output().contains("listening at"); }, 30000);
    }
    QByteArray output()
    {
        return text += process.readAll();
    }
    ~ParakeetServer()
    {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
    }
    QProcess process;

  private:
    QByteArray text;
};

QString cliText(const QString &model, const QString &wav)
{
    QProcess cli;
    cli.start(QStringLiteral(PARAKEET_CLI), {u"-m"_s, model, u"-np"_s, u"-t"_s, u"2"_s, wav});
    cli.waitForFinished(60000);
    return QString::fromUtf8(cli.readAllStandardOutput()).trimmed();
}

QList<qint64> startedPids(const DaemonProcess &daemon, const QString &program)
{
    QList<qint64> pids;
    const QRegularExpression started(program + u" started \\(PID (\\d+)\\)"_s);
    for (const QString &line : daemon.logMessages())
        if (const auto match = started.match(line); match.hasMatch())
            pids << match.captured(1).toLongLong();
    return pids;
}

} // namespace

class TestParakeet : public QObject {
    Q_OBJECT

    QTemporaryDir work;
    QString tone; // two seconds of 16 kHz mono: the fixture models hear their text in anything

    QString sox(const QString &name, const QStringList &format, const QString &seconds)
    {
        const QString path = work.filePath(name);
        QProcess::execute(u"sox"_s, QStringList{u"-n"_s} + format +
                                        QStringList{path, u"synth"_s, seconds, u"sine"_s, u"300"_s,
                                                    u"vol"_s, u"0.3"_s});
        return path;
    }

  private Q_SLOTS:
    void initTestCase()
    {
        tone = sox(u"tone.wav"_s, {u"-r"_s, u"16000"_s, u"-c"_s, u"1"_s, u"-b"_s, u"16"_s}, u"2"_s);
        QVERIFY(QFile::exists(tone));
    }

    // The server's text is the library's own tool's, in either answer form.
    void answersAsTheLibrarysTool_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("text");
        QTest::newRow("plain") << u"parakeet-hello"_s << u"Hello world."_s;
        QTest::newRow("accents") << u"parakeet-accents"_s
                                 << u"Grüße aus Zürich, ça va? Très bien."_s;
        QTest::newRow("punctuation")
            << u"parakeet-punctuation"_s << u"Yes! Really? No, thanks; it's fine."_s;
    }
    void answersAsTheLibrarysTool()
    {
        QFETCH(QString, model);
        QFETCH(QString, text);
        ParakeetServer server;
        QVERIFY(server.start(fixtureModel(model)));
        QVERIFY2(server.output().contains("warm-up pass: 5 s of audio in"), server.output());
        QCOMPARE(cliText(fixtureModel(model), tone), text);

        const Answer json = post({u"file=@"_s + tone, u"response_format=json"_s, u"language=fr"_s,
                                  u"prompt=Kubernetes"_s});
        QCOMPARE(json.status, 200);
        QCOMPARE(json.body, "{\"text\":\"" + text.toUtf8() + "\"}");
        const Answer plain = post({u"file=@"_s + tone, u"response_format=text"_s});
        QCOMPARE(plain.status, 200);
        QCOMPARE(plain.body, text.toUtf8() + '\n');
    }

    // Each bad request: its status and a reason, and the server answers on.
    void badRequestsAreRefused_data()
    {
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        QTest::newRow("not a WAV")
            << QStringList{u"file=@/etc/hostname"_s} << 400 << u"not a WAV"_s;
        QTest::newRow("empty") << QStringList{u"file=@EMPTY"_s} << 400 << u"holds no audio"_s;
        QTest::newRow("another rate, two channels")
            << QStringList{u"file=@STEREO"_s} << 400 << u"this is 44100 Hz, 2 channel(s)"_s;
        QTest::newRow("oversized") << QStringList{u"file=@HUGE"_s} << 413 << u"larger than 32 MB"_s;
        QTest::newRow("no file") << QStringList{u"response_format=json"_s} << 400
                                 << u"no 'file' field"_s;
        QTest::newRow("unknown language") << QStringList{u"file=@TONE"_s, u"language=ja"_s} << 400
                                          << u"does not know the language 'ja'"_s;
        QTest::newRow("unserved format")
            << QStringList{u"file=@TONE"_s, u"response_format=srt"_s} << 400 << u"use json"_s;
    }
    void badRequestsAreRefused()
    {
        QFETCH(QStringList, fields);
        QFETCH(int, status);
        QFETCH(QString, reason);
        const QString empty = work.filePath(u"empty.wav"_s);
        QFile header(empty);
        QVERIFY(header.open(QIODevice::WriteOnly));
        header.write(readFile(tone).left(44));
        header.close();
        const QString huge = work.filePath(u"huge.wav"_s);
        QFile big(huge);
        QVERIFY(big.open(QIODevice::WriteOnly));
        big.resize(33 << 20);
        big.close();
        const QString stereo =
            sox(u"stereo.wav"_s, {u"-r"_s, u"44100"_s, u"-c"_s, u"2"_s, u"-b"_s, u"16"_s}, u"1"_s);
        fields.replaceInStrings(u"EMPTY"_s, empty)
            .replaceInStrings(u"STEREO"_s, stereo)
            .replaceInStrings(u"HUGE"_s, huge)
            .replaceInStrings(u"TONE"_s, tone);

        ParakeetServer server;
        QVERIFY(server.start(fixtureModel(u"parakeet-hello"_s)));
        const Answer refused = post(fields);
        QCOMPARE(refused.status, status);
        QVERIFY2(refused.body.startsWith("{\"error\":\"") && refused.body.contains(reason.toUtf8()),
                 refused.body);
        QCOMPARE(post({u"file=@"_s + tone}).body, helloJson);
    }

    // A file that is not a Parakeet model ends the server at once, saying so.
    void otherFilesAreNoModel_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("line");
        QTest::newRow("whisper model")
            << fixtureModel(u"hello"_s) << u"is a whisper model, not a Parakeet model"_s;
        QTest::newRow("audio") << u"TONE"_s << u"is not a Parakeet model"_s;
        QTest::newRow("missing") << u"/nonexistent/model.bin"_s << u"failed to open"_s;
    }
    void otherFilesAreNoModel()
    {
        QFETCH(QString, model);
        QFETCH(QString, line);
        QProcess server;
        server.start(QStringLiteral(PARAKEET_SERVER),
                     {u"--model"_s, model == u"TONE"_s ? tone : model, u"--port"_s,
                      QString::number(testPort)});
        QVERIFY(server.waitForFinished(10000));
        QCOMPARE(server.exitCode(), 3);
        QVERIFY2(server.readAllStandardError().contains(line.toUtf8()), qPrintable(line));
    }

    // Computed one at a time, answered both.
    void twoRequestsAtOnce()
    {
        ParakeetServer server;
        QVERIFY(server.start(fixtureModel(u"parakeet-hello"_s)));
        QProcess first, second;
        const QStringList arguments = {u"-s"_s, u"-F"_s, u"file=@"_s + tone,
                                       u"http://127.0.0.1:%1/inference"_s.arg(testPort)};
        first.start(u"curl"_s, arguments);
        second.start(u"curl"_s, arguments);
        QVERIFY(first.waitForFinished(30000) && second.waitForFinished(30000));
        QCOMPARE(first.readAllStandardOutput(), helloJson);
        QCOMPARE(second.readAllStandardOutput(), helloJson);
    }

    // The daemon runs the server the active model needs, dictates through it,
    // restarts it when killed, and switches servers with the model.
    void daemonDictatesWithEitherEngine()
    {
        const QString hello = makeSpeech(u"hello world"_s);
        QVERIFY(!hello.isEmpty());
        DaemonProcess daemon;
        daemon.writePreferences("[General]\nvocabulary=Kubernetes\n");
        daemon.installModel(u"parakeet-hello"_s);
        daemon.installModel(u"morning"_s);
        daemon.selectModel(u"parakeet-hello"_s);
        QVERIFY(daemon.start());
        QVERIFY(waitForWhisperServer(30000));
        QCOMPARE(startedPids(daemon, u"parakeet-server"_s).size(), 1);
        QVERIFY(startedPids(daemon, u"whisper-server"_s).isEmpty());
        QVERIFY(daemon.dictate(hello, u"Whisper response: "_s));
        QCOMPARE(lastLineStartingWith(daemon, u"Whisper response: "_s),
                 u"Whisper response: 'Hello world.'"_s);

        // Killed: restarted as whisper-server would be.
        ::kill(pid_t(startedPids(daemon, u"parakeet-server"_s).first()), SIGKILL);
        QVERIFY(daemon.waitForMessage(
            u"parakeet-server exited unexpectedly (status 9), restarting in 3s"_s, 10000));
        QVERIFY(waitUntil([&] { return startedPids(daemon, u"parakeet-server"_s).size() == 2; },
                          10000));
        QVERIFY(waitForWhisperServer(30000));

        // Another model, another engine: whisper-server takes the port.
        daemon.selectModel(u"morning"_s);
        daemon.sendSignal(SIGHUP);
        QVERIFY(daemon.waitForMessage(u"parakeet-server stopped"_s, 10000));
        QVERIFY(
            waitUntil([&] { return startedPids(daemon, u"whisper-server"_s).size() == 1; }, 10000));
        QVERIFY(waitForWhisperServer(30000));
        QVERIFY(daemon.dictate(hello, u"Whisper response: "_s));
        QCOMPARE(lastLineStartingWith(daemon, u"Whisper response: "_s),
                 u"Whisper response: 'Good morning.'"_s);

        // A Parakeet name on a whisper file: no server, one line saying why.
        QFile::remove(daemon.modelDir() + u"/ggml-parakeet-hello.bin"_s);
        QFile::link(fixtureModel(u"morning"_s), daemon.modelDir() + u"/ggml-parakeet-hello.bin"_s);
        daemon.selectModel(u"parakeet-hello"_s);
        daemon.sendSignal(SIGHUP);
        QVERIFY(daemon.waitForMessage(
            u"ERROR: the file of model parakeet-hello holds a whisper model, not a Parakeet "
            "model; choose the model again to download it afresh"_s,
            10000));
    }
};

QTEST_GUILESS_MAIN(TestParakeet)
#include "tst_parakeet.moc"

#include "core/events.h"
#include "core/log.h"
#include "models/catalogue.h"
#include "models/model_catalogue.h"
#include "models/model_store.h"
#include "test_helpers.h"

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
constexpr qint64 MB = 1048576;
// JSON written with single quotes, to read easily here.
QByteArray q(const char *json)
{
    return QByteArray(json).replace('\'', '"');
}
QTemporaryDir home;
} // namespace

class TestCatalogue : public QObject {
    Q_OBJECT

    static QByteArray linkTarget(const QString &path)
    {
        char target[4096];
        const ssize_t n = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
        return n > 0 ? QByteArray(target, n) : QByteArray();
    }

    static QStringList logMessages()
    {
        return logMessagesIn(home.filePath(u"helper.log"_s));
    }

  private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(openLog(home.filePath(u"helper.log"_s), nullptr));
    }

    void init()
    {
        QDir(modelDir()).removeRecursively();
    }

    // The active model is where current.bin points; switching it is one rename.
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
    // The hub's listing as it comes, and as it must not break us.
    void listing_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("usable");
        QTest::addColumn<QStringList>("models"); // "name size"
        QTest::addColumn<QStringList>("checksums");
        QTest::addColumn<bool>("parakeet"); // read as the Parakeet repository's listing

        const QByteArray sha(64, 'a');
        QTest::newRow("as the hub answers")
            << QByteArray(
                   q("[{'type':'directory','oid':'x','size':0,'path':'coreml'},\n                 "
                     "{'type':'file','oid':'y','size':77691713,'path':'ggml-tiny.bin',\n           "
                     "       'lfs':{'oid':'") +
                   sha +
                   q("','size':77691713,'pointerSize':134}},\n                 "
                     "{'type':'file','size':1,'path':'README.md'}]"))
            << true << QStringList{"tiny 77691713"} << QStringList{"tiny"} << false;
        QTest::newRow("quantised, english")
            << QByteArray(q("[{'path':'ggml-large-v3-turbo-q5_0.bin','size':574041195},{'path':'"
                            "ggml-base.en.bin','size':1.5e8}]"))
            << true << QStringList{"large-v3-turbo-q5_0 574041195", "base.en 150000000"}
            << QStringList() << false;
        QTest::newRow("size missing or a string")
            << QByteArray(q(
                   "[{'path':'ggml-a.bin'},{'path':'ggml-b.bin','size':'12'},{'path':5,'size':1}]"))
            << true << QStringList() << QStringList() << false;
        QTest::newRow("size beyond 64 bits")
            << q("[{'path':'ggml-a.bin','size':1e23},{'path':'ggml-b.bin','size':-1}]") << true
            << QStringList{u"b -1"_s} << QStringList() << false;
        QTest::newRow("checksum not hex")
            << QByteArray(q("[{'path':'ggml-a.bin','size':1,'lfs':{'oid':'zz'}}]")) << true
            << QStringList{u"a 1"_s} << QStringList() << false;
        QTest::newRow("not JSON") << QByteArray("<html>502</html>") << false << QStringList()
                                  << QStringList() << false;
        QTest::newRow("an object") << QByteArray(q("{'error':'Repository not found'}")) << false
                                   << QStringList() << QStringList() << false;
        QTest::newRow("one element not an object")
            << QByteArray(q("[{'path':'ggml-a.bin','size':1},3]")) << false << QStringList()
            << QStringList() << false;
        QTest::newRow("empty array")
            << QByteArray("[]") << true << QStringList() << QStringList() << false;
        const QByteArray both = q("[{'path':'ggml-tiny.bin','size':1},"
                                  "{'path':'ggml-parakeet-tdt-0.6b-v3-q8_0.bin','size':2}]");
        QTest::newRow("whisper's repository: whisper models only")
            << both << true << QStringList{u"tiny 1"_s} << QStringList() << false;
        QTest::newRow("Parakeet's repository: Parakeet models only")
            << both << true << QStringList{u"parakeet-tdt-0.6b-v3-q8_0 2"_s} << QStringList()
            << true;
    }
    void listing()
    {
        QFETCH(QByteArray, body);
        QFETCH(bool, parakeet);
        const std::optional<ModelListing> listing =
            parseModelListing(body, parakeet ? ModelEngine::Parakeet : ModelEngine::Whisper);
        QTEST(listing.has_value(), "usable");
        QStringList models;
        if (listing)
            for (const ModelEntry &m : listing->models)
                models << u"%1 %2"_s.arg(m.name).arg(m.size);
        QTEST(models, "models");
        QTEST(listing ? QStringList(listing->sha256.keys()) : QStringList(), "checksums");
    }

    // Installed files join the catalogue; the order is size, then name.
    void mergeAndOrder()
    {
        QDir().mkpath(modelDir());
        QFile custom(modelDir() + u"/ggml-custom.bin"_s);
        QVERIFY(custom.open(QIODevice::WriteOnly));
        custom.write("0123456789");
        custom.close();
        QFile::link(u"/nowhere"_s, modelDir() + u"/ggml-dangling.bin"_s);
        QFile::link(modelDir() + u"/ggml-custom.bin"_s, modelDir() + u"/current.bin"_s);
        QFile(modelDir() + u"/ggml-tiny.bin"_s).open(QIODevice::WriteOnly);

        const QList<ModelEntry> merged = mergedWithInstalledModels(
            {{"base.en", 142 * MB}, {"tiny", 75 * MB}, {"base", 142 * MB}});
        QStringList names;
        for (const ModelEntry &m : merged)
            names << m.name;
        // A link counts with its own size (a dangling one too): 8 bytes of "/nowhere".
        QCOMPARE(names, (QStringList{"dangling", "custom", "tiny", "base", "base.en"}));
        QCOMPARE(merged[1].size, 10);
        QCOMPARE(merged[2].size, 75 * MB); // the listed size, not the file's
        QCOMPARE(mergedWithInstalledModels(fallbackModels).mid(2), fallbackModels);
    }

    // What choosing a model does, from what is installed, active and downloading.
    void choose_data()
    {
        QTest::addColumn<QString>("downloading"); // started first; empty: none
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("active");
        QTest::newRow("installed") << QString() << u"custom"_s
                                   << QStringList{u"Model switched to custom"_s} << u"custom"_s;
        QTest::newRow("the current one: nothing")
            << QString() << u"tiny"_s << QStringList() << u"tiny"_s;
        QTest::newRow("not installed: downloaded, and a 404 fails it")
            << QString() << u"base"_s
            << QStringList{u"Downloading model base"_s,
                           u"ERROR: model download failed: The server responded with HTTP 404."_s}
            << u"tiny"_s;
        QTest::newRow("during a download: cancelled, then switched")
            << u"base"_s << u"custom"_s
            << QStringList{u"Downloading model base"_s, u"Download of model base cancelled"_s,
                           u"Model switched to custom"_s}
            << u"custom"_s;
    }
    void choose()
    {
        QFETCH(QString, downloading);
        QFETCH(QString, chosen);
        QFETCH(QStringList, lines);
        HttpStub hub;
        hub.respond = [](const QByteArray &) { return HttpStub::ok({}, "404 Not Found"); };
        qputenv("HF_ENDPOINT", hub.address().toUtf8());
        QDir().mkpath(modelDir());
        for (const char *name : {"tiny", "custom"})
            QFile(modelDir() + u"/ggml-%1.bin"_s.arg(name)).open(QIODevice::WriteOnly);
        QVERIFY(activateModel(u"tiny"_s));
        const QString log = home.filePath(u"helper.log"_s);
        QVERIFY(openLog(log, nullptr)); // afresh
        ModelCatalogue catalogue(hub.address());
        if (!downloading.isEmpty())
            catalogue.startDownload(downloading);
        QSignalSpy failed(&catalogue, &ModelCatalogue::downloadFailed);
        catalogue.chooseModel(chosen);
        QTRY_VERIFY(!catalogue.downloadingModel());
        QCOMPARE(logMessagesIn(log), lines);
        QCOMPARE(failed.size(), lines.filter(u"ERROR"_s).size());
        QTEST(activeModel().value_or(QString()), "active");
    }

    void formatBytes_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("tiny") << qint64(78643200) << u"75 MB"_s;
        QTest::newRow("just under 1 GB") << qint64(1073741823) << u"1023 MB"_s;
        QTest::newRow("1 GB") << qint64(1073741824) << u"1.0 GB"_s;
        QTest::newRow("turbo") << qint64(1624244224) << u"1.5 GB"_s;
    }
    void formatBytes()
    {
        QFETCH(qint64, bytes);
        QTEST(parlotta::formatBytes(bytes), "text");
    }

    // A model file's head says which library it is for; the servers refuse the other's.
    void modelFileEngine_data()
    {
        QTest::addColumn<QList<int>>("fields"); // after the magic
        QTest::addColumn<int>("engine");
        // whisper: 11 header fields, then the filters' mel count (80) and FFT bins
        const QList<int> whisper = {51865, 1500, 384, 6,   4, 448, 384, 6, 4,
                                    80,    1,    80,  201, 0, 0,   0,   0};
        // Parakeet: 15 header fields, then the same
        const QList<int> parakeet = {8192, 5000, 1024, 8, 24, 128, 1,   512, 8,
                                     256,  9,    640,  2, 5,  10,  128, 257};
        QTest::newRow("whisper") << whisper << int(ModelEngine::Whisper);
        QTest::newRow("parakeet") << parakeet << int(ModelEngine::Parakeet);
        QList<int> mismatched = whisper;
        mismatched[11] = 128;
        QTest::newRow("mel counts disagree") << mismatched << int(ModelEngine::Unknown);
        QTest::newRow("cut short") << whisper.mid(0, 8) << int(ModelEngine::Unknown);
        QList<int> noVocabulary = parakeet;
        noVocabulary[0] = 0;
        QTest::newRow("no vocabulary") << noVocabulary << int(ModelEngine::Unknown);
    }
    void modelFileEngine()
    {
        QFETCH(QList<int>, fields);
        QByteArray head("lmgg"); // 0x67676d6c, little-endian
        for (const int field : fields)
            head.append(reinterpret_cast<const char *>(&field), sizeof field);
        QTEST(int(modelEngineFromHead(std::string_view(head.constData(), head.size()))), "engine");
        head[0] = 'x';
        QCOMPARE(modelEngineFromHead(std::string_view(head.constData(), head.size())),
                 ModelEngine::Unknown);
    }

    // What the list says of a model, on a computer with a GPU or without one.
    void description_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("gpu");
        QTest::addColumn<double>("measured"); // seconds per 5 s; 0: never measured
        QTest::addColumn<QString>("text");
        const QString parakeet = u"Parakeet: fast on a CPU (it encodes only what was said), more "
                                 "accurate than large-v3-turbo · "_s;
        QTest::newRow("recommended with a GPU")
            << u"large-v3-turbo"_s << true << 0.0
            << u"Near large-v3 accuracy, much faster · All languages · recommended"_s;
        QTest::newRow("turbo without a GPU")
            << u"large-v3-turbo"_s << false << 0.0
            << u"Near large-v3 accuracy, much faster · All languages"_s;
        QTest::newRow("english") << u"tiny.en"_s << false << 0.0
                                 << u"Fastest, least accurate · English only"_s;
        QTest::newRow("q5 english") << u"medium.en-q5_0"_s << false << 0.0
                                    << u"Slower, high accuracy · compressed (q5) · English only"_s;
        QTest::newRow("unknown") << u"small.en-tdrz"_s << false << 0.0 << u"All languages"_s;
        QTest::newRow("parakeet recommended without a GPU, measured")
            << u"parakeet-tdt-0.6b-v3-q8_0"_s << false << 0.61
            << parakeet + u"compressed (q8) · 25 European languages, found by itself · about "
                          "0.6 s per 5 s of speech here · recommended"_s;
        QTest::newRow("parakeet v2 with a GPU")
            << u"parakeet-tdt-0.6b-v2-f16"_s << true << 12.4
            << parakeet + u"English only · about 12 s per 5 s of speech here"_s;
    }
    void description()
    {
        QFETCH(QString, name);
        QFETCH(bool, gpu);
        QFETCH(double, measured);
        QTEST(modelDescription(name, recommendedModel(gpu),
                               measured > 0 ? std::optional(measured) : std::nullopt),
              "text");
    }
};

int main(int argc, char *argv[])
{
    qputenv("HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    TestCatalogue test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_catalogue.moc"

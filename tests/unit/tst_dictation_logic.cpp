#include "dictation/gates.h"
#include "dictation/multipart.h"
#include "platform/terminal_classes.h"
#include "platform/wav.h"

#include <QTest>
#include <QtEndian>
#include <cmath>
#include <limits>
#include <vector>

using namespace Qt::StringLiterals;

using namespace parlotta;

namespace {
const float notANumber = std::numeric_limits<float>::quiet_NaN();
}

class TestDictationLogic : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void preUploadGates_data()
    {
        QTest::addColumn<double>("duration");
        QTest::addColumn<float>("level");
        QTest::addColumn<QString>("line");
        QTest::newRow("0.49 s, loud")
            << 0.49 << -10.0f << u"Recording too short (0.49s), skipping"_s;
        QTest::newRow("0.50 s goes on") << 0.5 << -10.0f << QString();
        QTest::newRow("silence") << 2.0 << -160.0f
                                 << u"Audio too quiet (best avg -160.0 dB), skipping"_s;
        QTest::newRow("-52.34 dB rounds")
            << 2.0 << -52.34f << u"Audio too quiet (best avg -52.3 dB), skipping"_s;
        QTest::newRow("-50.0 dB passes") << 2.0 << -50.0f << QString();
        QTest::newRow("NaN duration passes") << double(notANumber) << -10.0f << QString();
        QTest::newRow("NaN level passes") << 2.0 << notANumber << QString();
    }

    void preUploadGates()
    {
        QFETCH(double, duration);
        QFETCH(float, level);
        QFETCH(QString, line);
        const std::optional<QString> rejected =
            durationGate(duration) ? durationGate(duration) : levelGate(level);
        QCOMPARE(rejected.value_or(QString()), line);
    }

    void answerGates_data()
    {
        QTest::addColumn<QString>("transcript");
        QTest::addColumn<float>("level");
        QTest::addColumn<QString>("line");
        const QString blank = u"Blank audio, skipping paste"_s;
        const QString hallucination = QStringLiteral(
            "Likely hallucination on quiet audio (best avg -30.0 dB), skipping paste");
        QTest::newRow("empty") << QString() << -30.0f << blank;
        QTest::newRow("marker") << u"[BLANK_AUDIO]"_s << -30.0f << blank;
        QTest::newRow("lower-case marker is text") << u"[blank_audio]"_s << -30.0f << QString();
        QTest::newRow("thank you, quiet") << u"Thank you."_s << -30.0f << hallucination;
        QTest::newRow("thank you at -16.0") << u"Thank you."_s << -16.0f << QString();
        QTest::newRow("shouted with spaces") << u"THANK   YOU!"_s << -30.0f << hallucination;
        QTest::newRow("hyphen joins") << u"Thank-you"_s << -30.0f << QString();
        QTest::newRow("you") << u"you"_s << -30.0f << hallucination;
        QTest::newRow("you know") << u"You know"_s << -30.0f << QString();
        QTest::newRow("line break is no separator") << u"thank\nyou"_s << -30.0f << QString();
        QTest::newRow("Dutch credit")
            << u"Ondertiteling door de Amara.org gemeenschap"_s << -30.0f << hallucination;
        QTest::newRow("Dutch credit, other verb")
            << u"Ondertiteld door de Amara.org gemeenschap"_s << -30.0f << hallucination;
        QTest::newRow("German credit")
            << u"Untertitel der Amara.org-Community"_s << -30.0f << hallucination;
        QTest::newRow("Dutch thanks") << u"Bedankt voor het kijken!"_s << -30.0f << hallucination;
        QTest::newRow("Unicode quotes and dashes")
            << u"\u201cThank you\u2014\u201d \u00bfyou?"_s << -30.0f << QString();
        QTest::newRow("Unicode punctuation around")
            << u"\u00a1\u201cThanks for watching\u2026\u201d"_s << -30.0f << hallucination;
        QTest::newRow("NaN level") << u"Thank you."_s << notANumber << QString();
    }

    void answerGates()
    {
        QFETCH(QString, transcript);
        QFETCH(float, level);
        QFETCH(QString, line);
        std::optional<QString> rejected = blankGate(transcript);
        if (!rejected)
            rejected = hallucinationGate(transcript, level);
        QCOMPARE(rejected.value_or(QString()), line);
    }

    void multipartBody_data()
    {
        QTest::addColumn<QString>("language");
        QTest::addColumn<QByteArray>("tail");
        QTest::newRow("auto: two parts") << u"auto"_s << QByteArray();
        QTest::newRow("nl: three parts")
            << u"nl"_s
            << "--B\r\nContent-Disposition: form-data; name=\"language\"\r\n\r\nnl\r\n"_ba;
        QTest::newRow("unknown code sent as stored")
            << u"x\u00ff"_s
            << QByteArray(
                   "--B\r\nContent-Disposition: form-data; name=\"language\"\r\n\r\nx\xc3\xbf\r\n");
    }

    void multipartBody()
    {
        QFETCH(QString, language);
        QFETCH(QByteArray, tail);
        const QByteArray wav("RIFF\0\r\n--B\r\n", 13); // the file's bytes go in untouched
        const QByteArray expected =
            "--B\r\nContent-Disposition: form-data; name=\"file\"; filename=\"recording.wav\"\r\n"
            "Content-Type: audio/wav\r\n\r\n" +
            wav +
            "\r\n--B\r\nContent-Disposition: form-data; name=\"response_format\"\r\n\r\ntext\r\n" +
            tail + "--B--\r\n";
        QCOMPARE(inferenceBody(u"B"_s, wav, language), expected);
    }

    void transcriptFromAnswer_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("transcript");
        QTest::newRow("leading space, trailing line feed")
            << QByteArray(" Hello world.\n") << u"Hello world."_s;
        QTest::newRow("two segments") << QByteArray(" Hello.\n World.\n") << u"Hello.\n World."_s;
        QTest::newRow("not UTF-8") << QByteArray("abc \xff def") << QString();
        QTest::newRow("UTF-8") << QByteArray(" caf\xc3\xa9 \xe2\x86\x92\r\n")
                               << u"caf\u00e9 \u2192"_s;
    }

    void transcriptFromAnswer()
    {
        QFETCH(QByteArray, body);
        QTEST(transcriptFromBody(body), "transcript");
    }

    void averagePower_data()
    {
        QTest::addColumn<int>("amplitude");
        QTest::addColumn<bool>("sine");
        QTest::addColumn<float>("db");
        QTest::newRow("digital silence") << 0 << false << -160.0f;
        QTest::newRow("full-scale square") << 32767 << false << 0.0f;
        QTest::newRow("full-scale sine") << 32767 << true << -3.01f;
        QTest::newRow("half-scale square") << 16384 << false << -6.02f;
        QTest::newRow("one step") << 1 << false << -90.31f;
    }

    void averagePower()
    {
        QFETCH(int, amplitude);
        QFETCH(bool, sine);
        QFETCH(float, db);
        std::vector<std::int16_t> samples(1600);
        for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = std::int16_t(
                sine ? std::lround(amplitude * std::sin(2 * M_PI * 400 * double(i) / 16000))
                     : (i % 2 ? amplitude : -amplitude));
        QVERIFY(std::abs(averagePowerDb(samples.data(), samples.size()) - db) < 0.05f);
        QCOMPARE(averagePowerDb(samples.data(), 0), -160.0f);
    }

    void pasteKeystrokeByWindowClass_data()
    {
        using K = KeyInjector::Keystroke;
        QTest::addColumn<QByteArray>("instance");
        QTest::addColumn<QByteArray>("className");
        QTest::addColumn<K>("keystroke");
        QTest::newRow("xterm") << QByteArray("xterm") << QByteArray("XTerm") << K::ShiftInsert;
        QTest::newRow("Eterm by class") << QByteArray("x") << QByteArray("Eterm") << K::ShiftInsert;
        QTest::newRow("gnome") << QByteArray("gnome-terminal-server")
                               << QByteArray("Gnome-terminal") << K::ControlShiftV;
        QTest::newRow("konsole by class")
            << QByteArray("x") << QByteArray("konsole") << K::ControlShiftV;
        QTest::newRow("editor") << QByteArray("gedit") << QByteArray("Gedit") << K::ControlV;
        QTest::newRow("nothing") << QByteArray() << QByteArray() << K::ControlV;
    }

    void pasteKeystrokeByWindowClass()
    {
        QFETCH(QByteArray, instance);
        QFETCH(QByteArray, className);
        QTEST(pasteKeystrokeForWindowClass(instance, className), "keystroke");
    }
};

QTEST_APPLESS_MAIN(TestDictationLogic)
#include "tst_dictation_logic.moc"
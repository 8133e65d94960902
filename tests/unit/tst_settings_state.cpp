// What each section of the settings window shows, decided from the stored
// settings and the daemon's facts alone.
#include "fake_platform.h"
#include "settings/settings_state.h"

#include <QTest>

using namespace parlotta;
using namespace Qt::StringLiterals;

class TestSettingsState : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void initTestCase()
    {
        fake::reset();
    }

    void hotkeySection_data()
    {
        QTest::addColumn<qint64>("hotkey");
        QTest::addColumn<bool>("capturing");
        QTest::addColumn<bool>("listener"); // a key listener runs
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<qint64>("silence"); // as stored; -1: absent
        QTest::addColumn<bool>("wayland");
        QTest::addColumn<bool>("inputGroup"); // reading keyboards directly, in the input group
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("clearable");
        QTest::addColumn<bool>("warning"); // "Grant Accessibility Access…" and the refusal
        QTest::addColumn<int>("silenceShown");
        QTest::addColumn<bool>("groupNote");
        QTest::newRow("right Alt")
            << qint64(61) << false << true << QString() << qint64(-1) << false << true
            << u"Right Alt"_s << true << false << 0 << false;
        QTest::newRow("waiting for a key")
            << qint64(61) << true << true << QString() << qint64(-1) << false << true
            << u"Press a key…"_s << false << false << 0 << false;
        QTest::newRow("none: a refusal of the old one is not shown")
            << qint64(hotkeyNone) << false << true << u"taken"_s << qint64(-1) << false << true
            << u"Record Hotkey"_s << false << false << 0 << false;
        QTest::newRow("refused by the desktop")
            << qint64(61) << false << true << u"taken"_s << qint64(-1) << false << true
            << u"Right Alt"_s << true << true << 0 << false;
        QTest::newRow("no key listener")
            << qint64(61) << false << false << QString() << qint64(4) << false << true
            << u"Right Alt"_s << true << true << 4 << false;
        QTest::newRow("silence past the range")
            << qint64(61) << false << true << QString() << qint64(99) << false << true
            << u"Right Alt"_s << true << false << 10 << false;
        QTest::newRow("negative silence")
            << qint64(61) << false << true << QString() << qint64(-5) << false << true
            << u"Right Alt"_s << true << false << 0 << false;
        QTest::newRow("Wayland, outside the input group")
            << qint64(61) << false << true << QString() << qint64(-1) << true << false
            << u"Right Alt"_s << true << false << 0 << true;
    }
    void hotkeySection()
    {
        QFETCH(qint64, hotkey);
        QFETCH(qint64, silence);
        QFETCH(bool, wayland);
        QFETCH(bool, inputGroup);
        SettingsInputs in;
        in.hotkey = hotkey;
        QFETCH(bool, capturing);
        in.capturing = capturing;
        QFETCH(bool, listener);
        in.keyListenerActive = listener;
        QFETCH(QString, refusal);
        in.refusal = refusal;
        if (silence != -1)
            in.silenceSeconds = silence;
        in.wayland = wayland;
        in.readKeyboard = wayland;
        in.mayReadKeyboards = inputGroup;
        const HotkeySection out = parlotta::hotkeySection(in);
        QTEST(out.text, "text");
        QTEST(out.clearable, "clearable");
        QTEST(out.accessibilityShown, "warning");
        QTEST(out.silenceSeconds, "silenceShown");
        QCOMPARE(out.directKeyboardOffered, wayland);
        QTEST(out.directKeyboardAbout.contains(u"input group"_s), "groupNote");
    }

    void transcriptionSection_data()
    {
        QTest::addColumn<int>("engine"); // TranscriptionEngine
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("accepted"); // plain http accepted for
        QTest::addColumn<QString>("vocabulary");
        QTest::addColumn<QString>("serverHint"); // how it begins
        QTest::addColumn<QString>("consent");
        QTest::addColumn<bool>("modelShown");
        QTest::addColumn<QString>("vocabularyNote"); // a part of the vocabulary's hint
        const int whisper = int(TranscriptionEngine::Whisper);
        const int parakeet = int(TranscriptionEngine::Parakeet);
        const int remote = int(TranscriptionEngine::Remote);
        QTest::newRow("an OpenAI-compatible server")
            << remote << u"https://api.example.com/v1"_s << QString() << u"Kubernetes"_s
            << u"An OpenAI-compatible server: recordings go to https://api.example.com/v1/audio/transcriptions"_s
            << QString() << true << u"whisper is told of them"_s;
        QTest::newRow("a whisper.cpp server")
            << remote << u"https://box.example:8178"_s << QString() << QString()
            << u"A whisper.cpp server: recordings go to https://box.example:8178/inference"_s
            << QString() << false << u"whisper is told of them"_s;
        QTest::newRow("plain http elsewhere, not accepted")
            << remote << u"http://192.0.2.7:8178"_s << QString() << QString()
            << u"Plain http sends your recordings"_s
            << u"Send recordings to http://192.0.2.7:8178 unencrypted"_s << false << QString();
        QTest::newRow("plain http accepted")
            << remote << u"http://192.0.2.7:8178"_s << u"http://192.0.2.7:8178"_s << QString()
            << u"A whisper.cpp server"_s
            << u"Send recordings to http://192.0.2.7:8178 unencrypted"_s << false << QString();
        QTest::newRow("Parakeet sends no vocabulary")
            << parakeet << QString() << QString() << u"Kubernetes"_s << u"Enter the server's"_s
            << QString() << false << u"Parakeet models take no vocabulary"_s;
        QTest::newRow("a vocabulary past whisper's prompt")
            << whisper << QString() << QString() << QString(600, u'x').replace(500, 1, u' ')
            << u"Enter the server's"_s << QString() << false << u"are not sent."_s;
    }
    void transcriptionSection()
    {
        QFETCH(int, engine);
        QFETCH(QString, address);
        QFETCH(QString, accepted);
        QFETCH(QString, vocabulary);
        SettingsInputs in;
        in.target.engine = TranscriptionEngine(engine);
        in.target.sendsPrompt = in.target.engine != TranscriptionEngine::Parakeet;
        in.serverAddress = address;
        in.plainHttpAccepted = accepted;
        in.vocabulary = vocabulary;
        const TranscriptionSection out = parlotta::transcriptionSection(in);
        QFETCH(QString, serverHint);
        QVERIFY2(out.serverHint.startsWith(serverHint), qPrintable(out.serverHint));
        QTEST(out.plainHttpConsent, "consent");
        QTEST(out.serverModelShown, "modelShown");
        QCOMPARE(out.remoteServer, in.target.engine == TranscriptionEngine::Remote);
        QFETCH(QString, vocabularyNote);
        QVERIFY2(out.vocabularyHint.contains(vocabularyNote), qPrintable(out.vocabularyHint));
    }

    void microphoneSection_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QStringList>("titles");
        QTest::addColumn<int>("current");
        QTest::newRow("the default")
            << QString() << QStringList{u"System default"_s, u"Headset"_s, u"mic2"_s} << 0;
        QTest::newRow("one plugged in")
            << u"mic2"_s << QStringList{u"System default"_s, u"Headset"_s, u"mic2"_s} << 2;
        QTest::newRow("chosen once, unplugged now")
            << u"usb-mic"_s
            << QStringList{u"System default"_s, u"Headset"_s, u"mic2"_s,
                           u"usb-mic (not connected)"_s}
            << 3;
    }
    void microphoneSection()
    {
        QFETCH(QString, chosen);
        // A source without a description shows its name.
        const MicrophoneSection out = parlotta::microphoneSection(
            {{u"alsa_input.headset"_s, u"Headset"_s}, {u"mic2"_s, QString()}}, chosen);
        QStringList titles;
        for (const MicrophoneEntry &entry : out.entries)
            titles.append(entry.title);
        QTEST(titles, "titles");
        QTEST(out.current, "current");
        QCOMPARE(out.entries.value(out.current).source, chosen);
    }

    // A rule is offered for the applications dictated into lately that have
    // none (names whatever their case); the hint names the languages known.
    void textSection()
    {
        SettingsInputs in;
        in.recentApplications = {u"kitty"_s, u"firefox"_s, u"Chat"_s};
        in.text.rules = {{u"KITTY"_s}, {u"slack"_s}};
        const TextSection out = parlotta::textSection(in);
        QCOMPARE(out.offered, (QStringList{u"firefox"_s, u"Chat"_s}));
        QVERIFY2(out.commandsHint.startsWith(u"Command and filler words in English, German"_s) &&
                     out.commandsHint.contains(u"Portuguese and Dutch,"_s),
                 qPrintable(out.commandsHint));
    }
};

QTEST_GUILESS_MAIN(TestSettingsState)
#include "tst_settings_state.moc"

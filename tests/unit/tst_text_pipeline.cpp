// What gets typed: each rule of the text pipeline, their order, the
// languages, word boundaries, punctuation kept, and a transcript no rule
// applies to delivered byte for byte.
#include "dictation/text_pipeline.h"

#include <QTest>

using namespace parlotta;
using namespace Qt::StringLiterals;

class TestTextPipeline : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void processTranscript_data()
    {
        QTest::addColumn<QString>("transcript");
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("settings");         // the switches turned on
        QTest::addColumn<QStringList>("replacements"); // spoken=typed
        QTest::addColumn<QString>("rules");            // as stored
        QTest::addColumn<QString>("application");
        QTest::addColumn<bool>("terminal");
        QTest::addColumn<QString>("previous"); // the dictation continued; empty: none
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("enter");
        QTest::addColumn<int>("paste"); // PasteKey
        const QString defaults = u"fillers lines"_s;
        const QStringList none;
        const int automatic = int(PasteKey::Automatic);
        const auto row = [&](const char *name, const QString &transcript, const QString &language,
                             const QString &settings, const QString &text,
                             const QStringList &replacements = {}) {
            QTest::newRow(name) << transcript << language << settings << replacements << QString()
                                << QString() << false << QString() << text << false << automatic;
        };
        row("nothing applies: byte for byte", u"Hello,  world!  "_s, u"en"_s, defaults,
            u"Hello,  world!  "_s);
        row("filler first: the capital carried", u"Um, so we meet today."_s, u"en"_s, defaults,
            u"So we meet today."_s);
        row("filler between commas", u"I think, uh, we should go."_s, u"en"_s, defaults,
            u"I think, we should go."_s);
        row("filler before the full stop", u"That is all um."_s, u"en"_s, defaults,
            u"That is all."_s);
        row("a word that starts like a filler", u"The umbrella, uhm, is here."_s, u"en"_s, defaults,
            u"The umbrella, is here."_s);
        row("German: er is a word there", u"Er hat äh recht."_s, u"de"_s, defaults,
            u"Er hat recht."_s);
        row("detected language: no filler that is a word", u"Er sagte ähm ja, er kommt."_s,
            u"auto"_s, defaults, u"Er sagte ja, er kommt."_s);
        row("fillers off", u"Um, so."_s, u"en"_s, u"lines"_s, u"Um, so."_s);
        row("only fillers: nothing to type", u"Um... uh."_s, u"en"_s, defaults, QString());
        row("new paragraph: the engine's punctuation around it",
            u"Dear Anna. New paragraph. Thanks for the call."_s, u"en"_s, defaults,
            u"Dear Anna.\n\nThanks for the call."_s);
        row("new line after a comma", u"First item, new line, second item"_s, u"en"_s, defaults,
            u"First item\nsecond item"_s);
        row("never inside a word", u"The newline character, a new liner."_s, u"en"_s, defaults,
            u"The newline character, a new liner."_s);
        row("spoken punctuation off by default", u"Hello comma world"_s, u"en"_s, defaults,
            u"Hello comma world"_s);
        row("spoken punctuation", u"Hello comma world period"_s, u"en"_s, u"lines punctuation"_s,
            u"Hello, world."_s);
        row("the engine's mark after a spoken one", u"Is it done question mark?"_s, u"en"_s,
            u"punctuation"_s, u"Is it done?"_s);
        row("German commands", u"Hallo Komma wie geht's Fragezeichen neuer Absatz gut."_s, u"de"_s,
            u"lines punctuation"_s, u"Hallo, wie geht's?\n\nGut."_s);
        row("detected language: every line command, English punctuation",
            u"Er lag im coma neue Zeile gut comma"_s, u"auto"_s, u"lines punctuation"_s,
            u"Er lag im coma\ngut,"_s);
        row("Spanish: the longest command first", u"uno punto y coma dos punto"_s, u"es"_s,
            u"punctuation"_s, u"uno; dos."_s);
        row("a replacement keeps the sentence's punctuation", u"Send it to my address."_s, u"en"_s,
            defaults, u"Send it to 12 Main Street."_s, {u"my address=12 Main Street"_s});
        row("a replacement whatever the case and spacing", u"Send it to My  Address, please"_s,
            u"en"_s, defaults, u"Send it to 12 Main Street, please"_s,
            {u"my address=12 Main Street"_s});
        row("replacements: whole words, never chained", u"The cat and the concatenation, dog."_s,
            u"en"_s, defaults, u"The dog and the concatenation, bird."_s,
            {u"cat=dog"_s, u"dog=bird"_s});
        row("filler out, then a replacement, then a command", u"Um, call Kate new line thanks"_s,
            u"en"_s, defaults, u"Call Cait\nthanks"_s, {u"kate=Cait"_s});

        const auto ruled = [&](const char *name, const QString &transcript, const QString &rules,
                               bool terminal, const QString &text, bool enter, PasteKey paste) {
            QTest::newRow(name) << transcript << u"en"_s << defaults << QStringList{u"cat=dog"_s}
                                << rules << u"kitty"_s << terminal << QString() << text << enter
                                << int(paste);
        };
        ruled("terminal: a line break is a space", u"ls new line pwd"_s, QString(), true,
              u"ls pwd"_s, false, PasteKey::Automatic);
        ruled("terminal whose rule types line breaks", u"ls new line pwd"_s,
              uR"([{"application":"Kitty","line-breaks":true}])"_s, true, u"ls\npwd"_s, false,
              PasteKey::Automatic);
        ruled("rule: Enter after the paste, Ctrl+Shift+V", u"Hello cat"_s,
              uR"([{"application":"kitty","enter":true,"paste":"ctrl+shift+v"}])"_s, false,
              u"Hello dog"_s, true, PasteKey::ControlShiftV);
        ruled("rule: no replacements, no commands", u"Hello cat new line"_s,
              uR"([{"application":"kitty","replacements":false,"commands":false}])"_s, false,
              u"Hello cat new line"_s, false, PasteKey::Automatic);
        ruled("another application's rule does not apply", u"Hello cat"_s,
              uR"([{"application":"firefox","enter":true}])"_s, false, u"Hello dog"_s, false,
              PasteKey::Automatic);

        const auto continued = [&](const char *name, const QString &transcript,
                                   const QString &previous, const QString &text) {
            QTest::newRow(name) << transcript << u"en"_s << defaults << none << QString()
                                << QString() << false << previous << text << false << automatic;
        };
        continued("continues: a space between", u"Let's meet."_s, u"Today."_s, u" Let's meet."_s);
        continued("continues after a line break", u"Let's meet."_s, u"Today.\n"_s,
                  u"Let's meet."_s);
        continued("continues with a comma", u", and more."_s, u"Today"_s, u", and more."_s);
        continued("continues with nothing to type", u"Um."_s, u"Today."_s, QString());
    }

    void processTranscript()
    {
        QFETCH(QString, transcript);
        QFETCH(QString, language);
        QFETCH(QString, settings);
        QFETCH(QStringList, replacements);
        QFETCH(QString, rules);
        QFETCH(QString, application);
        QFETCH(bool, terminal);
        QFETCH(QString, previous);
        TextSettings text;
        text.removeFillers = settings.contains(u"fillers");
        text.lineCommands = settings.contains(u"lines");
        text.spokenPunctuation = settings.contains(u"punctuation");
        for (const QString &pair : replacements)
            text.replacements.append({pair.section(u'=', 0, 0), pair.section(u'=', 1)});
        text.rules = readRules(rules);
        const Delivery delivery = parlotta::processTranscript(
            transcript, language, {application, terminal, !previous.isEmpty(), previous}, text);
        QTEST(delivery.text, "text");
        QTEST(delivery.pressEnter, "enter");
        QTEST(int(delivery.paste), "paste");
    }

    // The lists as stored: what reads comes back as it was; what does not
    // (a hand-edited file) is left out, the rest kept.
    void storedLists()
    {
        const QList<Replacement> replacements = {{u"my address"_s, u"12 Main Street"_s},
                                                 {u"Kate"_s, u"Cait \"K\""_s}};
        QCOMPARE(readReplacements(storedReplacements(replacements)), replacements);
        const QList<ApplicationRule> rules = {
            {u"kitty"_s, PasteKey::ShiftInsert, true, false, true, true},
            {u"org.gnome.Ptyxis"_s, PasteKey::Automatic, false, true, false, false}};
        QCOMPARE(readRules(storedRules(rules)), rules);
        QCOMPARE(readReplacements(uR"([["a","b"],["", "x"],["c"],[1,2],"d",["e","f"]])"_s),
                 (QList<Replacement>{{u"a"_s, u"b"_s}, {u"e"_s, u"f"_s}}));
        QCOMPARE(readRules(uR"([{"application":"a","paste":"hyper+v"},{"application":""},
                                {"application":"A"},{"paste":"ctrl+v"},7])"_s),
                 (QList<ApplicationRule>{{u"a"_s}}));
        QVERIFY(readRules(u"not json"_s).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestTextPipeline)
#include "tst_text_pipeline.moc"

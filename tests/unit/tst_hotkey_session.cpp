// The hotkey session: each row is a run of events with their times and what
// the session asks of the recorder at each.
#include "hotkey/hotkey_session.h"

#include "test_helpers.h"

#include <QTest>

using namespace parlotta;

Q_DECLARE_METATYPE(HotkeyMode)

class TestHotkeySession : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void events_data()
    {
        // Events, each NAME@MS: p r a key's press and release, P R a desktop
        // shortcut's, bp br a binding's (parlotta --press/--release); t
        // --toggle; e Escape; l the screen locked; c another key joined the
        // hotkey; k a silent meter tick, v one with speech; o a recording begun
        // by a signal, x one ended by a signal (nothing asked of the session).
        // Answers, one an event: B begin, S stop, L latch, C cancel, I ignored
        // press, joined by "," when one event asks several; "-" nothing.
        // Limits: hold 5 s, lost release 1 s, early release 0.5 s, 2 s after
        // an automatic stop, cap 60 s.
        QTest::addColumn<HotkeyMode>("mode");
        QTest::addColumn<int>("silence");
        QTest::addColumn<QString>("events");
        QTest::addColumn<QString>("answers");
        QTest::addColumn<QString>("line"); // the last line an action logs; empty: not checked
        const auto hold = HotkeyMode::Hold;
        const auto toggle = HotkeyMode::Toggle;
        const auto both = HotkeyMode::Both;
        QTest::newRow("hold: press talks, release stops")
            << hold << 0 << u"p@0 r@2000"_s << u"B S"_s << QString();
        QTest::newRow("hold: a toggled one (parlotta --toggle) stops at the press")
            << hold << 0 << u"t@0 p@1000 r@1100"_s << u"B,L S -"_s << QString();
        QTest::newRow("toggle: a long press still latches")
            << toggle << 0 << u"p@0 r@2000"_s << u"B L"_s
            << u"Recording until the hotkey is pressed again"_s;
        QTest::newRow("toggle: the next press stops, its release does nothing")
            << toggle << 3 << u"p@0 r@100 p@3000 r@3100"_s << u"B L S -"_s << QString();
        QTest::newRow("both: a tap latches") << both << 3 << u"p@0 r@329"_s << u"B L"_s
                                             << u"Recording until the hotkey is pressed again or "
                                                "3 s of silence"_s;
        QTest::newRow("both: a hold talks") << both << 0 << u"p@0 r@330"_s << u"B S"_s << QString();
        QTest::newRow("keyboard: one press a hold")
            << hold << 0 << u"p@0 p@3000 r@3100"_s << u"B - S"_s << QString();
        QTest::newRow("desktop: repeats while held change nothing")
            << hold << 0 << u"P@0 P@300 P@600 P@900 R@1000"_s << u"B - - - S"_s << QString();
        QTest::newRow("desktop: a press long after the last, the release lost")
            << hold << 0 << u"P@0 P@3000 R@3100"_s << u"B S,B S"_s
            << u"No release of the hotkey seen before this press, stopping as if released"_s;
        QTest::newRow("desktop, toggle: a lost release changes nothing")
            << toggle << 0 << u"P@0 P@3000 R@3100"_s << u"B L,S -"_s << QString();
        QTest::newRow("desktop: a hold past the limit ends as a release would")
            << hold << 0 << u"P@0 k@4900 k@5000 R@9000"_s << u"B - S -"_s
            << u"No release of the hotkey seen for 5 s, stopping as if released"_s;
        QTest::newRow("binding: a press whose release never comes")
            << hold << 0 << u"bp@0 k@5000 br@90000"_s << u"B S -"_s
            << u"No release of the hotkey seen for 5 s, stopping as if released"_s;
        QTest::newRow("binding: a second press follows a lost release")
            << hold << 0 << u"bp@0 bp@2000 br@2100"_s << u"B S,B S"_s << QString();
        QTest::newRow("keyboard: every release comes, no hold limit")
            << hold << 0 << u"p@0 k@5000 k@50000 r@55000"_s << u"B - - S"_s << QString();
        QTest::newRow("binding: the release overtook its press (hold)")
            << hold << 0 << u"br@0 bp@200"_s << u"- B,S"_s << QString();
        QTest::newRow("binding: the release overtook its press (both)")
            << both << 0 << u"br@0 bp@499"_s << u"- B,L"_s << QString();
        QTest::newRow("binding: a release long before its press is not a tap")
            << hold << 0 << u"br@0 bp@500 br@1500"_s << u"- B S"_s << QString();
        QTest::newRow("cap: a held recording stops, its release does nothing")
            << hold << 0 << u"p@0 k@59900 k@60000 r@61000"_s << u"B - S -"_s
            << u"Recording reached the 1-minute limit, stopping"_s;
        QTest::newRow("cap: a toggled recording")
            << toggle << 0 << u"p@0 r@100 k@60000"_s << u"B L S"_s << QString();
        QTest::newRow("cap: a signal's recording")
            << hold << 0 << u"o@0 k@60000"_s << u"- S"_s << QString();
        QTest::newRow("silence after speech stops a toggled recording")
            << toggle << 2 << u"p@0 r@100 v@500 k@1500 k@2400 k@2500"_s << u"B L - - - S"_s
            << u"Silence for 2 s after speech, stopping"_s;
        QTest::newRow("silence before any speech never stops it")
            << toggle << 2 << u"p@0 r@100 k@3000 k@9000"_s << u"B L - -"_s << QString();
        QTest::newRow("silence does not stop a held recording")
            << hold << 2 << u"p@0 v@500 k@5000 r@6000"_s << u"B - - S"_s << QString();
        QTest::newRow("a press just after the silence stop is that stop")
            << toggle << 2 << u"p@0 r@100 v@500 k@2500 p@4000 r@4100 k@9000"_s << u"B L - S I - -"_s
            << u"Recording already stopped (silence)"_s;
        QTest::newRow("a press just after the cap is that stop")
            << toggle << 0 << u"t@0 k@60000 p@61900 r@62000"_s << u"B,L S I -"_s
            << u"Recording already stopped (the 1-minute limit)"_s;
        QTest::newRow("a press well after an automatic stop records")
            << toggle << 2 << u"p@0 r@100 v@500 k@2500 p@4500 r@4600"_s << u"B L - S B L"_s
            << QString();
        QTest::newRow("Escape ends a toggled recording")
            << toggle << 0 << u"p@0 r@100 e@500 e@600"_s << u"B L C -"_s << u"Escape"_s;
        QTest::newRow("Escape leaves a held one alone")
            << hold << 0 << u"p@0 e@100 r@200"_s << u"B - S"_s << QString();
        QTest::newRow("a lock cancels a held recording, its release does nothing")
            << hold << 0 << u"p@0 l@100 r@200"_s << u"B C -"_s << u"the screen was locked"_s;
        QTest::newRow("a lock cancels a toggled recording")
            << toggle << 0 << u"p@0 r@100 l@500"_s << u"B L C"_s << QString();
        QTest::newRow("a lock leaves a signal's recording alone")
            << hold << 0 << u"o@0 l@100"_s << u"- -"_s << QString();
        QTest::newRow("another key joined the hotkey")
            << hold << 0 << u"p@0 c@100"_s << u"B C"_s << u"hotkey used in a key combination"_s;
        QTest::newRow("a toggled recording stopped by a signal is no longer toggled")
            << toggle << 0 << u"p@0 r@100 x@200 p@300 r@400"_s << u"B L - B L"_s << QString();
    }
    void events()
    {
        QFETCH(HotkeyMode, mode);
        QFETCH(int, silence);
        QFETCH(QString, events);
        QFETCH(QString, line);
        HotkeySession session;
        session.limits = {std::chrono::seconds(5), std::chrono::seconds(1),
                          std::chrono::milliseconds(500), std::chrono::seconds(2), 60};
        bool recording = false;
        qint64 startedAt = 0;
        float peak = -160.0f;
        QStringList answers;
        QString lastLine;
        for (const QString &token : events.split(u' ')) {
            const QString name = token.section(u'@', 0, 0);
            const qint64 at = token.section(u'@', 1).toLongLong();
            HotkeyEvent event;
            event.at = std::chrono::milliseconds(at);
            static const QHash<QString, std::pair<HotkeyEvent::Kind, KeySource>> kinds = {
                {u"p"_s, {HotkeyEvent::Press, KeySource::Keyboard}},
                {u"r"_s, {HotkeyEvent::Release, KeySource::Keyboard}},
                {u"P"_s, {HotkeyEvent::Press, KeySource::Desktop}},
                {u"R"_s, {HotkeyEvent::Release, KeySource::Desktop}},
                {u"bp"_s, {HotkeyEvent::Press, KeySource::Bus}},
                {u"br"_s, {HotkeyEvent::Release, KeySource::Bus}},
                {u"t"_s, {HotkeyEvent::Toggle, KeySource::Bus}},
                {u"e"_s, {HotkeyEvent::Escape, KeySource::Keyboard}},
                {u"l"_s, {HotkeyEvent::Lock, KeySource::Keyboard}},
                {u"c"_s, {HotkeyEvent::Combo, KeySource::Keyboard}},
                {u"k"_s, {HotkeyEvent::Tick, KeySource::Keyboard}},
                {u"v"_s, {HotkeyEvent::Tick, KeySource::Keyboard}},
            };
            if (name == u"o" || name == u"x") {
                recording = name == u"o";
                startedAt = at;
                answers << u"-"_s;
                continue;
            }
            QVERIFY2(kinds.contains(name), qPrintable(token));
            std::tie(event.kind, event.source) = kinds.value(name);
            event.recording = recording;
            event.level = name == u"v" ? -20.0f : -70.0f;
            peak = std::max(peak, event.level);
            event.peak = peak;
            event.seconds = double(at - startedAt) / 1000;
            QStringList got;
            for (const HotkeyAction &action : session.handle(event, mode, silence)) {
                got << QString(u"BSLCI"_s[int(action.kind)]);
                if (!action.line.isEmpty())
                    lastLine = action.line;
                if (action.kind == HotkeyAction::Begin && !recording) {
                    recording = true;
                    startedAt = at;
                    peak = -160.0f;
                } else if (action.kind == HotkeyAction::Stop ||
                           action.kind == HotkeyAction::Cancel) {
                    recording = false;
                }
            }
            answers << (got.isEmpty() ? u"-"_s : got.join(u','));
        }
        QTEST(answers.join(u' '), "answers");
        if (!line.isEmpty())
            QCOMPARE(lastLine, line);
    }
};

QTEST_APPLESS_MAIN(TestHotkeySession)
#include "tst_hotkey_session.moc"

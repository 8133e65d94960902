// What gets typed, end to end on X11 with the real whisper-server: spoken
// commands and filler words in a real text area, the rules per application
// (Enter after the paste in one window class, Ctrl+Shift+V in another), a
// terminal that gets no line break, and two dictations in a row spaced.
#include "daemon_process.h"
#include "desktop_helpers.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {

const QString hello = makeSpeech(u"hello world"_s);

// The pastes and Enters a window received: "press KEY MODIFIERS".
QStringList presses(const PasteTarget &target)
{
    QStringList out;
    for (const QString &line : target.keys()) {
        const int key = line.section(u' ', 1, 1).toInt();
        if (line.startsWith(u"press "_s) && (key == Qt::Key_V || key == Qt::Key_Return))
            out.append(line.section(u' ', 0, 2));
    }
    return out;
}

const QString pressV = u"press %1 "_s.arg(int(Qt::Key_V));
const QString controlV = pressV + QString::number(int(Qt::ControlModifier));
const QString controlShiftV =
    pressV + QString::number(int(Qt::ControlModifier | Qt::ShiftModifier));
const QString enter = u"press %1 0"_s.arg(int(Qt::Key_Return));

} // namespace

class TestText : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(!hello.isEmpty());
    }

    // "New paragraph" is two line breaks in a real text area, the filler is
    // gone, and Recent keeps what was typed.
    void commandsAndFillersInATextArea()
    {
        PasteTarget target;
        QVERIFY(target.start({u"--multiline"_s}));
        DaemonProcess daemon;
        daemon.installModel(u"commands"_s);
        QVERIFY(daemon.start());
        QVERIFY(waitForWhisperServer(30000));
        QVERIFY(daemon.dictate(hello, u"Pasted via"_s));
        QTRY_COMPARE(target.text(), u"Dear Anna\n\nThanks for the call."_s);
        QVERIFY(
            daemon.logMessages().contains(u"Typed as: 'Dear Anna\\n\\nThanks for the call.'"_s));
    }

    // A rule per window class: Enter after the paste in one, Ctrl+Shift+V in
    // another; a terminal gets its line breaks as spaces unless its rule says so.
    void rulesPerApplication_data()
    {
        QTest::addColumn<QString>("windowClass");
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("keystrokes");
        QTest::newRow("Enter after the paste")
            << u"Chat"_s << u"hello"_s << u"Hello world.\n"_s << QStringList{controlV, enter};
        QTest::newRow("Ctrl+Shift+V")
            << u"Notes"_s << u"hello"_s << u"Hello world."_s << QStringList{controlShiftV};
        QTest::newRow("a terminal: no line break")
            << u"kitty"_s << u"commands"_s << u"Dear Anna Thanks for the call."_s
            << QStringList{controlShiftV};
        QTest::newRow("a terminal whose rule types line breaks")
            << u"foot"_s << u"commands"_s << u"Dear Anna\n\nThanks for the call."_s
            << QStringList{controlShiftV};
    }

    void rulesPerApplication()
    {
        QFETCH(QString, windowClass);
        QFETCH(QString, model);
        PasteTarget target;
        QVERIFY(target.start({u"--class"_s, windowClass}));
        DaemonProcess daemon;
        daemon.writePreferences(
            "[General]\napplication-rules=\"[{\\\"application\\\":\\\"Chat\\\",\\\"enter\\\":true},"
            "{\\\"application\\\":\\\"Notes\\\",\\\"paste\\\":\\\"ctrl+shift+v\\\"},"
            "{\\\"application\\\":\\\"Foot\\\",\\\"line-breaks\\\":true}]\"\n");
        daemon.installModel(model);
        QVERIFY(daemon.start());
        QVERIFY(waitForWhisperServer(30000));
        QVERIFY(daemon.dictate(hello, u"Pasted via"_s));
        QFETCH(QString, text);
        QFETCH(QStringList, keystrokes);
        QTRY_COMPARE(target.text(), text);
        QTRY_COMPARE(presses(target), keystrokes);
    }

    // Two dictations in a row into one window are spaced; once the user has
    // typed in between, the next one is theirs to space.
    void dictationsInARowSpaced()
    {
        PasteTarget target;
        QVERIFY(target.start());
        DaemonProcess daemon;
        daemon.installModel(u"hello"_s);
        QVERIFY(daemon.start());
        QVERIFY(waitForWhisperServer(30000));
        QVERIFY(daemon.dictate(hello, u"Pasted via"_s));
        QVERIFY(daemon.dictate(hello, u"Pasted via"_s));
        QTRY_COMPARE(target.text(), u"Hello world. Hello world."_s);
        QVERIFY(xkey(u"down"_s, {53}) && xkey(u"up"_s, {53})); // x
        QTRY_COMPARE(target.text(), u"Hello world. Hello world.x"_s);
        QVERIFY(daemon.dictate(hello, u"Pasted via"_s));
        QTRY_COMPARE(target.text(), u"Hello world. Hello world.xHello world."_s);
    }
};

QTEST_GUILESS_MAIN(TestText)
#include "tst_text.moc"

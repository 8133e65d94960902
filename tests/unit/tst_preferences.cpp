#include "core/log.h"
#include "core/login_item.h"
#include "core/preferences.h"
#include "core/runtime_files.h"
#include "fake_platform.h"
#include "hotkey/hotkey_model.h"
#include "test_helpers.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace parlotta;

// Preferences are written here as raw INI text, the way a hand-edited file
// would look, and read back through the accessors.
class TestPreferences : public QObject {
    Q_OBJECT

    void writeStore(const QByteArray &ini)
    {
        QVERIFY(savePreferencesNow()); // nothing set earlier lands on top of the edit
        const QString path = preferencesFilePath();
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("[General]\n" + ini);
        file.flush();
        // The store notices a hand edit by size and time; rows written within
        // the same millisecond would otherwise look unchanged.
        file.setFileTime(QDateTime::currentDateTime().addSecs(++edits),
                         QFileDevice::FileModificationTime);
    }

    int edits = 0;
    QTemporaryDir runtime;

  private Q_SLOTS:
    void initTestCase()
    {
        fake::reset();
        moveRuntimeFiles(runtime.filePath(u"parlotta"_s));
        QString error;
        QVERIFY2(prepareRuntimeDir(commandDir, &error) && openLog(logPath, &error),
                 qPrintable(error));
    }

    // A change is read back at once and written off the caller's thread; a
    // file that cannot be written is logged and tried again until it can;
    // at quit what is pending is written there and then.
    void changesReachTheFileEvenAfterAFailure()
    {
        QVERIFY(savePreferencesNow());
        const QString path = preferencesFilePath();
        const QString folder = QFileInfo(path).path();
        const auto stored = [&] {
            QFile file(path);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QVERIFY(QDir(folder).removeRecursively());
        QFile blocker(folder); // a file where the folder should be: nothing can be written
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        setPreference(u"stop-after-silence"_s, 4);
        QCOMPARE(preferenceInteger(u"stop-after-silence"_s).value, 4);
        QTRY_VERIFY(logMessagesIn(logPath).contains(
            u"ERROR: could not save the preferences to %1 (it cannot be written); trying again "
            "every 5 s"_s.arg(path)));
        QCOMPARE(preferenceInteger(u"stop-after-silence"_s).value, 4);
        QVERIFY(QFile::remove(folder));
        QTRY_VERIFY_WITH_TIMEOUT(stored().contains("stop-after-silence=4"), 8000);
        QVERIFY(logMessagesIn(logPath).contains(u"Preferences saved to "_s + path));
        setPreference(u"language"_s, u"de"_s);
        QVERIFY(savePreferencesNow());
        QVERIFY(stored().contains("language=de"));
    }

    void storedValues_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<qint64>("hotkey");
        QTest::addColumn<quint64>("modifiers");
        QTest::addColumn<QString>("language");
        QTest::addColumn<bool>("showLanguage");
        QTest::addColumn<bool>("altGr"); // right Alt is AltGr in the layout

        QTest::newRow("key 0 is a real key")
            << QByteArray("hotkey=0\n") << qint64(0) << quint64(0) << u"auto"_s << true << false;
        QTest::newRow("no hotkey") << QByteArray("hotkey=-1\nhotkey-modifiers=1048576\n")
                                   << qint64(-1) << quint64(0x100000) << u"auto"_s << true << false;
        QTest::newRow("combo") << QByteArray("hotkey=122\nhotkey-modifiers=1310720\n")
                               << qint64(122) << quint64(0x140000) << u"auto"_s << true << false;
        QTest::newRow("code past the model") << QByteArray("hotkey=65536\n") << qint64(-1)
                                             << quint64(0) << u"auto"_s << true << false;
        QTest::newRow("a key without a virtual code, as earlier versions stored it")
            << QByteArray("hotkey=504\n") << qint64(0x8000 + 240) << quint64(0) << u"auto"_s << true
            << false;
        QTest::newRow("hand-edited garbage")
            << QByteArray("hotkey=abc\nhotkey-modifiers=@Variant(\\0\\0)\nlanguage=de,fr\n"
                          "show-language=maybe\n")
            << qint64(-1) << quint64(0) << u"de,fr"_s << true << false;
        QTest::newRow("negative modifiers")
            << QByteArray("hotkey=96\nhotkey-modifiers=-5\n") << qint64(96) << quint64(0)
            << u"auto"_s << true << false;
        QTest::newRow("language and hidden code")
            << QByteArray("language=xx\nshow-language=false\n") << qint64(61) << quint64(0)
            << u"xx"_s << false << false;
        QTest::newRow("nothing stored, right Alt is AltGr")
            << QByteArray() << qint64(62) << quint64(0) << u"auto"_s << true << true;
        QTest::newRow("right Alt chosen where it is AltGr")
            << QByteArray("hotkey=61\n") << qint64(61) << quint64(0) << u"auto"_s << true << true;
    }

    void storedValues()
    {
        QFETCH(QByteArray, ini);
        QFETCH(bool, altGr);
        writeStore(ini);
        fake::platform().level3Shifts = altGr ? QSet<std::int64_t>{61} : QSet<std::int64_t>{};
        QTEST(qint64(selectedHotkey()), "hotkey");
        QTEST(quint64(selectedHotkeyModifiers()), "modifiers");
        QTEST(selectedLanguageCode(), "language");
        QTEST(showLanguageCodeEnabled(), "showLanguage");
    }

    // The limit a hand-edited file gives, and the entry the settings window shows for it.
    void idleLimit_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<int>("minutes");
        QTest::addColumn<int>("row");
        QTest::newRow("absent: 15 minutes") << QByteArray() << 15 << 3;
        QTest::newRow("never") << QByteArray("free-model-after=0\n") << 0 << 0;
        QTest::newRow("one offered") << QByteArray("free-model-after=60\n") << 60 << 4;
        QTest::newRow("between two: the longer shown")
            << QByteArray("free-model-after=2\n") << 2 << 2;
        QTest::newRow("garbage") << QByteArray("free-model-after=soon\n") << 15 << 3;
        QTest::newRow("negative") << QByteArray("free-model-after=-4\n") << 15 << 3;
        QTest::newRow("past a day") << QByteArray("free-model-after=99999\n") << 1440 << 4;
    }
    void idleLimit()
    {
        QFETCH(QByteArray, ini);
        QFETCH(int, minutes);
        writeStore(ini);
        QCOMPARE(freeModelAfterMinutes(), minutes);
        QTEST(idleLimitRow(minutes), "row");
    }

    void setHotkeyStoresAndActivates()
    {
        QFile::remove(preferencesFilePath());
        setHotkey(96, flagControl);
        QCOMPARE(selectedHotkey(), 96);
        QCOMPARE(selectedHotkeyModifiers(), flagControl);
        QCOMPARE(activeHotkeySnapshot().code, 96);
        QCOMPARE(activeHotkeySnapshot().modifiers, flagControl);
        // An ordinary key is kept from the focused window with exactly its modifiers.
        QCOMPARE(fake::platform().swallowedKey, 96);
        QCOMPARE(fake::platform().swallowedModifiers, flagControl);
        setHotkey(61, flagShift); // a modifier key never is
        QCOMPARE(fake::platform().swallowedKey, -1);
        setHotkey(hotkeyNone);
        QCOMPARE(selectedHotkey(), hotkeyNone);
        QCOMPARE(selectedHotkeyModifiers(), 0u);
        QCOMPARE(activeHotkeySnapshot().code, hotkeyNone);
        QCOMPARE(fake::platform().swallowedKey, -1);
    }

    void hotkeyNames_data()
    {
        QTest::addColumn<qint64>("code");
        QTest::addColumn<quint64>("modifiers");
        QTest::addColumn<QString>("name");

        QTest::newRow("default") << qint64(61) << quint64(0) << u"Right Alt"_s;
        QTest::newRow("none hides modifiers") << qint64(-1) << quint64(0x100000) << u"None"_s;
        QTest::newRow("ctrl super F1") << qint64(122) << quint64(0x140000) << u"Ctrl+Super+F1"_s;
        QTest::newRow("shift space") << qint64(49) << quint64(0x20000) << u"Shift+Space"_s;
        QTest::newRow("all four, fixed order")
            << qint64(49) << quint64(0x1E0000) << u"Ctrl+Alt+Shift+Super+Space"_s;
        QTest::newRow("modifier key with modifiers")
            << qint64(58) << quint64(0x20000) << u"Shift+Left Alt"_s;
        QTest::newRow("other bits ignored") << qint64(96) << quint64(0x10040) << u"F5"_s;
        QTest::newRow("unknown key without a layout") << qint64(300) << quint64(0) << u"Key 300"_s;
    }

    void hotkeyNames()
    {
        QFETCH(qint64, code);
        QFETCH(quint64, modifiers);
        QTEST(hotkeyName(code, modifiers), "name");
    }

    // Open at login: the autostart entry, written and read back.
    void execRoundTrip_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("exec");
        QTest::newRow("plain") << u"/opt/Parlotta.app/bin/parlotta"_s
                               << u"/opt/Parlotta.app/bin/parlotta"_s;
        QTest::newRow("space") << u"/home/a b/parlotta"_s << u"\"/home/a b/parlotta\""_s;
        QTest::newRow("quote dollar backslash")
            << u"/home/x\"$y\\z/parlotta"_s << u"\"/home/x\\\\\"\\\\$y\\\\\\\\z/parlotta\""_s;
    }

    void execRoundTrip()
    {
        QFETCH(QString, program);
        QFETCH(QString, exec);
        QCOMPARE(desktopExecValue(program), exec);
        QCOMPARE(desktopExecProgram(exec), program);
    }

    void enabledFollowsTheEntry_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::addColumn<bool>("enabled");
        const QString self = QCoreApplication::applicationFilePath();
        QTest::newRow("ours") << u"[Desktop Entry]\nExec="_s + self + u"\n"_s << true;
        QTest::newRow("hidden") << u"[Desktop Entry]\nExec="_s + self + u"\nHidden=true\n"_s
                                << false;
        QTest::newRow("gnome off")
            << u"[Desktop Entry]\nExec="_s + self + u"\nX-GNOME-Autostart-enabled=false\n"_s
            << false;
        QTest::newRow("another program") << u"[Desktop Entry]\nExec=/usr/bin/true\n"_s << false;
        QTest::newRow("other group only") << u"[Other]\nExec="_s + self + u"\n"_s << false;
    }

    void enabledFollowsTheEntry()
    {
        QFETCH(QString, entry);
        QDir().mkpath(QFileInfo(autostartFilePath()).path());
        QFile file(autostartFilePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(entry.toUtf8());
        file.close();
        QTEST(openAtLoginEnabled(), "enabled");
    }
};

int main(int argc, char *argv[])
{
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    TestPreferences test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_preferences.moc"

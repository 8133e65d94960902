#include "core/daemon.h"
#include "core/languages.h"
#include "core/preferences.h"
#include "fake_platform.h"
#include "hotkey/event_tap.h"
#include "menubar/menu_handler.h"
#include "menubar/status_icon.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QRect>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace parlotta;

namespace {

// The menu as one line per entry: "---" for a separator, "[!] " before an
// entry with an icon, " >" after a submenu, the shortcut in brackets, and
// " (disabled)".
QStringList describe(const QMenu *menu)
{
    QStringList lines;
    for (const QAction *action : menu->actions()) {
        if (action->isSeparator()) {
            lines << u"---"_s;
            continue;
        }
        QString line = (action->icon().isNull() ? QString() : u"[!] "_s) + action->text();
        if (action->menu())
            line += u" >"_s;
        if (!action->shortcut().isEmpty())
            line += u" [%1]"_s.arg(action->shortcut().toString());
        if (!action->isEnabled())
            line += u" (disabled)"_s;
        lines << line;
    }
    return lines;
}

QStringList checkedLanguages()
{
    QStringList checked;
    for (const QAction *item : menuHandler->languageItems)
        if (item->isChecked())
            checked << item->text();
    return checked;
}

} // namespace

class TestMenu : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void initTestCase()
    {
        fake::reset();
        menuHandler = new MenuHandler;
    }

    void init()
    {
        for (const QString &key : {prefHotkey, prefLanguage, prefShowLanguage})
            removePreference(key);
        eventTapActive = false;
        menuHandler->updates.updateAvailable.reset();
        menuHandler->updates.isInstallingUpdate = false;
    }

    // Entries across the states the menu reads: hotkey, key listener, update.
    void entries_data()
    {
        QTest::addColumn<qint64>("hotkey");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<QString>("update");
        QTest::addColumn<bool>("installing");
        QTest::addColumn<QStringList>("entries");

        const QStringList tail = {"---", "Settings… [Ctrl+,]", "---", "About Parlotta"};
        QTest::newRow("fresh account, no key listener yet")
            << qint64(61) << false << QString() << false
            << QStringList{u"Language: Auto >"_s, u"[!] Grant Accessibility Access…"_s} + tail +
                   QStringList{u"Check for Updates…"_s, u"Quit [Ctrl+Q]"_s};
        QTest::newRow("key listener running")
            << qint64(61) << true << QString() << false
            << QStringList{u"Language: Auto >"_s} + tail +
                   QStringList{u"Check for Updates…"_s, u"Quit [Ctrl+Q]"_s};
        QTest::newRow("no hotkey, no key listener")
            << qint64(-1) << false << QString() << false
            << QStringList{u"Language: Auto >"_s} + tail +
                   QStringList{u"Check for Updates…"_s, u"Quit [Ctrl+Q]"_s};
        QTest::newRow("update available")
            << qint64(61) << true << u"1.4.0"_s << false
            << QStringList{u"Language: Auto >"_s} + tail +
                   QStringList{u"Update Available (v1.4.0)…"_s, u"Quit [Ctrl+Q]"_s};
        QTest::newRow("installing wins over available")
            << qint64(61) << true << u"2.0"_s << true
            << QStringList{u"Language: Auto >"_s} + tail +
                   QStringList{u"Installing Update… (disabled)"_s, u"Quit [Ctrl+Q]"_s};
    }
    void entries()
    {
        QFETCH(qint64, hotkey);
        QFETCH(QString, update);
        setPreference(prefHotkey, hotkey);
        QFETCH(bool, listening);
        eventTapActive = listening;
        if (!update.isEmpty())
            menuHandler->updates.updateAvailable = update;
        QFETCH(bool, installing);
        menuHandler->updates.isInstallingUpdate = installing;
        menuHandler->rebuildMenu();
        QTEST(describe(menuHandler->statusItem->contextMenu()), "entries");
    }

    // A version is shown as the text it is, never as markup.
    void offerShowsPlainText()
    {
        QStringList formats;
        QTimer::singleShot(100, this, [&] {
            QWidget *box = QApplication::activeModalWidget();
            QVERIFY(box);
            for (const QLabel *label : box->findChildren<QLabel *>())
                if (label->text().contains(u"3.0<b>"_s))
                    formats << QString::number(label->textFormat());
            box->close();
        });
        menuHandler->showUpdateAlert(u"3.0<b>!</b>"_s, u"1.0"_s);
        QCOMPARE(formats, QStringList{QString::number(Qt::PlainText)});
    }

    // Whatever the preference holds, the menu reads sensibly and the icon
    // draws a few characters at most.
    void storedLanguage_data()
    {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("checked");
        QTest::addColumn<QString>("toolTip");
        QTest::addColumn<QString>("drawn");

        QTest::newRow("none") << QVariant() << u"Language: Auto"_s << QStringList{u"Auto"_s}
                              << u"Parlotta · auto"_s << u"auto"_s;
        QTest::newRow("de") << QVariant(u"de"_s) << u"Language: Deutsch"_s
                            << QStringList{u"Deutsch"_s} << u"Parlotta · de"_s << u"de"_s;
        QTest::newRow("a code in no row") << QVariant(u"EN"_s) << u"Language: Auto"_s
                                          << QStringList() << u"Parlotta · EN"_s << u"EN"_s;
        QTest::newRow("empty") << QVariant(u""_s) << u"Language: Auto"_s << QStringList()
                               << u"Parlotta"_s << u""_s;
        QTest::newRow("10 kB") << QVariant(QString(10240, QLatin1Char('x'))) << u"Language: Auto"_s
                               << QStringList() << u"Parlotta · xxxxxxxxxxxxxxxx…"_s << u"xxxx"_s;
        QTest::newRow("control characters")
            << QVariant(u"d\u0001e\n"_s) << u"Language: Auto"_s << QStringList()
            << u"Parlotta · d\u0001e\n"_s << u"de"_s;
        QTest::newRow("shown off: the tooltip says nothing of it")
            << QVariant(u"ja"_s) << u"Language: 日本語"_s << QStringList{u"日本語"_s}
            << u"Parlotta"_s << u"ja"_s;
        QTest::newRow("wrong type: a rectangle")
            << QVariant(QRect(1, 2, 3, 4)) << u"Language: Auto"_s << QStringList() << u"Parlotta"_s
            << u""_s;
    }
    void storedLanguage()
    {
        QFETCH(QVariant, stored);
        if (stored.isValid())
            setPreference(prefLanguage, stored);
        setPreference(prefShowLanguage,
                      !QByteArray(QTest::currentDataTag()).startsWith("shown off"));
        menuHandler->rebuildMenu();
        QTEST(menuHandler->statusItem->contextMenu()->actions().value(0)->text(), "title");
        QTEST(checkedLanguages(), "checked");
        QTEST(menuHandler->statusItem->toolTip(), "toolTip");
        QTEST(codeForDisplay(selectedLanguageCode()), "drawn");
        QVERIFY(!menuHandler->statusItem->icon().isNull());
    }
};

int main(int argc, char *argv[])
{
    QTemporaryDir config; // a fresh account
    qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestMenu test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_menu.moc"

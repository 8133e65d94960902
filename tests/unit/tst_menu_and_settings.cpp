#include "app/wiring.h"
#include "core/daemon.h"
#include "core/languages.h"
#include "core/log.h"
#include "core/login_item.h"
#include "core/preferences.h"
#include "dictation/text_pipeline.h"
#include "fake_platform.h"
#include "hotkey/event_tap.h"
#include "menubar/menu_handler.h"
#include "menubar/status_icon.h"
#include "models/model_store.h"
#include "settings/settings_controller.h"
#include "settings/settings_window.h"
#include "test_helpers.h"

#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRect>
#include <QScopeGuard>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

using namespace parlotta;

namespace {

QTemporaryDir home;

QString logText()
{
    return logMessagesIn(home.path() + u"/helper.log"_s).join(u'\n');
}

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

SettingsController &c()
{
    return *settingsController;
}

// A control of the settings window, as its user finds it.
template <typename Control> Control *control(const char *name)
{
    Control *found = c().window()->findChild<Control *>(QLatin1String(name));
    Q_ASSERT(found);
    return found;
}

// Clicks the window's button that assistive technology knows by that name.
void clickNamed(const QString &name)
{
    for (QPushButton *button : c().window()->findChildren<QPushButton *>())
        if (button->accessibleName() == name) {
            button->click();
            return;
        }
    QFAIL(qPrintable(u"no button "_s + name));
}

QPushButton *hotkeyButton()
{
    return control<QPushButton>("hotkey");
}

ModelCatalogue *catalogue = nullptr;

HttpStub *hub = nullptr; // the model hub

QByteArray refuseListing(const QByteArray &request)
{
    return request.contains("/api/models/")
               ? "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n"_ba
               : QByteArray();
}

// The checker the menu shows, in whatever state a row needs.
struct ShownUpdates : UpdateChecker {
    ShownUpdates()
        : UpdateChecker(QString(), std::nullopt, QString())
    {
    }
    using UpdateChecker::setState;
} updates;

} // namespace

class TestMenuAndSettings : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(openLog(home.path() + u"/helper.log"_s, nullptr));
        fake::reset();
        fake::platform().layout.insert(18, u"&"_s); // the 1 key
        menuHandler = new MenuHandler(updates);
        // The hub refuses the listing at once and never answers a download,
        // which therefore runs until cancelled.
        hub = new HttpStub;
        hub->hold = true;
        hub->respond = refuseListing;
        catalogue = new ModelCatalogue(hub->address());
        settingsController = new SettingsController(*catalogue);
        wireSubsystems();
        settingsController->show();
        QVERIFY(c().window());
    }

    void init()
    {
        for (const QString &key : {prefHotkey, prefHotkeyModifiers, prefLanguage, prefShowLanguage})
            removePreference(key);
        QDir(home.path() + u"/.config/autostart"_s).removeRecursively();
        QFile::remove(home.path() + u"/.config/autostart"_s);
        eventTapActive = true;
        catalogue->cancelDownload();
        updates.setState(std::nullopt, false);
    }

    // Entries across the states the menu reads: hotkey, key listener, update.
    // What varies is the warning row and the update entry; the rest is fixed.
    void entries_data()
    {
        QTest::addColumn<qint64>("hotkey");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<QString>("refusal"); // the desktop would not bind the hotkey
        QTest::addColumn<QString>("update");
        QTest::addColumn<bool>("installing");
        QTest::addColumn<bool>("warning"); // "[!] Grant Accessibility Access…" shown
        QTest::addColumn<QString>("updateEntry");
        const QString check = u"Check for Updates…"_s;
        QTest::newRow("fresh account, no key listener yet")
            << qint64(61) << false << QString() << QString() << false << true << check;
        QTest::newRow("key listener running")
            << qint64(61) << true << QString() << QString() << false << false << check;
        QTest::newRow("listener running, the desktop refused the shortcut")
            << qint64(61) << true << u"KDE has given that shortcut to another action"_s << QString()
            << false << true << check;
        QTest::newRow("no hotkey, no key listener")
            << qint64(-1) << false << QString() << QString() << false << false << check;
        QTest::newRow("update available") << qint64(61) << true << QString() << u"1.4.0"_s << false
                                          << false << u"Update Available (v1.4.0)…"_s;
        QTest::newRow("installing wins over available")
            << qint64(61) << true << QString() << u"2.0"_s << true << false
            << u"Installing Update… (disabled)"_s;
    }
    void entries()
    {
        QFETCH(qint64, hotkey);
        QFETCH(QString, update);
        setPreference(prefHotkey, hotkey);
        QFETCH(bool, listening);
        eventTapActive = listening;
        QFETCH(QString, refusal);
        setHotkeyRefusal(refusal);
        QFETCH(bool, installing);
        updates.setState(update.isEmpty() ? std::nullopt : std::optional(update), installing);
        menuHandler->rebuildMenu();
        QFETCH(bool, warning);
        QFETCH(QString, updateEntry);
        QStringList entries = {u"Language: Auto >"_s, u"Recent >"_s};
        if (warning)
            entries << u"[!] Grant Accessibility Access…"_s;
        entries << u"---"_s << u"Settings… [Ctrl+,]"_s << u"---"_s << u"About Parlotta"_s
                << updateEntry << u"Quit [Ctrl+Q]"_s;
        QCOMPARE(describe(menuHandler->statusItem->contextMenu()), entries);
        setHotkeyRefusal({});
    }

    // Choosing languages from the menu leaves one update message per message.
    void languageChoicesKeepOneUpdateMessage()
    {
        for (int i = 0; i < 2; ++i)
            menuHandler->languageItems.value(1 + i)->trigger();
        int shown = 0;
        QTimer closer;
        closer.callOnTimeout([&] {
            if (QWidget *box = QApplication::activeModalWidget()) {
                ++shown;
                box->close();
            }
        });
        closer.start(20);
        Q_EMIT updates.message(u"Update Failed"_s, u"x"_s);
        QTest::qWait(200);
        QCOMPARE(shown, 1);
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

    // Every control from the stored settings and the daemon's state.
    void refresh_data()
    {
        QTest::addColumn<QByteArray>("hotkey"); // "code,modifiers" as stored; empty: none stored
        QTest::addColumn<bool>("capturing");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<QString>("language");
        QTest::addColumn<bool>("login");
        QTest::addColumn<bool>("downloading");
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("clearShown");
        QTest::addColumn<int>("languageRow");

        QTest::newRow("fresh account") << QByteArray() << false << true << QString() << false
                                       << false << u"Right Alt"_s << true << 0;
        QTest::newRow("no hotkey") << QByteArray("-1,0") << false << true << u"de"_s << true
                                   << false << u"Record Hotkey"_s << false << 3;
        QTest::newRow("capturing") << QByteArray("122,1310720") << true << true << u"EN"_s << false
                                   << true << u"Press a key…"_s << false << 0;
        QTest::newRow("combo, no key listener")
            << QByteArray("122,1310720") << false << false << u"uk"_s << false << false
            << u"Ctrl+Super+F1"_s << true << 20;
        QTest::newRow("a key named &, the 1 key on AZERTY")
            << QByteArray("18,262144") << false << true << QString() << false << false
            << u"Ctrl+&"_s << true << 0;
        QTest::newRow("unknown modifier bits")
            << QByteArray("96,4294967295") << false << true << QString() << false << false
            << u"Ctrl+Alt+Shift+Super+F5"_s << true << 0;
    }
    void refresh()
    {
        QFETCH(QByteArray, hotkey);
        QFETCH(bool, capturing);
        QFETCH(bool, listening);
        QFETCH(QString, language);
        QFETCH(bool, login);
        QFETCH(bool, downloading);
        if (!hotkey.isEmpty()) {
            setPreference(prefHotkey, hotkey.split(',').value(0));
            setPreference(prefHotkeyModifiers, hotkey.split(',').value(1));
        }
        if (!language.isNull())
            setPreference(prefLanguage, language);
        setOpenAtLogin(login);
        eventTapActive = listening;
        if (capturing)
            hotkeyButton()->click();
        if (downloading)
            catalogue->startDownload(u"tiny"_s);
        c().refresh();
        const auto endCapture = qScopeGuard([] {
            if (c().isCapturingHotkey())
                hotkeyButton()->click();
        });

        // As assistive technology reads it: what the button shows, mnemonics aside.
        QTEST(QAccessible::queryAccessibleInterface(hotkeyButton())->text(QAccessible::Name),
              "button");
        QTEST(!control<QToolButton>("clearHotkey")->isHidden(), "clearShown");
        QCOMPARE(!control<QWidget>("accessibility")->isHidden(), !listening);
        QTEST(control<QComboBox>("language")->currentIndex(), "languageRow");
        QVERIFY(control<QCheckBox>("showLanguage")->isChecked());
        QCOMPARE(control<QCheckBox>("login")->isChecked(), login);
        QCOMPARE(!control<QWidget>("download")->isHidden(), downloading);
    }

    // What a Parakeet model does with the language and the vocabulary, as the
    // menu and the window say it; a whisper model says nothing of it.
    void engineShapesLanguageAndVocabulary_data()
    {
        QTest::addColumn<QString>("model");
        QTest::addColumn<QString>("language");
        QTest::addColumn<QString>("first");    // the language menu's first entry
        QTest::addColumn<QString>("japanese"); // its entry for Japanese
        QTest::addColumn<QString>("hint");     // under the language; empty: hidden
        QTest::addColumn<bool>("vocabulary");  // the vocabulary is sent
        const QString detects = u"The Parakeet model detects the language itself, among 25 "
                                "European languages."_s;
        QTest::newRow("parakeet, detected")
            << u"parakeet-tdt-0.6b-v3-q8_0"_s << u"auto"_s
            << u"Detected by the Parakeet model (disabled)"_s << u"日本語 (needs a whisper model)"_s
            << detects << false;
        QTest::newRow("parakeet, a language it does not know")
            << u"parakeet-tdt-0.6b-v3-q8_0"_s << u"ja"_s
            << u"Detected by the Parakeet model (disabled)"_s << u"日本語 (needs a whisper model)"_s
            << detects + u" It does not know 日本語: choose a whisper model to dictate in it."_s
            << false;
        QTest::newRow("parakeet v2")
            << u"parakeet-tdt-0.6b-v2-f16"_s << u"de"_s
            << u"Detected by the Parakeet model (disabled)"_s << u"日本語 (needs a whisper model)"_s
            << u"This Parakeet model knows English only. It does not know "
               "Deutsch: choose a whisper model to dictate in it."_s
            << false;
        QTest::newRow("whisper") << u"base"_s << u"ja"_s << u"Auto"_s << u"日本語"_s << QString()
                                 << true;
    }
    void engineShapesLanguageAndVocabulary()
    {
        QFETCH(QString, model);
        QFETCH(QString, language);
        // The head of a model file of that engine is all the choice reads.
        QList<int> fields = {51865, 1500, 384, 6, 4, 448, 384, 6, 4, 80, 1, 80, 201, 0, 0, 0, 0};
        if (model.startsWith(u"parakeet"))
            fields = {8192, 5000, 1024, 8, 24, 128, 1, 512, 8, 256, 9, 640, 2, 5, 10, 128, 257};
        QByteArray head("lmgg");
        for (const int field : fields)
            head.append(reinterpret_cast<const char *>(&field), sizeof field);
        QDir().mkpath(modelDir());
        QFile file(modelPath(model));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(head);
        file.close();
        QVERIFY(activateModel(model));
        setPreference(prefLanguage, language);
        const auto cleanUp = qScopeGuard([] {
            QFile::remove(currentModelLink());
            removePreference(prefLanguage);
        });
        menuHandler->rebuildMenu();
        c().refresh();

        const QMenu *languages = menuHandler->statusItem->contextMenu()->actions().first()->menu();
        QVERIFY(languages);
        QTEST(describe(languages).first(), "first");
        QFETCH(QString, japanese);
        QVERIFY2(describe(languages).contains(japanese),
                 qPrintable(describe(languages).join(u'|')));
        QFETCH(QString, hint);
        QCOMPARE(control<QLabel>("languageHint")->isHidden(), hint.isEmpty());
        if (!hint.isEmpty())
            QCOMPARE(control<QLabel>("languageHint")->text(), hint);
        QFETCH(bool, vocabulary);
        QCOMPARE(control<QLabel>("vocabularyHint")->text().startsWith(u"Parakeet models take no"_s),
                 !vocabulary);
    }

    // A capture ends once: with its result, with Escape, or by a second click;
    // a result arriving after that changes nothing.
    void captureEndsOnce()
    {
        hotkeyButton()->click();
        const CaptureHandler first = captureHandlerSnapshot(); // as the key listener calls it
        QVERIFY(first && c().isCapturingHotkey());
        first(ActiveHotkey{96, flagControl});
        first(ActiveHotkey{97, 0}); // late
        QTest::qWait(0);
        QCOMPARE(selectedHotkey(), 96);
        QCOMPARE(selectedHotkeyModifiers(), flagControl);
        QVERIFY(!captureHandlerSnapshot());
        hotkeyButton()->click();
        const CaptureHandler second = captureHandlerSnapshot();
        hotkeyButton()->click();
        QVERIFY(!c().isCapturingHotkey() && !captureHandlerSnapshot());
        second(ActiveHotkey{97, 0}); // late, and lands during the next capture
        hotkeyButton()->click();
        QTest::qWait(0);
        QVERIFY(c().isCapturingHotkey());
        captureHandlerSnapshot()(std::nullopt); // Escape
        QTest::qWait(0);
        QVERIFY(!c().isCapturingHotkey());
        QCOMPARE(selectedHotkey(), 96);
        QCOMPARE(hotkeyButton()->text(), u"Ctrl+F5"_s);
    }

    // A wrong owner gets an error status with a JSON object: no listing, in
    // the log's own words rather than the network library's.
    void listingErrorPage()
    {
        hub->respond = [](const QByteArray &) {
            return HttpStub::ok("{\"error\":\"Invalid credentials\"}\n", "401 Unauthorized");
        };
        const QStringList lines = {u"Model list unavailable, using defaults: invalid response"_s,
                                   u"Parakeet model list unavailable, using defaults: invalid "
                                   "response"_s};
        const auto count = [](const QString &line) { return logText().split(u'\n').count(line); };
        const qsizetype whisperBefore = count(lines[0]), parakeetBefore = count(lines[1]);
        const int before = hub->requests;
        catalogue->fetchModelList();
        QTRY_VERIFY(hub->requests > before + 1); // both repositories' listings
        hub->respond = refuseListing;
        QTRY_VERIFY(count(lines[0]) > whisperBefore && count(lines[1]) > parakeetBefore);
    }

    void actions()
    {
        control<QCheckBox>("showLanguage")->click();
        QCOMPARE(showLanguageCodeEnabled(), false);
        QVERIFY(logText().contains("Show language code disabled"));

        // Autostart refused (its folder is a file): the box springs back, the log says why.
        QFile blocker(home.path() + u"/.config/autostart"_s);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        control<QCheckBox>("login")->click();
        QVERIFY(!control<QCheckBox>("login")->isChecked());
        QVERIFY(logText().contains("ERROR: could not change open at login: "));

        // A model directory that cannot be written fails the download with the
        // system's reason, before anything is fetched.
        QDir(home.path() + u"/.config/parlotta/models"_s).removeRecursively();
        QFile models(home.path() + u"/.config/parlotta/models"_s);
        QVERIFY(models.open(QIODevice::WriteOnly));
        models.close();
        catalogue->startDownload(u"tiny"_s);
        QTRY_VERIFY(!catalogue->downloadingModel() && !catalogue->downloadRuns());
        QVERIFY(logText().contains("Downloading model tiny"));
        QVERIFY(logText().contains("ERROR: model download failed: "));
        QVERIFY(control<QWidget>("download")->isHidden());
    }

    // The hotkey mode, its silence stop, and the Recent submenu switched off.
    void dictationSettings()
    {
        auto *mode = control<QComboBox>("hotkeyMode");
        auto *silence = control<QCheckBox>("stopAfterSilence");
        QCOMPARE(mode->currentText(), u"Hold to talk"_s);
        QVERIFY(!silence->isVisible()); // holding has nothing to stop
        mode->setCurrentIndex(2);
        Q_EMIT mode->activated(2);
        QCOMPARE(preferenceString(prefHotkeyMode, {}), u"both"_s);
        QTRY_VERIFY(silence->isVisible()); // the change's one route: queued
        silence->click();
        QCOMPARE(preferenceInteger(prefStopAfterSilence).value, 2);
        control<QSpinBox>("silenceSeconds")->setValue(7);
        QCOMPARE(preferenceInteger(prefStopAfterSilence).value, 7);
        silence->click();
        QCOMPARE(preferenceInteger(prefStopAfterSilence).value, 0);
        QVERIFY(!control<QSpinBox>("silenceSeconds")->isEnabled());
        removePreference(prefHotkeyMode);
        c().refresh();
        QCOMPARE(mode->currentText(), u"Hold to talk"_s);

        QVERIFY(describe(menuHandler->statusItem->contextMenu()).contains(u"Recent >"_s));
        control<QCheckBox>("keepRecent")->click();
        QCOMPARE(preferenceBool(prefKeepRecent, true), false);
        QTRY_VERIFY(!describe(menuHandler->statusItem->contextMenu()).contains(u"Recent >"_s));
        control<QCheckBox>("keepRecent")->click();
        QTRY_VERIFY(describe(menuHandler->statusItem->contextMenu()).contains(u"Recent >"_s));
    }

    // The text section stores what it shows: the switches, a replacement
    // typed into the table, and a rule made for an application dictated into
    // lately, which the list then no longer offers.
    void textSettings()
    {
        QVERIFY(control<QCheckBox>("removeFillers")->isChecked());
        QVERIFY(control<QCheckBox>("lineCommands")->isChecked());
        QVERIFY(!control<QCheckBox>("spokenPunctuation")->isChecked());
        control<QCheckBox>("removeFillers")->click();
        control<QCheckBox>("spokenPunctuation")->click();
        QCOMPARE(preferenceBool(prefRemoveFillers, true), false);
        QCOMPARE(preferenceBool(prefSpokenPunctuation, false), true);

        auto *table = control<QTableWidget>("replacements");
        table->setRowCount(1);
        table->setItem(0, 1, new QTableWidgetItem(u"12 Main Street"_s));
        QVERIFY(preferenceString(prefReplacements, {}).isEmpty()); // nothing to say yet
        table->setItem(0, 0, new QTableWidgetItem(u" my address "_s));
        QCOMPARE(readReplacements(preferenceString(prefReplacements, {})),
                 (QList<Replacement>{{u"my address"_s, u"12 Main Street"_s}}));

        setPreference(prefRecentApplications, QStringList{u"kitty"_s, u"Chat"_s});
        QTRY_COMPARE(control<QComboBox>("ruleApplication")->count(), 2);
        auto *application = control<QComboBox>("ruleApplication");
        application->setCurrentText(u"Chat"_s);
        clickNamed(u"Add rule"_s);
        QCOMPARE(readRules(preferenceString(prefApplicationRules, {})),
                 (QList<ApplicationRule>{{u"Chat"_s}}));
        QTRY_COMPARE(application->count(), 1); // kitty alone is offered now
        QTRY_VERIFY(control<QWidget>("ruleEnter")->isVisibleTo(c().window()->text)); // its editor
        control<QCheckBox>("ruleEnter")->click();
        auto *paste = control<QComboBox>("rulePaste");
        paste->setCurrentIndex(2);
        Q_EMIT paste->activated(2);
        ApplicationRule chat{u"Chat"_s, PasteKey::ControlShiftV, true};
        QCOMPARE(readRules(preferenceString(prefApplicationRules, {})), QList{chat});
        clickNamed(u"Remove rule"_s);
        QCOMPARE(preferenceString(prefApplicationRules, {}), QString());
        for (const QString &key :
             {prefRemoveFillers, prefSpokenPunctuation, prefReplacements, prefRecentApplications})
            removePreference(key);
    }
};

int main(int argc, char *argv[])
{
    qputenv("XDG_CONFIG_HOME", (home.path() + u"/.config"_s).toLocal8Bit());
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    TestMenuAndSettings test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_menu_and_settings.moc"

#include "core/login_item.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace parlotta;

class TestLoginItem : public QObject {
    Q_OBJECT

  private Q_SLOTS:
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
    TestLoginItem test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_login_item.moc"

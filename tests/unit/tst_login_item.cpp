#include "core/login_item.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace parlotta;

class TestLoginItem : public QObject {
    Q_OBJECT

  private Q_SLOTS:
    void execRoundTrip_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QString>("exec");
        QTest::newRow("plain") << "/opt/Parlotta.app/bin/parlotta"
                               << "/opt/Parlotta.app/bin/parlotta";
        QTest::newRow("space") << "/home/a b/parlotta"
                               << "\"/home/a b/parlotta\"";
        QTest::newRow("quote dollar backslash") << "/home/x\"$y\\z/parlotta"
                                                << "\"/home/x\\\\\"\\\\$y\\\\\\\\z/parlotta\"";
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
        QTest::newRow("ours") << "[Desktop Entry]\nExec=" + self + "\n" << true;
        QTest::newRow("hidden") << "[Desktop Entry]\nExec=" + self + "\nHidden=true\n" << false;
        QTest::newRow("gnome off")
            << "[Desktop Entry]\nExec=" + self + "\nX-GNOME-Autostart-enabled=false\n"
            << false;
        QTest::newRow("another program") << "[Desktop Entry]\nExec=/usr/bin/true\n" << false;
        QTest::newRow("other group only") << "[Other]\nExec=" + self + "\n" << false;
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

#include "app/startup.h"
#include "core/daemon.h"
#include "platform/linux/linux_platform.h"
#include "platform/platform.h"

#include <QApplication>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    // A command for the running daemon (a compositor's key binding) needs
    // nothing of the desktop: the session bus only.
    if (argc > 1 && argv[1][0] == '-' && argv[1][1] == '-') {
        QCoreApplication client(argc, argv);
        const int status = parlotta::sendDaemonCommand(QString::fromLocal8Bit(argv[1]));
        // Nothing to clean up; a normal exit tears Qt's type registry down while
        // the bus connection's thread may still be reading a broadcast, and Qt
        // then writes "Trying to construct an instance of an invalid type" on
        // stderr, where a binding's caller reads our one line.
        std::fflush(nullptr);
        std::_Exit(status);
    }

    // Before anything can start a thread, so that every thread inherits the mask.
    parlotta::blockControlSignals();
    parlotta::initPlatform();

    // Qt follows the session; with no display at all the daemon still runs,
    // steered by signals.
    const parlotta::Session session = parlotta::Session::fromEnvironment();
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", session.qtPlatforms());

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Parlotta"));
    QApplication::setApplicationVersion(QStringLiteral(PARLOTTA_VERSION));
    return parlotta::runDaemon(app, session, parlotta::createLinuxPlatform);
}

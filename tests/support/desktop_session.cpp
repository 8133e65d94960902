#include "desktop_session.h"
#include "daemon_process.h"
#include "test_helpers.h"

QString gnomeRoot()
{
    return qEnvironmentVariable("PARLOTTA_GNOME_ROOT", u"/var/cache/parlotta-test/gnome48"_s);
}

Session::~Session()
{
    process.terminate();
    process.waitForFinished(20000);
    for (auto it = saved.cbegin(); it != saved.cend(); ++it)
        it->isEmpty() ? qunsetenv(it.key()) : qputenv(it.key(), *it);
    // Services the bus starts later must not look for the compositor that is gone.
    QProcess::execute(u"dbus-update-activation-environment"_s,
                      {u"WAYLAND_DISPLAY="_s, u"QT_QPA_PLATFORM="_s, u"XDG_CURRENT_DESKTOP="_s});
}

bool Session::compositor(const QString &kind, const QString &swayConfig)
{
    return run(u"wayland-session.sh"_s, {kind, dir.path(), swayConfig}, 30000);
}

bool Session::gnome()
{
    return run(u"gnome-session.sh"_s, {gnomeRoot(), dir.filePath(u"run"_s)}, 120000);
}

bool Session::run(const QString &script, const QStringList &arguments, int timeoutMs)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"PARLOTTA"_s, QStringLiteral(PARLOTTA_BINARY));
    env.insert(u"WLKEY"_s, QStringLiteral(WLKEY));
    env.insert(u"SWAY_AS_ROOT"_s, QStringLiteral(SWAY_AS_ROOT));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral(SUPPORT_DIR "/") + script, arguments);
    QByteArray out;
    if (!waitUntil(
            [&] {
                out += process.readAllStandardOutput();
                return out.endsWith("ready\n") || process.state() == QProcess::NotRunning;
            },
            timeoutMs))
        return false;
    for (const QByteArray &line : out.split('\n'))
        if (const qsizetype at = line.indexOf('='); at > 0) {
            const QByteArray name = line.left(at);
            if (!saved.contains(name))
                saved.insert(name, qgetenv(name.constData()));
            at + 1 < line.size() ? qputenv(name.constData(), line.mid(at + 1))
                                 : qunsetenv(name.constData());
        }
    return process.state() == QProcess::Running;
}

const QString gnomeScript = QStringLiteral(SUPPORT_DIR "/gnome-session.sh");

QStringList inGnome(const QStringList &command)
{
    return QStringList{gnomeRoot(), qEnvironmentVariable("XDG_RUNTIME_DIR")} + command;
}

bool typeInGnome(const QStringList &steps)
{
    return QProcess::execute(gnomeScript, inGnome(QStringList{u"keys"_s} + steps)) == 0;
}

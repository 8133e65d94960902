#include "remote_server.h"

#include "daemon_process.h"
#include "desktop_helpers.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

bool RemoteServer::start(const QString &inferencePath, const QString &key)
{
    process.setProgram(u"python3"_s);
    process.setArguments({QStringLiteral(SUPPORT_DIR "/remote_server.py"), u"--whisper"_s,
                          QStringLiteral(WHISPER_SERVER), u"--model"_s, fixtureModel(u"hello"_s),
                          u"--inference-path"_s, inferencePath, u"--key"_s, key, u"--dir"_s,
                          dir.path()});
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start();
    if (!waitUntil([this] { return QFile::exists(dir.filePath(u"ready"_s)); }, 60000))
        return false;
    const QJsonObject ready = QJsonDocument::fromJson(readFile(dir.filePath(u"ready"_s))).object();
    tlsPort = ready.value(u"tls").toInt();
    closedPort = ready.value(u"closed").toInt();
    untrustedPort = ready.value(u"untrusted").toInt();
    return tlsPort > 0;
}

RemoteServer::~RemoteServer()
{
    process.terminate();
    process.waitForFinished(10000);
}

void RemoteServer::setMode(const QByteArray &mode) const
{
    QFile file(dir.filePath(u"mode"_s));
    file.open(QIODevice::WriteOnly);
    file.write(mode);
}

QString RemoteServer::caFile() const
{
    return dir.filePath(u"ca.pem"_s);
}

QByteArray RemoteServer::lastBody() const
{
    return readFile(dir.filePath(u"body"_s));
}

QByteArray RemoteServer::lastAuthorization() const
{
    return readFile(dir.filePath(u"authorization"_s));
}

bool RemoteServer::redirected() const
{
    return QFile::exists(dir.filePath(u"redirected"_s));
}

bool Keyring::start()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"XDG_DATA_HOME"_s, data.path());
    process.setProcessEnvironment(env);
    process.start(u"gnome-keyring-daemon"_s,
                  {u"--foreground"_s, u"--replace"_s, u"--unlock"_s, u"--components=secrets"_s});
    if (!process.waitForStarted())
        return false;
    process.write("test password");
    process.closeWriteChannel();
    // Ours, not one the bus started for someone earlier (a portal does): asked
    // of the bus, not of the service, which would start another one.
    return waitUntil(
        [this] {
            const QDBusReply<uint> owner =
                QDBusConnection::sessionBus().interface()->servicePid(u"org.freedesktop.secrets"_s);
            return owner.isValid() && qint64(owner.value()) == process.processId();
        },
        10000);
}

Keyring::~Keyring()
{
    process.terminate();
    process.waitForFinished(5000);
}

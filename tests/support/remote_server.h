#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

// Another machine's transcription server on loopback: the real whisper-server
// behind a bearer-token check and TLS from a test authority (remote_server.py).
class RemoteServer {
  public:
    bool start(const QString &inferencePath, const QString &key = {});
    ~RemoteServer();
    // What the proxy does with the next requests (remote_server.py's modes).
    void setMode(const QByteArray &mode) const;
    QString caFile() const;
    QByteArray lastBody() const;
    QByteArray lastAuthorization() const;
    // Whether a request reached the sign-in page a redirect pointed at.
    bool redirected() const;
    int tlsPort = 0;
    int closedPort = 0;
    int untrustedPort = 0;

  private:
    QTemporaryDir dir;
    QProcess process;
};

// A secret service of the test's own on the session bus: gnome-keyring with
// an unlocked login keyring in its own data folder.
class Keyring {
  public:
    bool start();
    ~Keyring();
    QString dataPath() const
    {
        return data.path();
    }
    qint64 pid() const
    {
        return process.processId();
    }

  private:
    QTemporaryDir data;
    QProcess process;
};

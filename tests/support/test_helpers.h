#pragma once

// What tests share: the messages of a log file, a program's run, a folder's snapshot,
// and (for unit tests) a web server on loopback that answers as the test says.
#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

// The messages of a log written by core/log, without their timestamps.
inline QStringList logMessagesIn(const QString &path)
{
    QFile file(path);
    QStringList messages;
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n'))
            if (!line.isEmpty())
                messages << QString::fromUtf8(line.mid(27));
    return messages;
}

// Runs a program to its end; its output, or none when it failed or overran
// (said unless quiet).
inline std::optional<QByteArray>
output(const QString &program, const QStringList &arguments,
       const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
       bool quiet = false, int timeoutMs = 900000)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program, arguments);
    const bool ok = process.waitForFinished(timeoutMs) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!ok && !quiet)
        qWarning("%s: %s", qPrintable(program), process.readAllStandardError().constData());
    return ok ? std::optional(process.readAllStandardOutput()) : std::nullopt;
}

inline bool run(const QString &program, const QStringList &arguments,
                const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    return output(program, arguments, env).has_value();
}

// Every entry under dir with its type, permission bits and content digest.
inline QStringList snapshot(const QString &dir)
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        ::lstat(QFile::encodeName(path).constData(), &st);
        QFile file(path);
        QCryptographicHash hash(QCryptographicHash::Sha256);
        if (S_ISREG(st.st_mode) && file.open(QIODevice::ReadOnly))
            hash.addData(&file);
        entries << u"%1 %2 %3"_s.arg(path.mid(dir.size()))
                       .arg(st.st_mode, 0, 8)
                       .arg(QString::fromLatin1(hash.result().toHex()));
    }
    entries.sort();
    return entries;
}

// Answers each whole request with respond(request), on the thread that made it.
class HttpStub : public QTcpServer {
  public:
    std::function<QByteArray(const QByteArray &request)> respond = [](const QByteArray &) {
        return transcript(" Hello world.\n");
    };
    bool reset = false; // the connection is reset after the answer, not closed
    bool hold = false;  // an empty answer leaves the request waiting, not closed
    int requests = 0;

    HttpStub()
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *socket = nextPendingConnection();
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                QByteArray &request = pending[socket] += socket->readAll();
                const qsizetype head = request.indexOf("\r\n\r\n");
                const qsizetype at = request.toLower().indexOf("content-length:");
                if (head < 0 ||
                    (at >= 0 &&
                     request.size() <
                         head + 4 + request.mid(at + 15, 12).split('\r')[0].trimmed().toInt()))
                    return;
                ++requests;
                const QByteArray answer = respond(pending.take(socket));
                if (hold && answer.isEmpty())
                    return;
                socket->write(answer);
                socket->flush();
                if (reset) {
                    const linger now{1, 0};
                    ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now,
                                 sizeof now);
                    socket->abort();
                } else {
                    socket->disconnectFromHost();
                }
            });
        });
        listen(QHostAddress::LocalHost);
    }
    QString address() const
    {
        return u"http://127.0.0.1:%1"_s.arg(serverPort());
    }
    // A transcription server's answer: {"text": text}, as whisper.cpp and
    // OpenAI-compatible servers give it.
    static QByteArray transcript(const QByteArray &text)
    {
        return ok(QJsonDocument(QJsonObject{{u"text"_s, QString::fromUtf8(text)}})
                      .toJson(QJsonDocument::Compact));
    }
    static QByteArray ok(const QByteArray &body, const QByteArray &status = "200 OK")
    {
        return "HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(body.size()) +
               "\r\nConnection: close\r\n\r\n" + body;
    }

  private:
    QHash<QTcpSocket *, QByteArray> pending;
};

// The main of a unit test run as a fresh account: preferences in a folder of
// its own (language "auto") and no secret service on the bus.
#define PARLOTTA_FRESH_ACCOUNT_MAIN(TestClass)                                                     \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        QTemporaryDir config;                                                                      \
        qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit());                                   \
        qputenv("HOME", config.path().toLocal8Bit());                                              \
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");                             \
        QCoreApplication app(argc, argv);                                                          \
        TestClass test;                                                                            \
        return QTest::qExec(&test, argc, argv);                                                    \
    }

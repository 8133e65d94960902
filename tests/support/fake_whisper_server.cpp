// A stand-in for whisper.cpp's whisper-server, for what the real one cannot be
// made to do on demand: slow or hanging answers, dropped connections, HTTP
// errors, odd bodies, ignoring SIGTERM. The same command line and POST
// /inference contract, and scripted answers.
//
// Answers are scripted in $PARLOTTA_FAKE_SERVER_DIR; without it every answer
// is the default one.
//   answers/*           scripted answers, used once each in name order; a file
//                       holds "STATUS [DELAY_MS] [close]\n" then the body.
//                       "close" sends half the body and drops the connection.
//   Without answers it replies 200 " Hello world.\n". Like the real server, a
//   200 answer to response_format=json is {"text": body}.
// Behaviour switches, from the environment (the daemon passes its own on):
//   PARLOTTA_FAKE_SERVER_IGNORE_TERM=1   SIGTERM does nothing
//   PARLOTTA_FAKE_SERVER_LOAD_MS=N       takes N ms to "load the model" before it listens
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

struct Answer {
    int status = 200;
    int delayMs = 0;
    bool closeMidway = false;
    QByteArray body = " Hello world.\n";
};

Answer nextAnswer()
{
    Answer answer;
    const QString dir = qEnvironmentVariable("PARLOTTA_FAKE_SERVER_DIR");
    if (dir.isEmpty())
        return answer;
    QDir answers(dir + u"/answers"_s);
    const QStringList names = answers.entryList(QDir::Files, QDir::Name);
    for (const QString &name : names) {
        if (name.endsWith(u".used"_s))
            continue;
        QFile file(answers.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray content = file.readAll();
        file.close();
        answers.rename(name, name + u".used"_s);
        const qsizetype newline = content.indexOf('\n');
        const QList<QByteArray> head = content.left(newline).split(' ');
        answer.status = head.value(0).toInt();
        answer.delayMs = head.value(1).toInt();
        answer.closeMidway = head.contains("close");
        answer.body = newline < 0 ? QByteArray() : content.mid(newline + 1);
        break;
    }
    return answer;
}

class Connection : public QObject {
  public:
    explicit Connection(QTcpSocket *s)
        : socket(s)
    {
        connect(socket, &QTcpSocket::readyRead, this, &Connection::readMore);
        connect(socket, &QTcpSocket::disconnected, this, [this] {
            socket->deleteLater();
            deleteLater();
        });
    }

  private:
    void readMore()
    {
        buffer += socket->readAll();
        while (true) {
            const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
            if (headerEnd < 0)
                return;
            qsizetype length = 0;
            for (const QByteArray &line : buffer.left(headerEnd).split('\n'))
                if (line.toLower().startsWith("content-length:"))
                    length = line.mid(15).trimmed().toLongLong();
            if (buffer.size() < headerEnd + 4 + length)
                return;
            const QByteArray request = buffer.left(headerEnd + 4 + length);
            buffer.remove(0, request.size());
            respond(request);
        }
    }

    void respond(const QByteArray &request)
    {
        Answer answer;
        if (!request.startsWith("POST /inference ")) {
            answer = {404, 0, false, "Not Found"};
        } else if (!request.contains("name=\"file\"")) {
            answer = {400, 0, false, "Invalid request"};
        } else {
            answer = nextAnswer();
        }
        const bool json =
            answer.status == 200 && request.contains("name=\"response_format\"\r\n\r\njson");
        if (json)
            answer.body = QJsonDocument(QJsonObject{{u"text"_s, QString::fromUtf8(answer.body)}})
                              .toJson(QJsonDocument::Compact);
        const QByteArray head = "HTTP/1.1 " + QByteArray::number(answer.status) +
                                (answer.status == 200 ? " OK" : " Error") + "\r\nContent-Type: " +
                                (json ? "application/json" : "text/html; charset=utf-8") +
                                "\r\nContent-Length: " + QByteArray::number(answer.body.size()) +
                                "\r\nKeep-Alive: timeout=5, max=100\r\n\r\n";
        QTimer::singleShot(answer.delayMs, socket, [socket = socket, head, answer] {
            if (answer.closeMidway) {
                socket->write(head + answer.body.left(answer.body.size() / 2));
                socket->flush();
                socket->abort();
                return;
            }
            socket->write(head + answer.body);
        });
    }

    QTcpSocket *socket;
    QByteArray buffer;
};

// Bound with SO_REUSEPORT, as the real server binds (and SO_REUSEADDR): a port
// that the real server's closed connections left in TIME_WAIT is free again at
// once. -1 when it cannot bind.
int listeningSocket(const QString &host, quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host.toLatin1().constData(), &address.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet("PARLOTTA_FAKE_SERVER_IGNORE_TERM"))
        std::signal(SIGTERM, SIG_IGN);
    else
        std::signal(SIGTERM, [](int) { _exit(0); });
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);

    QString host = u"127.0.0.1"_s;
    quint16 port = 8178;
    for (qsizetype i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == u"--host"_s)
            host = args[i + 1];
        else if (args[i] == u"--port"_s)
            port = quint16(args[i + 1].toUInt());
        else if (args[i] == u"--model"_s) {
            // Like the real server: the model is opened before the port is bound.
            QFile model(args[i + 1]);
            if (!model.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr,
                             "failed to open '%s'\nerror: failed to initialize whisper context\n",
                             qPrintable(args[i + 1]));
                return 3;
            }
        }
    }
    if (const int loadMs = qEnvironmentVariableIntValue("PARLOTTA_FAKE_SERVER_LOAD_MS"); loadMs > 0)
        ::usleep(useconds_t(loadMs) * 1000);
    QTcpServer server;
    if (!server.setSocketDescriptor(listeningSocket(host, port))) {
        std::fprintf(stderr, "couldn't bind to server socket: hostname=%s port=%u\n",
                     qPrintable(host), port);
        return 1;
    }
    QObject::connect(&server, &QTcpServer::newConnection, [&server] {
        while (QTcpSocket *socket = server.nextPendingConnection())
            new Connection(socket);
    });
    std::printf("whisper server listening at http://%s:%u\n", qPrintable(host), port);
    std::fflush(stdout);
    return app.exec();
}

#pragma once

// What tests share: the messages of a log file, and (for unit tests) a web
// server on loopback that answers as the test says.
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <functional>
#include <sys/socket.h>

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

// Answers each whole request with respond(request), on the thread that made it.
class HttpStub : public QTcpServer {
  public:
    std::function<QByteArray(const QByteArray &request)> respond = [](const QByteArray &) {
        return ok(" Hello world.\n");
    };
    bool reset = false; // the connection is reset after the answer, not closed
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
                socket->write(respond(pending.take(socket)));
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
    static QByteArray ok(const QByteArray &body, const QByteArray &status = "200 OK")
    {
        return "HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(body.size()) +
               "\r\nConnection: close\r\n\r\n" + body;
    }

  private:
    QHash<QTcpSocket *, QByteArray> pending;
};

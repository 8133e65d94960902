// A model hub for the tests, on loopback: the repository listing, the
// redirect from a model's address to its file, and the files themselves, with
// the misbehaviour a test asks for.
//   test_hub DIR        prints "listening PORT" once it accepts connections
//   DIR/listing.json    the body of GET /api/models/OWNER/whisper.cpp/tree/main
//   DIR/files/NAME      served for GET /OWNER/whisper.cpp/resolve/main/NAME, after a 302
//   DIR/files/NAME.how  optional words: "slow" (64 kB/s), "cut" (closes half-way
//                       after announcing the whole length), "nolength" (no length),
//                       "ftp" (the redirect points to an ftp:// address)
// A missing file answers 404.
#include <QCoreApplication>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cstdio>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

QString dir;

void answer(QTcpSocket *socket, int status, const QByteArray &reason, const QByteArray &body,
            const QByteArray &headers = {})
{
    socket->write("HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
                  "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n" + headers +
                  "Connection: close\r\n\r\n" + body);
    socket->disconnectFromHost();
}

// Streams a file in pieces, as the options say.
void serveFile(QTcpSocket *socket, const QString &path)
{
    auto file = std::make_shared<QFile>(path);
    if (!file->open(QIODevice::ReadOnly))
        return answer(socket, 404, "Not Found", "Entry not found");
    QFile how(path + u".how"_s);
    const QByteArray options = how.open(QIODevice::ReadOnly) ? how.readAll() : QByteArray();
    const bool slow = options.contains("slow"), cut = options.contains("cut"),
               noLength = options.contains("nolength");
    const qint64 size = file->size();
    const qint64 limit = cut ? size / 2 : size;
    socket->write(
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n" +
        (noLength ? QByteArray() : "Content-Length: " + QByteArray::number(size) + "\r\n") +
        "Connection: close\r\n\r\n");
    auto *timer = new QTimer(socket);
    QObject::connect(timer, &QTimer::timeout, socket, [socket, file, slow, limit, timer] {
        if (socket->bytesToWrite() > (slow ? 0 : 4 << 20))
            return;
        const qint64 piece = std::min<qint64>(slow ? 6553 : 1 << 20, limit - file->pos());
        if (piece <= 0) {
            timer->stop();
            socket->disconnectFromHost();
            return;
        }
        socket->write(file->read(piece));
    });
    timer->start(slow ? 100 : 0);
}

void handle(QTcpSocket *socket)
{
    auto request = std::make_shared<QByteArray>();
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, request] {
        *request += socket->readAll();
        if (!request->contains("\r\n\r\n"))
            return;
        const QByteArray target = request->split(' ').value(1);
        request->clear();
        if (target.startsWith("/api/models/") && target.endsWith("/whisper.cpp/tree/main")) {
            QFile listing(dir + u"/listing.json"_s);
            if (!listing.open(QIODevice::ReadOnly))
                return answer(socket, 404, "Not Found", "{\"error\":\"not found\"}");
            return answer(socket, 200, "OK", listing.readAll(),
                          "Content-Type: application/json\r\n");
        }
        const int resolve = target.indexOf("/whisper.cpp/resolve/main/");
        if (resolve > 0) {
            const QByteArray name = target.mid(resolve + 26);
            QFile how(dir + u"/files/"_s + QString::fromUtf8(name) + u".how"_s);
            const bool ftp = how.open(QIODevice::ReadOnly) && how.readAll().contains("ftp");
            return answer(socket, 302, "Found", {},
                          "Location: "_ba + (ftp ? "ftp://127.0.0.1/" : "/files/") + name + "\r\n");
        }
        if (target.startsWith("/files/"))
            return serveFile(socket, dir + u"/files/"_s + QString::fromUtf8(target.mid(7)));
        answer(socket, 404, "Not Found", "Entry not found");
    });
    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc < 2)
        return 2;
    dir = QString::fromLocal8Bit(argv[1]);
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost))
        return 1;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *socket = server.nextPendingConnection())
            handle(socket);
    });
    std::printf("listening %d\n", server.serverPort());
    std::fflush(stdout);
    return app.exec();
}

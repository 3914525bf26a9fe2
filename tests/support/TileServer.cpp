#include "TileServer.h"

#include "TestTiles.h"

#include <QtCore/QPointer>
#include <QtCore/QRegularExpression>
#include <QtCore/QTimer>
#include <QtNetwork/QTcpSocket>

namespace {

QByteArray littleEndian32(quint32 v)
{
    QByteArray out(4, 0);
    for (int i = 0; i < 4; ++i)
        out[i] = char((v >> (8 * i)) & 0xff);
    return out;
}

// A gzip member whose content is `size` zero bytes: a few kilobytes on the wire.
QByteArray gzipOfZeros(int size)
{
    const QByteArray plain(size, '\0');
    const QByteArray zlib = qCompress(plain, 9).mid(4); // strip Qt's length prefix
    const QByteArray deflate = zlib.mid(2, zlib.size() - 6);
    return QByteArray::fromHex("1f8b0800000000000003") + deflate
        + littleEndian32(TestTiles::crc32(plain)) + littleEndian32(quint32(size));
}

} // namespace

TileServer::TileServer(QObject *parent) : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &TileServer::onNewConnection);
}

TileServer::~TileServer()
{
    m_server.close();
    const QList<QTcpSocket *> sockets = m_server.findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        delete socket;
    }
}

bool TileServer::start()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

quint16 TileServer::port() const
{
    return m_server.serverPort();
}

QString TileServer::urlTemplate() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(port()) + QStringLiteral("%1/%2/%3.png");
}

void TileServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void TileServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    for (;;) {
        const int end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        buffer.remove(0, end + 4);
        Request request;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.path = requestLine.value(1);
        for (int i = 1; i < lines.size(); ++i) {
            const int colon = lines.at(i).indexOf(':');
            if (colon > 0)
                request.headers.insert(lines.at(i).left(colon).trimmed().toLower(),
                                       lines.at(i).mid(colon + 1).trimmed());
        }
        requests.append(request);
        Q_EMIT requestReceived();
        answer(socket, request);
        if (socket->state() != QAbstractSocket::ConnectedState)
            return;
    }
}

void TileServer::answer(QTcpSocket *socket, const Request &request)
{
    static const QRegularExpression tilePath(QStringLiteral("^/(-?\\d+)/(-?\\d+)/(-?\\d+)\\.png"));
    const QRegularExpressionMatch match = tilePath.match(QString::fromLatin1(request.path));
    const Mode mode = m_pathModes.value(request.path.split('?').value(0), m_mode);
    auto tileBody = [&] {
        const auto fixed = m_bodies.constFind(request.path);
        if (fixed != m_bodies.constEnd())
            return fixed.value();
        return TestTiles::encoded(match.captured(2).toInt(), match.captured(3).toInt(),
                                  match.captured(1).toInt());
    };

    switch (mode) {
    case Tiles:
        if (!match.hasMatch()) {
            respond(socket, 404, "Not Found", "text/plain", "no such tile");
            return;
        }
        ++tilesServed;
        respond(socket, 200, "OK", "image/png", tileBody());
        return;
    case NotFound:
        respond(socket, 404, "Not Found", "text/plain", "no such tile");
        return;
    case ServerError:
        respond(socket, 500, "Internal Server Error", "text/plain", "broken");
        return;
    case Html:
        respond(socket, 200, "OK", "text/html",
                "<html><body>Please log in to see the map.</body></html>");
        return;
    case Slow: {
        const QByteArray body = tileBody();
        QPointer<QTcpSocket> guarded(socket);
        QTimer::singleShot(m_slowDelayMs, this, [this, guarded, body] {
            if (guarded) {
                ++tilesServed;
                respond(guarded, 200, "OK", "image/png", body);
            }
        });
        return;
    }
    case CloseConnection:
        socket->abort();
        return;
    case HugeBody:
        respond(socket, 200, "OK", "image/png", QByteArray(9 * 1024 * 1024, 'x'));
        return;
    case GzipBomb:
        respond(socket, 200, "OK", "image/png", gzipOfZeros(32 * 1024 * 1024),
                "Content-Encoding: gzip\r\n");
        return;
    case Redirect:
        if (!request.path.contains("?moved")) {
            respond(socket, 302, "Found", "text/html", "<html>moved</html>",
                    "Location: " + request.path + "?moved\r\n");
            return;
        }
        ++tilesServed;
        respond(socket, 200, "OK", "image/png", tileBody());
        return;
    case HugeImage:
        respond(socket, 200, "OK", "image/png", TestTiles::pngDeclaring(30000));
        return;
    case Stall:
        return;
    }
}

void TileServer::respond(QTcpSocket *socket, int status, const QByteArray &reason,
                         const QByteArray &contentType, const QByteArray &body,
                         const QByteArray &extraHeaders)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason + "\r\n";
    head += "Content-Type: " + contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    head += extraHeaders;
    head += "Connection: keep-alive\r\n\r\n";
    socket->write(head);
    socket->write(body);
}

#include "TileServer.h"

#include "TestTiles.h"

#include <QtCore/QRegularExpression>
#include <QtCore/QTimer>
#include <QtNetwork/QTcpSocket>

#include <memory>
#include <zlib.h>

TileServer::TileServer(Handler handler, QObject *parent)
    : QObject(parent), m_handler(std::move(handler))
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
            connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
                m_buffers.remove(socket);
                m_answering.remove(socket);
                socket->deleteLater();
            });
        }
    });
}

TileServer::~TileServer()
{
    m_server.close();
    for (QTcpSocket *socket : m_server.findChildren<QTcpSocket *>()) {
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
    return QStringLiteral("http://127.0.0.1:") + QString::number(port())
        + QStringLiteral("/%1/%2/%3.png");
}

TileServer::Response TileServer::tile(const Request &request)
{
    static const QRegularExpression path(QStringLiteral("^/(\\d+)/(\\d+)/(\\d+)\\.png(\\?.*)?$"));
    const QRegularExpressionMatch m = path.match(QString::fromLatin1(request.path));
    if (!m.hasMatch())
        return Response{404, "Content-Type: text/plain\r\n", "no such tile"};
    return Response{
        200, "Content-Type: image/png\r\n",
        TestTiles::encoded(m.captured(2).toInt(), m.captured(3).toInt(), m.captured(1).toInt())};
}

QByteArray TileServer::gzip(const QByteArray &data)
{
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.truncate(int(stream.total_out));
    deflateEnd(&stream);
    return out;
}

void TileServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    for (int end; (end = buffer.indexOf("\r\n\r\n")) >= 0;) {
        const QList<QByteArray> lines = buffer.left(end).split('\n');
        buffer.remove(0, end + 4);
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        Request request{requestLine.value(0), requestLine.value(1), {}};
        for (const QByteArray &line : lines.mid(1)) {
            const int colon = line.indexOf(':');
            if (colon > 0)
                request.headers.insert(line.left(colon).trimmed().toLower(),
                                       line.mid(colon + 1).trimmed());
        }
        requests.append(request);
        m_answering.insert(socket);
        mostBusy = qMax(mostBusy, busy());
        const Response response = m_handler(request);
        Q_EMIT requestReceived();
        if (response.delayMs >= 0)
            QTimer::singleShot(response.delayMs, socket, [=] { reply(socket, response); });
    }
}

void TileServer::reply(QTcpSocket *socket, const Response &r)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(r.status) + " Reply\r\n" + r.headers;
    head += r.endless ? QByteArray("Connection: close\r\n\r\n")
                      : "Content-Length: " + QByteArray::number(r.body.size()) + "\r\n\r\n";
    QByteArray bytes = head + r.body;
    const bool cut = r.cutAt >= 0 && r.cutAt < bytes.size();
    if (cut)
        bytes.truncate(r.cutAt);
    const int now = r.dripMs > 0 ? qMin(head.size(), bytes.size()) : bytes.size();
    socket->write(bytes.left(now));
    if (r.endless) {
        connect(socket, &QTcpSocket::bytesWritten, socket, [socket, body = r.body] {
            if (socket->bytesToWrite() < body.size())
                socket->write(body);
        });
        return;
    }
    auto rest = std::make_shared<QByteArray>(bytes.mid(now));
    auto done = [this, socket, cut, status = r.status] {
        m_answering.remove(socket);
        if (cut)
            socket->abort();
        else if (status == 200)
            ++tilesServed;
    };
    if (rest->isEmpty())
        return done();
    auto *drip = new QTimer(socket);
    connect(drip, &QTimer::timeout, socket, [=] {
        socket->write(rest->left(1));
        rest->remove(0, 1);
        if (rest->isEmpty()) {
            drip->deleteLater();
            done();
        }
    });
    drip->start(r.dripMs);
}

#include "TileServer.h"

#include "TestTiles.h"

#include <QtCore/QRegularExpression>
#include <QtCore/QTimer>
#include <QtNetwork/QTcpSocket>

#include <memory>

bool TileServer::start()
{
    QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            // Head and body go out in separate writes, which must not wait for an ACK.
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            auto buffer = std::make_shared<QByteArray>();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                *buffer += socket->readAll();
                for (int end; (end = buffer->indexOf("\r\n\r\n")) >= 0;
                     buffer->remove(0, end + 4)) {
                    const QList<QByteArray> lines = buffer->left(end).split('\n');
                    Request request{lines[0].split(' ').value(1), {}};
                    for (const QByteArray &line : lines.mid(1))
                        request.headers.insert(line.left(line.indexOf(':')).trimmed().toLower(),
                                               line.mid(line.indexOf(':') + 1).trimmed());
                    requests.append(request);
                    m_answering.insert(socket);
                    mostBusy = qMax(mostBusy, busy());
                    const Response response = m_handler(request);
                    if (response.delayMs >= 0)
                        QTimer::singleShot(response.delayMs, socket,
                                           [=] { answer(socket, response); });
                }
            });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
                m_answering.remove(socket);
                socket->deleteLater();
            });
        }
    });
    return m_server.listen(QHostAddress::LocalHost, 0);
}

TileServer::Response TileServer::tile(const Request &request)
{
    static const QRegularExpression path(QStringLiteral("^/(\\d+)/(\\d+)/(\\d+)\\.png(\\?.*)?$"));
    const QRegularExpressionMatch m = path.match(QString::fromLatin1(request.path));
    const auto n = [&m](int i) { return m.captured(i).toInt(); };
    return m.hasMatch() ? Response{200, {}, TestTiles::encoded(n(2), n(3), n(1))}
                        : Response{404, {}, "no such tile"};
}

void TileServer::answer(QTcpSocket *socket, const Response &r)
{
    const bool closes = r.headers.contains("Connection: close");
    QByteArray head = "HTTP/1.1 " + QByteArray::number(r.status) + " Reply\r\n" + r.headers;
    if (!closes)
        head += "Content-Length: " + QByteArray::number(r.body.size()) + "\r\n";
    socket->write(head + "\r\n");
    auto rest = std::make_shared<QByteArray>(r.body);
    const int step = r.dripMs > 0 ? 1 : r.body.size();
    auto *drip = new QTimer(socket);
    QObject::connect(drip, &QTimer::timeout, socket, [=] {
        socket->write(rest->left(step));
        rest->remove(0, step);
        if (!rest->isEmpty())
            return;
        drip->deleteLater();
        m_answering.remove(socket);
        tilesServed += r.status == 200;
        if (closes)
            socket->disconnectFromHost();
    });
    drip->start(qMax(0, r.dripMs));
}

#include "TileServer.h"

#include "TestTiles.h"

#include <QtCore/QLocale>
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
                    ++hits[request.path.split('?').constFirst()];
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

QDateTime TileServer::versionTime(int version)
{
    static const QDateTime anHourAgo = QDateTime::fromSecsSinceEpoch(
        QDateTime::currentSecsSinceEpoch() - 3600, Qt::UTC);
    return version == 0 ? QDateTime(QDate(2020, 1, 1), QTime(0, 0), Qt::UTC)
                        : anHourAgo.addSecs(version);
}

TileServer::Handler TileServer::validating(std::function<int(int, int, int)> version,
                                           const QByteArray &headers)
{
    return [version, headers](const Request &request) {
        static const QRegularExpression path(
            QStringLiteral("^/(\\d+)/(\\d+)/(\\d+)\\.png(\\?.*)?$"));
        const QRegularExpressionMatch m = path.match(QString::fromLatin1(request.path));
        if (!m.hasMatch())
            return Response{404, {}, "no such tile"};
        const int z = m.captured(1).toInt(), x = m.captured(2).toInt(), y = m.captured(3).toInt();
        const int v = version(x, y, z);
        const QByteArray etag
            = QStringLiteral("\"%1-%2-%3-%4\"").arg(z).arg(x).arg(y).arg(v).toLatin1();
        const QByteArray modified = QLocale::c()
                                        .toString(versionTime(v),
                                                  QStringLiteral("ddd, dd MMM yyyy "
                                                                 "hh:mm:ss 'GMT'"))
                                        .toLatin1();
        const QByteArray head = headers + "ETag: " + etag + "\r\nLast-Modified: " + modified
            + "\r\n";
        const QByteArray since = request.headers.value("if-modified-since");
        const QDateTime sinceTime = QLocale::c().toDateTime(QString::fromLatin1(since),
                                                            QStringLiteral(
                                                                "ddd, dd MMM yyyy hh:mm:ss 'GMT'"));
        const bool unchanged = request.headers.contains("if-none-match")
            ? request.headers.value("if-none-match") == etag
            : sinceTime.isValid()
                && QDateTime(sinceTime.date(), sinceTime.time(), Qt::UTC) >= versionTime(v);
        if (unchanged)
            return Response{304, head, {}};
        return Response{200, head, TestTiles::encoded(x, y, z + 8 * v)};
    };
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
        ++answered[r.status];
        if (closes)
            socket->disconnectFromHost();
    });
    drip->start(qMax(0, r.dripMs));
}

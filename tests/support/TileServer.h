#ifndef TILESERVER_H
#define TILESERVER_H

#include <QtCore/QDateTime>
#include <QtCore/QHash>
#include <QtCore/QSet>
#include <QtNetwork/QTcpServer>

#include <functional>

class QTcpSocket;

// An HTTP/1.1 server on 127.0.0.1 for tests: a handler answers each request, which is
// recorded. An answer may come late, never, or a byte at a time; with "Connection: close"
// among its headers it gets no Content-Length of its own and the connection closes after it.
class TileServer
{
public:
    struct Request
    {
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
    };
    struct Response
    {
        int status = 200;
        QByteArray headers; // extra lines, each ending in "\r\n"
        QByteArray body;
        int delayMs = 0; // before the first byte; negative: no answer at all
        int dripMs = 0;  // the head at once, then the body one byte per dripMs
    };
    using Handler = std::function<Response(const Request &)>;

    explicit TileServer(Handler handler = tile) : m_handler(std::move(handler)) { }

    bool start();
    quint16 port() const { return m_server.serverPort(); }
    // "http://127.0.0.1:<port>/%1/%2/%3.png"
    QString urlTemplate() const
    {
        return QStringLiteral("http://127.0.0.1:%1/").arg(port()) + QStringLiteral("%1/%2/%3.png");
    }
    void setHandler(Handler handler) { m_handler = std::move(handler); }
    // Requests not answered in full on connections that are still open.
    int busy() const { return m_answering.size(); }
    // From now on connections are refused.
    void stop() { m_server.close(); }

    // TestTiles::encoded(x, y, z) for /z/x/y.png (any query ignored), 404 otherwise.
    static Response tile(const Request &request);
    // The tile of version `version(x, y, z)` for /z/x/y.png, with an ETag and a
    // Last-Modified of that version and `headers`, or 304 to a request whose
    // If-None-Match or If-Modified-Since names that version. Version 0 is tile()'s tile,
    // version v another colour: that of TestTiles::encoded(x, y, z + 8 * v).
    static Handler validating(std::function<int(int x, int y, int z)> version,
                              const QByteArray &headers = {});
    // When version v of every tile was made: version 0 in 2020, the others an hour
    // before the first time this is asked, and v seconds.
    static QDateTime versionTime(int version);

    QList<Request> requests;
    QHash<QByteArray, int> hits; // requests per path
    QHash<int, int> answered;    // replies written in full, per status
    int tilesServed = 0;         // 200 replies written in full
    int mostBusy = 0;            // the most requests answered at once

private:
    void answer(QTcpSocket *socket, const Response &response);

    Handler m_handler;
    QSet<QTcpSocket *> m_answering;
    QTcpServer m_server; // last: its sockets go first, while the rest is still there
};

#endif

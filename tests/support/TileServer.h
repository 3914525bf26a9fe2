#ifndef TILESERVER_H
#define TILESERVER_H

#include <QtCore/QHash>
#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtCore/QSet>
#include <QtNetwork/QTcpServer>

#include <functional>

class QTcpSocket;

// An HTTP/1.1 server on 127.0.0.1 for tests whose answers come from a handler: status,
// headers and body, and how they are delivered (late, a byte at a time, cut short, or
// never ending). Every request is recorded.
class TileServer : public QObject
{
    Q_OBJECT

public:
    struct Request
    {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
    };
    struct Response
    {
        int status = 200;
        QByteArray headers; // extra lines, each ending in "\r\n"
        QByteArray body;
        int delayMs = 0; // before the first byte; negative: no answer at all
        int dripMs = 0; // the head at once, then the body one byte per dripMs
        int cutAt = -1; // the connection drops after this many bytes of the reply
        bool endless = false; // the body over and over, without a length, until the client hangs up
    };
    using Handler = std::function<Response(const Request &)>;

    explicit TileServer(Handler handler = tile, QObject *parent = nullptr);
    ~TileServer() override;

    bool start();
    quint16 port() const;
    // "http://127.0.0.1:<port>/%1/%2/%3.png"
    QString urlTemplate() const;
    void setHandler(Handler handler) { m_handler = std::move(handler); }
    // Requests not answered in full on connections that are still open.
    int busy() const { return m_answering.size(); }

    // TestTiles::encoded(x, y, z) for /z/x/y.png (any query ignored), 404 otherwise.
    static Response tile(const Request &request);
    static QByteArray gzip(const QByteArray &data);

    QList<Request> requests;
    int tilesServed = 0; // 200 replies written in full
    int mostBusy = 0;

Q_SIGNALS:
    void requestReceived();

private:
    void onReadyRead(QTcpSocket *socket);
    void reply(QTcpSocket *socket, const Response &response);

    QTcpServer m_server;
    Handler m_handler;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QSet<QTcpSocket *> m_answering;
};

#endif

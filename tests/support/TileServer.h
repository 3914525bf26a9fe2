#ifndef TILESERVER_H
#define TILESERVER_H

#include <QtCore/QHash>
#include <QtCore/QList>
#include <QtCore/QObject>
#include <QtNetwork/QTcpServer>

class QTcpSocket;

// A scriptable HTTP/1.1 tile server on 127.0.0.1 for tests. Paths are /z/x/y.png; in
// Tiles mode it answers with TestTiles::encoded(x, y, z). Other modes produce the
// faults a real tile server can show. Every request is recorded.
class TileServer : public QObject
{
    Q_OBJECT

public:
    enum Mode {
        Tiles,
        NotFound,
        ServerError,
        Html,
        Slow,
        CloseConnection,
        HugeBody,
        GzipBomb,
        Redirect,
        HugeImage,
        Stall
    };

    struct Request
    {
        QByteArray method;
        QByteArray path;
        QHash<QByteArray, QByteArray> headers; // names in lower case
    };

    explicit TileServer(QObject *parent = nullptr);
    ~TileServer() override;

    bool start();
    quint16 port() const;
    // "http://127.0.0.1:<port>/%1/%2/%3.png"
    QString urlTemplate() const;

    void setMode(Mode mode) { m_mode = mode; }
    void setModeFor(const QByteArray &path, Mode mode) { m_pathModes.insert(path, mode); }
    void setSlowDelayMs(int ms) { m_slowDelayMs = ms; }
    // Fixed bodies by path, served in Tiles mode instead of generated test tiles.
    void setBodies(const QHash<QByteArray, QByteArray> &bodies) { m_bodies = bodies; }

    QList<Request> requests;
    int tilesServed = 0;

Q_SIGNALS:
    void requestReceived();

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Request &request);
    void respond(QTcpSocket *socket, int status, const QByteArray &reason,
                 const QByteArray &contentType, const QByteArray &body,
                 const QByteArray &extraHeaders = QByteArray());

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QHash<QByteArray, Mode> m_pathModes;
    QHash<QByteArray, QByteArray> m_bodies;
    Mode m_mode = Tiles;
    int m_slowDelayMs = 200;
};

#endif

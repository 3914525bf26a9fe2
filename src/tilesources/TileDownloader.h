#ifndef TILEDOWNLOADER_H
#define TILEDOWNLOADER_H

#include "TileKey.h"

#include <QtCore/QMetaType>
#include <QtCore/QObject>
#include <QtCore/QPointF>
#include <QtCore/QRect>
#include <QtGui/QImage>
#include <QtNetwork/QNetworkReply>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class Tiles;

// Fetches missing tiles from a tile server into a store. Keeps a budget of requests in
// flight, sends the queued ones nearest the view's centre first, drops queued ones that
// left the view, validates every body as a tile image before storing it, and marks
// failed tiles: transient failures for a backoff, permanent ones until the marks are
// cleared or the template or store changes.
class TileDownloader : public QObject
{
    Q_OBJECT

public:
    // Codes of tileFailed() and Status::error besides QNetworkReply::NetworkError, whose
    // values they reuse where the meaning matches.
    enum Error {
        // Column, row or level outside the tiling: there is no such tile.
        OffGridError = QNetworkReply::ContentNotFoundError,
        // A 200 reply whose body is no tile: not PNG, JPEG or WebP within 1024 x 1024
        // pixels, more than 8 MiB, or still content-encoded.
        BadBodyError = QNetworkReply::UnknownContentError,
        // The overall deadline or the inactivity timeout passed.
        TimeoutError = QNetworkReply::TimeoutError,
    };

    enum State {
        NotRequested, // no usable template or no store: draw nothing
        Requested, // queued or in flight: draw the placeholder
        Failed // draw the error tile of `error`
    };
    struct Status
    {
        State state = NotRequested;
        int error = 0;
    };

    explicit TileDownloader(QObject *parent = nullptr);
    ~TileDownloader() override;

    // Owned; the replies are its children.
    QNetworkAccessManager *network() const;

    // Returns false for an empty or unusable template; an unusable one is reported with
    // one warning. Any change cancels all requests and empties the failure marks.
    bool setUrlTemplate(const QString &urlTemplate);
    QString urlTemplate() const;
    // Arrivals are written here. Every call, even with the same pointer (a store reopened
    // at the same address is another store), cancels all requests and empties the marks;
    // call it with nullptr before deleting the store.
    void setStore(Tiles *store);
    void setUserAgent(const QByteArray &value);
    QByteArray userAgent() const;
    void setMaxInFlight(int n);
    int maxInFlight() const;
    void setDumpServerExchange(bool on);
    bool dumpServerExchange() const;
    // Milliseconds without a byte before a request fails (default 30 s).
    void setTransferTimeout(int msecs);
    // Milliseconds a request may take at all (default 60 s): a server that drips a byte
    // now and then must not hold a connection for ever.
    void setDeadline(int msecs);
    // The clock that failure marks expire by; monotonic milliseconds by default.
    void setClock(std::function<qint64()> msecsNow);
    // Decides whether a body is a tile instead of decoding it; tileArrived() then carries a
    // null image. For a program that stores tiles without showing them.
    void setBodyCheck(std::function<bool(const QByteArray &body)> isTile);

    // For a tile of the current view that the store lacks. Queues a request unless the
    // tile is queued or in flight or a failure mark forbids it. Off-grid tiles fail at
    // once with OffGridError.
    Status want(const TileKey &key);
    // The level, window of columns and rows and centre (in tile units) on screen. Drops
    // queued requests outside the window or of another level, orders the rest nearest
    // the centre first and sends up to the budget. Requests in flight run on.
    void setView(int z, const QRect &window, const QPointF &centre);
    void cancelAll();
    void clearMarks();
    int queuedCount() const;
    int inFlightCount() const;
    // When a failed tile may be wanted again, on the clock of setClock(): 0 when it bears
    // no mark, -1 when its failure is permanent.
    qint64 retryAt(const TileKey &key) const;

    void handleReply(QNetworkReply *reply);

Q_SIGNALS:
    // Written to the store (or refused by it) and decodable.
    void tileArrived(const TileKey &key, const QImage &image);
    void tileFailed(const TileKey &key, int error);
    // Every request that ends, just before tileArrived() or tileFailed(): the HTTP status
    // (0 when none came) and the size of the body taken as the tile (0 when none was).
    void replyFinished(const TileKey &key, int httpStatus, qint64 tileBytes);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

Q_DECLARE_METATYPE(TileKey)

#endif

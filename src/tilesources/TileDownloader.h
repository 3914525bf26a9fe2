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
//
// A server that answers 429 or 503 with Retry-After gets no request at all until the time
// it gave (at most an hour); queued tiles wait for it as requested, not failed. Redirects
// are followed, at most 5 in a row, to http and https only, never from https to http.
//
// Once told what a view shows (setView), the downloader keeps that view whole by itself,
// with no repaint needed: a failed tile of the view is asked for again when its wait ends,
// and when a tile that had failed for a transient reason arrives, the server is taken to
// be back and the other tiles it failed that way wait no longer (Retry-After still holds).
// A 200 body that is no tile (an error page of a proxy, a body cut short) is then taken
// as transient too, with a long backoff; without a view it is final, like a 404.
//
// With HTTP caching on, the store keeps with each tile what its server said of it (when
// it came, its ETag and Last-Modified, how long it stays fresh), a tile sent with
// "Cache-Control: no-store" is shown but not stored, and stored tiles can be revalidated:
// asked for again with If-None-Match and If-Modified-Since, so that an unchanged tile
// costs a 304 and is not written again.
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
        Requested,    // queued or in flight: draw the placeholder
        Failed        // draw the error tile of `error`
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
    // Milliseconds without a byte before a request fails (default 30 s); the reply's head
    // must have come by then too.
    void setTransferTimeout(int msecs);
    // Once the head has come, a body that brings fewer than `bytes` in `msecs` fails as
    // timed out (default 2 KiB in 5 s): a server that drips a byte now and then frees its
    // connection within seconds, not at the deadline.
    void setSlowBodyLimit(int bytes, int msecs);
    // Milliseconds a request may take at all (default 60 s): a server that drips a byte
    // now and then must not hold a connection for ever.
    void setDeadline(int msecs);
    // The clock that failure marks and pauses expire by; monotonic milliseconds by default.
    // The waits that end by themselves run on the event loop's timers, for as long as this
    // clock says they have left when they begin.
    void setClock(std::function<qint64()> msecsNow);
    // A transient failure waits `firstMsecs` before the tile may be asked for again,
    // doubling with every failure in a row up to `maxMsecs` (default 10 s and 10 min).
    // Retry-After may lengthen it. A body that was no tile waits 5 min, doubling up to an
    // hour.
    void setBackoff(int firstMsecs, int maxMsecs);
    // Off by default; see above.
    void setHttpCaching(bool on);
    bool httpCaching() const;
    // The wall clock that records of freshness are dated by, in milliseconds since 1970
    // (UTC); the system's by default.
    void setWallClock(std::function<qint64()> msecsSinceEpoch);
    // Decides whether a body is a tile instead of decoding it; tileArrived() then carries a
    // null image. For a program that stores tiles without showing them.
    void setBodyCheck(std::function<bool(const QByteArray &body)> isTile);

    // For a tile of the current view that the store lacks. Queues a request unless the
    // tile is queued or in flight or a failure mark forbids it. Off-grid tiles fail at
    // once with OffGridError.
    Status want(const TileKey &key);
    // For a stored tile whose freshness ran out, with HTTP caching on: queues a
    // conditional request made from the store's record, sent once no missing tile is
    // queued, within the same budget. Refused (false) for a tile queued or in flight
    // already, one a failure mark holds, and while its server asks for a pause or backs
    // off after a transient failure: then nothing is queued.
    bool revalidate(const TileKey &key);
    // Until when, on the clock of setClock(), the tile's server is paused or backs off;
    // 0 when it may be asked now.
    qint64 serverWaitUntil(const TileKey &key) const;
    // The level, window of columns and rows and centre (in tile units) on screen. Drops
    // queued requests outside the window or of another level, orders the rest nearest
    // the centre first and sends up to the budget. Requests in flight run on.
    void setView(int z, const QRect &window, const QPointF &centre);
    // Drops what is queued and in flight, and forgets the view until the next setView():
    // nothing is asked for by itself meanwhile.
    void cancelAll();
    void clearMarks();
    // Revalidations included.
    int queuedCount() const;
    int inFlightCount() const;
    // Failure marks held: at most a few thousand, those near the view first.
    int markCount() const;
    // When a failed tile may be wanted again, on the clock of setClock(): 0 when it bears
    // no mark, -1 when its failure is permanent.
    qint64 retryAt(const TileKey &key) const;

    void handleReply(QNetworkReply *reply);

Q_SIGNALS:
    // Written to the store (or refused by it; or, sent with no-store, not written) and
    // decodable; for a revalidation, the server's new tile.
    void tileArrived(const TileKey &key, const QImage &image);
    void tileFailed(const TileKey &key, int error);
    // With HTTP caching, for every tile that came (changed; tileArrived() follows) and
    // every stored tile the server confirmed with a 304 (not changed): how long the
    // server said it stays fresh from now, in seconds, -1 when it did not say, and
    // whether it is stored (false for a tile sent with no-store).
    void tileFresh(const TileKey &key, qint64 lifetimeSecs, bool changed, bool stored);
    // A revalidation failed: the stored tile stays, and the failure is marked as for a
    // download, so the tile is not asked for again before its wait ends.
    void revalidationFailed(const TileKey &key, int error);
    // Every request that ends, just before tileArrived() or tileFailed(): the HTTP status
    // (0 when none came) and the size of the body taken as the tile (0 when none was).
    void replyFinished(const TileKey &key, int httpStatus, qint64 tileBytes);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

Q_DECLARE_METATYPE(TileKey)

#endif

#ifndef TILEPROVIDER_H
#define TILEPROVIDER_H

#include "TileKey.h"

#include <QtCore/QObject>
#include <QtCore/QPointF>
#include <QtCore/QRect>
#include <QtGui/QPixmap>

#include <QtCore/QVector>

#include <functional>
#include <memory>

class QNetworkReply;
class TileDownloader;

// The tiles of one map view, without the view: the open store, the downloads into it,
// the memory of decoded tiles, the placeholder and error tiles, and the tiles prepared
// ahead of the paints that may need them. The view asks it for the tile of a cell and
// tells it what it shows and what it may show next; tileChanged() reports a tile that
// came later. Lives on the GUI thread; only decoding ahead runs on worker threads.
class TileProvider : public QObject
{
    Q_OBJECT

public:
    // What a cell shows, and whether that can still change.
    struct Tile
    {
        enum State {
            // The stored tile, or nothing for good.
            Settled,
            // Nothing for now: another program holds a lock on the store. tileChanged()
            // follows once the tile can be read.
            Locked,
            // The download placeholder or an error tile. tileChanged() follows when the
            // tile arrives or fails; asking again retries a failure whose wait is over.
            Downloading
        };
        QPixmap pixmap;
        State state = Settled;
    };

    explicit TileProvider(QObject *parent = nullptr);
    // Drops the requests in flight and closes the store.
    ~TileProvider() override;

    // Closes the store and opens the one at path, none for an empty path; false, after one
    // warning naming the file and the reason, when it cannot. Requests and failure marks
    // of the old store and every decoded tile are dropped.
    bool open(const QString &path);
    bool hasStore() const;

    // The tile to draw for a cell of level key.z. Reads the store unless the tile is in
    // memory; with download on, a missing tile is requested.
    Tile tile(const TileKey &key);
    // A cell that shows Downloading asks again at each paint.
    Tile downloadState(const TileKey &key);
    // What the view shows: level z, the columns and rows on screen and its centre in tile
    // units. Downloads go nearest the centre first and drop what left the window.
    void setView(int z, const QRect &window, const QPointF &centre);
    // Decoded-tile memory holds a few screens of this size, in logical pixels, at the
    // screen's pixel ratio.
    void setViewportSize(QSize size, qreal devicePixelRatio = 1);

    // Downloads, from the first time they are switched on: the downloader is made then.
    void setDownloading(bool on);
    bool isDownloading() const;
    TileDownloader *downloader() const;
    // Any change of a template in use drops the requests and failure marks.
    void setUrlTemplate(const QString &urlTemplate);
    QString urlTemplate() const;
    void setDumpServerExchange(bool on);
    bool dumpServerExchange() const;
    // The User-Agent header of every request, sent as it is.
    void setUserAgent(const QByteArray &value);
    // Seconds after which a stored tile is drawn and asked for again in the background with
    // a conditional request, or later where its server gave it a longer lifetime; 0, the
    // default, keeps every stored tile for good. Set, the store keeps with each tile that
    // comes what its server said of it. Only tiles on screen are revalidated, after every
    // missing one and within the downloads' budget, once per lifetime.
    void setMaxTileAge(int seconds);
    int maxTileAge() const;
    // The wall clock that ages are judged by, in milliseconds since 1970 (UTC): the
    // system's by default. A new clock is a new look at the tiles on screen.
    void setWallClock(std::function<qint64()> msecsSinceEpoch);
    // Forgets every failure and drops every request.
    void clearFailures();
    // A finished reply of the downloader's own network manager; any other is ignored.
    void takeReply(QNetworkReply *reply);

    // Reads and decodes these tiles ahead, in this order, while the view is still, so a
    // paint that needs one finds it in memory. Only the store is read: nothing is
    // requested, and a tile the store lacks or that does not fit in memory beside the
    // tiles on screen is skipped or ends the list. Replaces the list given before; an
    // empty one stops. Tiles are read on this thread and decoded on worker threads.
    void prepare(const QVector<TileKey> &nearestFirst);
    bool isPreparing() const;
    // On by default. Off, nothing is prepared.
    void setPrefetch(bool on);
    bool prefetch() const;
    // Called with every tile read from the store, for a paint or ahead of one.
    void setStoreReadHook(std::function<void(const TileKey &key)> hook);

Q_SIGNALS:
    // A tile arrived, failed, or can be read after a lock: the tile its cells now show.
    void tileChanged(const TileKey &key, const TileProvider::Tile &tile);
    // Everything prepare() was given is prepared, missing, or left out for want of room.
    void prepared();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif

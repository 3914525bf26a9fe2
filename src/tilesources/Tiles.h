#ifndef TILES_H
#define TILES_H

#include "TileKey.h"

#include <QtCore/QByteArray>
#include <QtCore/QDateTime>
#include <QtCore/QString>
#include <QtCore/QVariant>
#include <QtCore/QVector>
#include <QtGui/QPixmap>

#include <functional>
#include <memory>

// A store of encoded raster tiles addressed by column, row and level. Each operation
// has a key form and a three-integer form; an implementation implements one of each
// pair and forwards the other.
//
// Stores live on one thread. The code of the stores uses QtCore, QtGui and QtSql only,
// so command-line tools can link it without widgets.
class Tiles
{
public:
    enum class Kind { Directory, Database, Mbtiles };

    enum class ReadResult {
        Found,
        Missing,
        // The store cannot be read now: another program holds a lock on it, or the file
        // turned out to be unusable (it warned once). Neither draw nor fetch the tile.
        Busy
    };

    enum class Content { Keys, KeysAndData };
    // Returns false to stop the enumeration.
    using Visitor = std::function<bool(const TileKey &key, const QByteArray &data)>;

    // The largest tile the stores read: tiles are kilobytes, a planted one could be a
    // gigabyte.
    static constexpr qint64 MaxTileBytes = 16 * 1024 * 1024;

    // What keeps a stored tile from being looked at, or from being a tile at all.
    enum class Flaw {
        None,
        // NULL, text or a number where the image's bytes belong: not a tile, known
        // without reading it.
        NoBytes,
        // More than MaxTileBytes: not read.
        TooLarge,
        // Its level, column or row is no whole number, or off the grid.
        OffGrid,
        // The file cannot be opened.
        Unreadable
    };
    // One stored copy of a tile, as a listing of everything stored finds it: a store may
    // hold a tile twice (two rows of one key, or 45.png beside 45.jpeg).
    struct StoredTile
    {
        TileKey key;     // meaningless for Flaw::OffGrid
        QByteArray data; // with Content::KeysAndData and Flaw::None
        Flaw flaw = Flaw::None;
        qint64 size = -1; // bytes stored; -1 when unknown
        QString where;    // the row or file, for messages
        QVariant copy;    // which copy this is, for removeStored()
    };
    using StoredVisitor = std::function<bool(const StoredTile &tile)>;

    struct OpenOptions
    {
        // Longest wait, per statement, for a lock held by another program. The view
        // paints on the GUI thread and keeps it short; a tool can afford seconds.
        int busyTimeoutMs = 40;
        // Create a missing file (a directory store creates its directories on write).
        bool create = true;
        // How long written tiles of an SQLite store may wait in memory, to go to the file
        // in one transaction with the ones that follow: tiles of a burst arrive a few
        // milliseconds apart, and each transaction costs a sync of the file. Reads see
        // the tiles held back at once, and closing the store writes them.
        int writeDelayMs = 100;
        // How long an SQLite store leaves a lock it met alone: reads answer Busy without
        // touching the file, and kept writes wait, until it has passed.
        int retryMs = 500;
        // Connections of SQLite stores are named after this, made unique per store.
        QString connectionPrefix = QStringLiteral("OsmView");
        // Longest that one statement on an SQLite file, or one row of a listing, may run
        // before it is cut: the view reads on the GUI thread and keeps this well under a
        // frame, a tool reading large files can afford seconds. Reads by key never come
        // near it; a file whose reads would scan is refused when it is opened.
        int statementTimeLimitMs = 4;
    };

    virtual QPixmap pixmap(const TileKey &key) = 0;
    virtual QPixmap pixmap(int x, int y, int z) = 0;
    // Writes the tile; a record of its freshness kept for it goes (see setFreshness()).
    virtual void setData(const TileKey &key, QByteArray data) = 0;
    virtual void setData(int x, int y, int z, QByteArray data) = 0;
    virtual void setPixmap(const TileKey &key, QPixmap pixmap) = 0;
    virtual void setPixmap(int x, int y, int z, QPixmap pixmap) = 0;
    virtual bool contains(const TileKey &key) = 0;
    virtual bool contains(int x, int y, int z) = 0;
    virtual QDateTime lastModified(const TileKey &key) = 0;
    virtual QDateTime lastModified(int x, int y, int z) = 0;
    virtual ~Tiles() = default;

    // The stored bytes, unchanged; empty unless *result is Found. Tiles written by
    // setData are readable at once, before they reach the file.
    virtual QByteArray tileData(const TileKey &key, ReadResult *result) = 0;
    // Removes the tile; false when the store takes no changes.
    virtual bool remove(const TileKey &key) = 0;
    // Writes what is buffered now; true when nothing is left to write.
    virtual bool flush() = 0;
    // Visits every stored tile of the levels minZoom to maxZoom once, in no particular
    // order, without holding them all in memory; data stays empty for Content::Keys.
    // False when the store could not be read to the end (see errorString()).
    virtual bool forEachTile(int minZoom, int maxZoom, Content content, const Visitor &visit) = 0;
    virtual Kind kind() const = 0;
    // Like forEachTile(), but visits every stored copy, flawed ones included (those whose
    // level is no level only when all levels are asked for), without reading what
    // cannot be read in bounded memory.
    virtual bool forEachStored(int minZoom, int maxZoom, Content content,
                               const StoredVisitor &visit);
    // Removes exactly these copies, as forEachStored() found them, and nothing else;
    // returns how many were removed (see errorString() when that is fewer).
    virtual qint64 removeStored(const QVector<StoredTile> &tiles);
    // What the tile server said of a tile when it sent it or last confirmed it unchanged.
    struct Freshness
    {
        // When it was fetched or confirmed, to the second; null when not known.
        QDateTime fetched;
        // How long the server said it stays fresh from then, in seconds; -1 when it said
        // nothing, 0 for a tile to be confirmed before every use.
        qint64 lifetime = -1;
        // No server keeps a tile fresh for longer; it keeps the arithmetic on times finite.
        static constexpr qint64 MaxLifetimeSecs = 10LL * 365 * 24 * 3600;
        // The validators the server gave, as it sent them; empty when it gave none.
        QByteArray etag;
        QByteArray lastModified;
    };
    // The record kept for a stored tile; *result is Missing, and fetched null, when the
    // store knows none, Busy while another program holds a lock. A directory store's
    // record is the file's time alone; a database keeps records in a table of their own
    // beside its tiles. Tiles written by setData() have none until setFreshness().
    virtual Freshness freshness(const TileKey &key, ReadResult *result);
    // Keeps the record for the tile written just before with setData(), or for a stored
    // tile the server confirmed unchanged, which is not written again. False when the
    // store keeps no records (a directory store keeps the time only, as the file's).
    virtual bool setFreshness(const TileKey &key, const Freshness &record);

    // Why the last open, read or write failed.
    virtual QString errorString() const = 0;
    // False, with the reason in errorString(), when the store takes no tiles at all: a
    // read-only file, a package whose tiles are a view, a directory that cannot be
    // written in. The room left is not looked at.
    virtual bool isWritable();
    // How many tiles given to setData() or setPixmap() since the store was opened reached
    // the file; not those still buffered, refused, or lost to a failed write. -1 when the
    // store cannot tell.
    virtual qint64 writtenCount() const;

    // The kind a path names: no suffix a directory, ".mbtiles" a package, else a database.
    static Kind kindOf(const QString &path);
    // Opens the store of any kind at path, creating it when missing if allowed. Null,
    // with a sentence naming the file and the reason in *error, when it cannot.
    static std::unique_ptr<Tiles> open(const QString &path, const OpenOptions &options,
                                       QString *error);
    // Closes a store without losing what it could not write yet because another program
    // holds a lock: such a store stays open and tries again every half second until
    // everything is written, without blocking the caller. At the latest it goes with the
    // application object, after one last bounded attempt.
    static void close(std::unique_ptr<Tiles> store);

protected:
    // The stored tile decoded; null when missing, busy or not an image.
    QPixmap decodedTile(const TileKey &key);
};

#endif

#ifndef SQLITETILETABLE_H
#define SQLITETILETABLE_H

#include "Tiles.h"

#include <QtSql/QSqlDatabase>

#include <functional>
#include <memory>

class QSqlQuery;

// The table "tiles" of an SQLite tile file and the connection it is read through,
// shared by the tile database and the MBTiles package.
//
// Another program may hold a lock on the file at any time. Reads then report Busy at
// once rather than stall the GUI thread; writes are buffered, written in one
// transaction per burst, retried while the file is locked, and flushed with a longer
// wait on destruction. The schema is checked on first use, so a file that was locked
// while it was opened still becomes a store once the lock is gone.
//
// Every statement is cut when it runs longer than the time limit, and no value larger
// than a tile is loaded. A file whose reads by key would scan a table, or run a
// recursive query, is unusable: a read then takes the time of that tile's rows alone.
class SqliteTileTable
{
public:
    struct Layout
    {
        QString xColumn;
        QString yColumn;
        QString zColumn;
        QString dataColumn;
        // Rows counted from the south edge, as TMS does.
        bool southRows = false;
    };

    enum class State { Ready, Busy, Unusable };

    SqliteTileTable(QSqlDatabase db, const QString &fileName, const Layout &layout,
                    bool ownsConnection);
    ~SqliteTileTable();

    // Checks the schema unless that is done; Busy while the file is locked.
    State check();
    QString fileName() const;
    QString errorString() const;
    QSqlDatabase database() const;
    bool isReadOnly();
    // Not read-only and usable; true while the file is locked, which says nothing yet.
    bool isWritable();
    // Tiles written and committed since the table was opened.
    qint64 writtenCount() const;

    // See Tiles::OpenOptions::writeDelayMs, retryMs and statementTimeLimitMs.
    void setDelays(const Tiles::OpenOptions &options);

    // A statement of the caller's on the table's connection, cut like the table's own;
    // next() likewise for each row.
    bool exec(QSqlQuery &query);
    bool exec(QSqlQuery &query, const QString &statement);
    bool next(QSqlQuery &query);
    // Why the statement, parameters given as 0, could run long between two looks at its
    // time (it calls a function, joins values or is a long program, triggers included);
    // empty when it cannot.
    QString unboundedWork(const QString &statement);
    // The longest string or blob a statement may load, in bytes; returns the previous
    // limit, or -1 when there is none to set.
    int setLengthLimit(int bytes);
    // Runs inside each transaction that writes tiles, just before it commits, with the
    // keys of the tiles written; what it writes commits with them. Its own failures
    // must not fail the transaction.
    void setBeforeCommit(std::function<void(const QList<TileKey> &written)> hook);

    QByteArray read(const TileKey &key, Tiles::ReadResult *result);
    void write(const TileKey &key, const QByteArray &data);
    // Records kept in a table of their own, made with the first one; see Tiles.
    Tiles::Freshness freshness(const TileKey &key, Tiles::ReadResult *result);
    bool setFreshness(const TileKey &key, const Tiles::Freshness &record);
    bool remove(const TileKey &key);
    bool flush();
    // What destruction does first: writes what is held back, waiting longer for a lock.
    // For an owner whose commit hook uses the owner, before it goes.
    void finish();
    bool forEach(int minZoom, int maxZoom, Tiles::Content content, const Tiles::Visitor &visit);
    bool forEachStored(int minZoom, int maxZoom, Tiles::Content content,
                       const Tiles::StoredVisitor &visit);
    qint64 removeStored(const QVector<Tiles::StoredTile> &tiles);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif

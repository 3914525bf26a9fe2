#ifndef SQLITETILETABLE_H
#define SQLITETILETABLE_H

#include "Tiles.h"

#include <QtSql/QSqlDatabase>

#include <memory>

// The table "tiles" of an SQLite tile file and the connection it is read through,
// shared by the tile database and the MBTiles package.
//
// Another program may hold a lock on the file at any time. Reads then report Busy at
// once rather than stall the GUI thread; writes are buffered, written in one
// transaction per burst, retried while the file is locked, and flushed with a longer
// wait on destruction. The schema is checked on first use, so a file that was locked
// while it was opened still becomes a store once the lock is gone.
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

    // See Tiles::OpenOptions::writeDelayMs and retryMs.
    void setDelays(const Tiles::OpenOptions &options);

    QByteArray read(const TileKey &key, Tiles::ReadResult *result);
    void write(const TileKey &key, const QByteArray &data);
    bool remove(const TileKey &key);
    bool flush();
    bool forEach(int minZoom, int maxZoom, Tiles::Content content, const Tiles::Visitor &visit);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif

#ifndef TILESFROMDB_H
#define TILESFROMDB_H

#include "Tiles.h"

#include <memory>

class QSqlDatabase;
class SqliteTileTable;

// Tiles as rows (x, y, z, image) of an SQLite table, each store on its own connection
// with its own statements. Writes are buffered and written in one transaction per
// burst; reads see them at once.
class TilesFromDb : public Tiles
{
public:
    // A store on a connection of the caller's. A connection named "TilesDb_..." is
    // closed and removed with the store; any other is left to its owner.
    explicit TilesFromDb(QSqlDatabase db);
    ~TilesFromDb() override;

    // Opens the tile database at path on a connection of the store's own, which it
    // removes when destroyed; a missing file is made from the empty template.
    static std::unique_ptr<TilesFromDb> open(const QString &path, const OpenOptions &options,
                                             QString *error);

    QPixmap pixmap(const TileKey &key) override;
    QPixmap pixmap(int x, int y, int z) override;
    void setData(const TileKey &key, QByteArray data) override;
    void setData(int x, int y, int z, QByteArray data) override;
    void setPixmap(const TileKey &key, QPixmap pixmap) override;
    void setPixmap(int x, int y, int z, QPixmap pixmap) override;
    bool contains(const TileKey &key) override;
    bool contains(int x, int y, int z) override;
    QDateTime lastModified(const TileKey &key) override;
    QDateTime lastModified(int x, int y, int z) override;

    QByteArray tileData(const TileKey &key, ReadResult *result) override;
    Freshness freshness(const TileKey &key, ReadResult *result) override;
    bool setFreshness(const TileKey &key, const Freshness &record) override;
    bool remove(const TileKey &key) override;
    bool flush() override;
    bool forEachTile(int minZoom, int maxZoom, Content content, const Visitor &visit) override;
    Kind kind() const override;
    QString errorString() const override;
    bool isWritable() override;
    qint64 writtenCount() const override;
    bool forEachStored(int minZoom, int maxZoom, Content content,
                       const StoredVisitor &visit) override;
    qint64 removeStored(const QVector<StoredTile> &tiles) override;

private:
    TilesFromDb(QSqlDatabase db, const QString &fileName, bool ownsConnection);

    std::unique_ptr<SqliteTileTable> table;
};

#endif

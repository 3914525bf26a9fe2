#ifndef TILESFROMDB_H
#define TILESFROMDB_H

#include "Tiles.h"

#include <memory>

class QSqlDatabase;

// Tiles as rows (x, y, z, image) of an SQLite table. All database stores of the
// process share two prepared statements, bound to the connection of the store
// constructed last, so one tile database is in use per process at a time.
class TilesFromDb : public Tiles
{
public:
    explicit TilesFromDb(QSqlDatabase db);
    ~TilesFromDb() override;

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

private:
    QByteArray selectImage(int x, int y, int z);

    struct Private;
    std::unique_ptr<Private> d;
};

#endif

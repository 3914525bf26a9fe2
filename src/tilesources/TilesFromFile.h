#ifndef TILESFROMFILE_H
#define TILESFROMFILE_H

#include "Tiles.h"

#include <memory>

class QString;

// Tiles as image files in a level/column/row.suffix directory tree. The suffix is
// one per store, learned from the tiles read and written.
class TilesFromFile : public Tiles
{
public:
    explicit TilesFromFile(const QString &basePath);
    ~TilesFromFile() override;

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

    QString suffix() const;

private:
    QString tileFilePath(const TileKey &key);

    struct Private;
    std::unique_ptr<Private> d;
};

#endif

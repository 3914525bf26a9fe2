#ifndef TILESFROMFILE_H
#define TILESFROMFILE_H

#include "Tiles.h"

#include <memory>

class QString;

// Tiles as image files in a level/column/row.suffix directory tree. The suffix is
// one per store, learned from the tiles read and written. Links that lead out of the
// tree are neither read nor written through; tiles are written whole or not at all.
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

    QString suffix() const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif

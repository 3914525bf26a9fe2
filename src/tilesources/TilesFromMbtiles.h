#ifndef TILESFROMMBTILES_H
#define TILESFROMMBTILES_H

#include "Tiles.h"

#include <QtCore/QMap>
#include <QtCore/QRectF>

#include <memory>

class QSqlDatabase;
class SqliteTileTable;

// Tiles of an MBTiles package: rows (zoom_level, tile_column, tile_row, tile_data) of
// the table or view "tiles", rows counted from the south edge, and the package's
// metadata. A package whose tiles are a view, or whose file is read-only, is read but
// takes no tiles.
//
// A package it creates holds the metadata "name", "format", "type" (baselayer) and
// "version" (1, the tileset's first revision). Each transaction that writes tiles
// widens "bounds", "minzoom", "maxzoom" and "center" to cover them, and sets "format"
// from a new package's first tile; every other entry stays as it was.
class TilesFromMbtiles : public Tiles
{
public:
    ~TilesFromMbtiles() override;

    // Opens the package at path on a connection of the store's own; a missing file is
    // created empty (metadata and an indexed tiles table).
    static std::unique_ptr<TilesFromMbtiles> open(const QString &path, const OpenOptions &options,
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

    // Metadata entries longer than this are not read.
    static constexpr int MaxMetadataBytes = 64 * 1024;
    // Nor are entries past this many.
    static constexpr int MaxMetadataEntries = 256;

    // Every name and value of the table "metadata"; empty while the file is locked.
    QMap<QString, QString> metadata();
    // As metadata(), adding to *unread the names of the entries left out: "?" for one
    // whose name itself is too long, "..." when there are more than can be read.
    QMap<QString, QString> metadata(QStringList *unread);
    // Sets one entry at once, in a transaction of its own; false, with the reason in
    // *error, when the package takes no changes.
    bool setMetadata(const QString &name, const QString &value, QString *error = nullptr);
    QString name();
    // "png", "jpg", "webp", "pbf", ...
    QString format();
    // West, south, east and north edges in degrees, x growing east and y north; null
    // when the package states none or nonsense.
    QRectF bounds();
    // -1 when the package states none or nonsense.
    int minZoom();
    int maxZoom();
    bool isReadOnly();

private:
    TilesFromMbtiles(QSqlDatabase db, const QString &fileName);
    void coverTiles(const QList<TileKey> &written);
    bool putMetadata(const QString &name, const QString &value, QString *reason = nullptr);
    QString metadataValue(const QString &name);

    std::unique_ptr<SqliteTileTable> table;
    // Set on a package this store created, until its first tile tells the format.
    bool formatUnknown = false;
    // That format, until a transaction writes it with the tiles.
    QString newFormat;
    // Why the metadata are not kept up with the tiles; empty while they are.
    QString metadataWork;
    bool metadataChecked = false;
};

#endif

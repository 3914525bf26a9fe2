#ifndef TILES_H
#define TILES_H

#include "TileKey.h"

#include <QtCore/QByteArray>
#include <QtCore/QDateTime>
#include <QtGui/QPixmap>

// A store of encoded raster tiles addressed by column, row and level. Each operation
// has a key form and a three-integer form; an implementation implements one of each
// pair and forwards the other.
class Tiles
{
public:
    virtual QPixmap pixmap(const TileKey &key) = 0;
    virtual QPixmap pixmap(int x, int y, int z) = 0;
    virtual void setData(const TileKey &key, QByteArray data) = 0;
    virtual void setData(int x, int y, int z, QByteArray data) = 0;
    virtual void setPixmap(const TileKey &key, QPixmap pixmap) = 0;
    virtual void setPixmap(int x, int y, int z, QPixmap pixmap) = 0;
    virtual bool contains(const TileKey &key) = 0;
    virtual bool contains(int x, int y, int z) = 0;
    virtual QDateTime lastModified(const TileKey &key) = 0;
    virtual QDateTime lastModified(int x, int y, int z) = 0;
    virtual ~Tiles() = default;
};

#endif

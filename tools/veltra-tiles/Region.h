#ifndef REGION_H
#define REGION_H

#include "TileKey.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QRect>
#include <QtCore/QRectF>

// The tiles of a range of levels over a rectangle of longitude and latitude: at each
// level, every tile the rectangle touches.
class Region
{
    Q_DECLARE_TR_FUNCTIONS(Region)

public:
    // The whole map at every level.
    Region();

    // "W,S,E,N" in degrees. False, with the reason in *error, for anything else.
    bool setBounds(const QString &text, QString *error);
    // "A-B" or "A".
    bool setLevels(const QString &text, QString *error);

    int minZoom() const { return m_minZoom; }
    int maxZoom() const { return m_maxZoom; }
    // Columns and rows of level z, inclusive.
    QRect tiles(int z) const;
    bool contains(const TileKey &key) const;
    qint64 count() const;

private:
    void updateTiles();

    // West, north, east and south as left, top, right and bottom.
    QRectF m_bounds{QPointF(-180, 90), QPointF(180, -90)};
    int m_minZoom = 0;
    int m_maxZoom = TileKey::MaxLevel;
    QRect m_tiles[TileKey::MaxLevel + 1];
};

#endif

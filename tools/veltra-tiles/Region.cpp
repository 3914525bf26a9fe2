#include "Region.h"

#include "TileAddressing.h"

#include <QtCore/QStringList>

#include <cmath>

Region::Region()
{
    updateTiles();
}

bool Region::setBounds(const QString &text, QString *error)
{
    error->clear();
    const QStringList parts = text.split(QLatin1Char(','));
    double edge[4] = {};
    bool ok = parts.size() == 4;
    for (int i = 0; ok && i < 4; ++i) {
        edge[i] = parts.at(i).trimmed().toDouble(&ok);
        ok = ok && std::isfinite(edge[i]);
    }
    const double west = edge[0], south = edge[1], east = edge[2], north = edge[3];
    if (!ok)
        *error = tr("--bbox takes four numbers, west,south,east,north: \"%1\"").arg(text);
    else if (std::abs(west) > 180 || std::abs(east) > 180)
        *error = tr("--bbox: longitudes lie between -180 and 180: \"%1\"").arg(text);
    else if (std::abs(south) > 90 || std::abs(north) > 90)
        *error = tr("--bbox: latitudes lie between -90 and 90: \"%1\"").arg(text);
    else if (west > east)
        *error = tr("--bbox: the west edge %1 lies east of the east edge %2").arg(west).arg(east);
    else if (south > north)
        *error
            = tr("--bbox: the south edge %1 lies north of the north edge %2").arg(south).arg(north);
    else
        m_bounds = QRectF(QPointF(west, north), QPointF(east, south));
    updateTiles();
    return error->isEmpty();
}

bool Region::setLevels(const QString &text, QString *error)
{
    error->clear();
    const QStringList parts = text.split(QLatin1Char('-'));
    bool ok = false;
    bool lastOk = true;
    const int first = parts.constFirst().trimmed().toInt(&ok);
    const int last = parts.size() == 2 ? parts.constLast().trimmed().toInt(&lastOk) : first;
    if (!ok || !lastOk || parts.size() > 2 || first < 0 || last > TileKey::MaxLevel)
        *error = tr("--zoom takes a level or a range of levels from 0 to %1, such as 10-17: \"%2\"")
                     .arg(TileKey::MaxLevel)
                     .arg(text);
    else if (first > last)
        *error = tr("--zoom: the first level %1 is above the last %2").arg(first).arg(last);
    else {
        m_minZoom = first;
        m_maxZoom = last;
    }
    return error->isEmpty();
}

void Region::updateTiles()
{
    for (int z = 0; z <= TileKey::MaxLevel; ++z) {
        const int last = int((qint64(1) << z) - 1);
        const int west = qBound(0, lonToTileX(m_bounds.left(), z), last);
        const int north = qBound(0, latToTileY(m_bounds.top(), z), last);
        int east = lonToTileX(m_bounds.right(), z);
        int south = latToTileY(m_bounds.bottom(), z);
        // A tile that only touches the east or south edge is not in the region.
        if (east > west && tileXToLon(east, z) == m_bounds.right())
            --east;
        if (south > north && tileYToLat(south, z) == m_bounds.bottom())
            --south;
        m_tiles[z] = QRect(QPoint(west, north),
                           QPoint(qBound(west, east, last), qBound(north, south, last)));
    }
}

QRect Region::tiles(int z) const
{
    return TileKey::isLevel(z) ? m_tiles[z] : QRect();
}

bool Region::contains(const TileKey &key) const
{
    return key.z >= m_minZoom && key.z <= m_maxZoom && tiles(key.z).contains(key.x, key.y);
}

qint64 Region::count() const
{
    qint64 sum = 0;
    for (int z = m_minZoom; z <= m_maxZoom; ++z) {
        const QRect r = tiles(z);
        sum += (qint64(r.right()) - r.left() + 1) * (qint64(r.bottom()) - r.top() + 1);
    }
    return sum;
}

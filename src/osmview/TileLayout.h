#ifndef TILELAYOUT_H
#define TILELAYOUT_H

#include <QtCore/QRect>
#include <QtGui/QTransform>

// Where the tiles of one level fall on a paint device. Columns follow longitude; rows
// share one height, anchored at the true north edge of an anchor row. Cell edges lie on
// whole device pixels and are computed from the level's origin, never accumulated, so
// neighbours meet without gaps or overlaps, a scroll by whole pixels moves every edge by
// exactly that much, and cells of the native tile size are blitted, not scaled.
class TileLayout
{
public:
    static constexpr int NativeSide = 256;

    TileLayout(int z, double tileWidth, double tileHeight, int anchorRow,
               const QTransform &sceneToDevice);

    // The row under a latitude, kept on the grid so the layout always has a real row.
    static int rowUnder(double latitude, int z);
    // The last column and row of level z; levels past the deepest are treated as the deepest.
    static int lastIndex(int z);

    // False when the device transform rotates, shears or flips the map, or when its cells
    // would have no finite size; such a device is drawn through its transform instead.
    bool isAxisAligned() const { return axisAligned; }
    bool isNative() const { return native; }
    int level() const { return z; }

    double west(int column) const;
    double north(int row) const;
    int columnEdge(int column) const;
    int rowEdge(int row) const;
    QRect cell(int column, int row) const;
    // The columns and rows whose cells meet a device rectangle, on the grid only; empty
    // when none do. This is exactly what a paint of that rectangle visits.
    QRect window(const QRect &deviceRect) const;
    // Whether a later layout, after the device scrolled by dy pixels, puts every row on
    // the pixels this one put it on, moved by dy.
    bool placesRowsAs(const TileLayout &later, int dy) const;

private:
    int z;
    double tileWidth;
    double tileHeight;
    int anchorRow;
    double anchorNorth;
    double originX = 0;
    double originY = 0;
    double cellWidth = 0;
    double cellHeight = 0;
    bool axisAligned = false;
    bool native = false;
};

#endif

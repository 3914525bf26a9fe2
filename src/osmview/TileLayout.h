#ifndef TILELAYOUT_H
#define TILELAYOUT_H

#include <QtCore/QRect>
#include <QtGui/QTransform>

// Where the tiles of one level fall on a paint device, in the device's own pixels (a
// screen of pixel ratio 2 has 512 of them across a 256-unit cell). Columns follow
// longitude; rows share one height, anchored at the true north edge of an anchor row.
// Cell edges lie on whole device pixels and are computed from the level's origin, never
// accumulated, so neighbours meet without gaps or overlaps at any pixel ratio, and a
// scroll by whole pixels moves every edge by exactly that much. A cell within rounding of
// a whole number of pixels is exactly that wide, so a tile of that size is blitted.
class TileLayout
{
public:
    TileLayout(int z, double tileWidth, double tileHeight, int anchorRow,
               const QTransform &sceneToDevice);

    // The row under a latitude, kept on the grid so the layout always has a real row.
    static int rowUnder(double latitude, int z);
    // The last column and row of level z; levels past the deepest are treated as the deepest.
    static int lastIndex(int z);

    // False when the device transform rotates, shears or flips the map, or when its cells
    // would have no finite size; such a device is drawn through its transform instead.
    bool isAxisAligned() const { return axisAligned; }
    // Every cell is the same whole number of pixels wide and high.
    bool hasWholeCells() const { return wholeWidth && wholeHeight; }
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
    bool placesRowsAs(const TileLayout &later, double dy) const;

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
    bool wholeWidth = false;
    bool wholeHeight = false;
};

#endif

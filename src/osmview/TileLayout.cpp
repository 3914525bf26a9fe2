#include "TileLayout.h"

#include "TileAddressing.h"
#include "TileKey.h"

#include <cmath>

namespace {

// Device coordinates past this are off any device; it keeps int conversions defined.
constexpr double DeviceLimit = 1073741824.0;
// A cell this close to a whole number of pixels is that many: the difference is rounding
// in the zoom model and the device's pixel ratio, not a zoom the user asked for.
constexpr double WholeTolerance = 1e-6;

int toDevice(double v)
{
    return int(std::round(qBound(-DeviceLimit, v, DeviceLimit)));
}

bool snapToWhole(double *side)
{
    const double whole = std::round(*side);
    if (whole < 1.0 || std::abs(*side - whole) >= WholeTolerance)
        return false;
    *side = whole;
    return true;
}

int floorIndex(double v)
{
    if (std::isnan(v))
        return 0;
    return int(std::floor(qBound(-DeviceLimit, v, DeviceLimit)));
}

} // namespace

TileLayout::TileLayout(int z, double tileWidth, double tileHeight, int anchorRow,
                       const QTransform &sceneToDevice)
    : z(z), tileWidth(tileWidth), tileHeight(tileHeight), anchorRow(anchorRow),
      anchorNorth(tileYToLat(anchorRow, z))
{
    const QTransform &t = sceneToDevice;
    cellWidth = tileWidth * t.m11();
    cellHeight = tileHeight * t.m22();
    axisAligned = t.type() <= QTransform::TxScale && std::isfinite(cellWidth)
        && std::isfinite(cellHeight) && cellWidth > 1e-9 && cellHeight > 1e-9;
    if (!axisAligned)
        return;
    originX = t.m11() * -180.0 + t.dx();
    originY = t.m22() * anchorNorth + t.dy();
    wholeWidth = snapToWhole(&cellWidth);
    wholeHeight = snapToWhole(&cellHeight);
    axisAligned = std::isfinite(originX) && std::isfinite(originY);
}

int TileLayout::rowUnder(double latitude, int z)
{
    return qBound(0, latToTileY(latitude, z), lastIndex(z));
}

int TileLayout::lastIndex(int z)
{
    return int(TileKey::side(qBound(0, z, TileKey::MaxLevel)) - 1);
}

double TileLayout::west(int column) const
{
    return tileXToLon(column, z);
}

double TileLayout::north(int row) const
{
    return anchorNorth + double(row - anchorRow) * tileHeight;
}

int TileLayout::columnEdge(int column) const
{
    if (wholeWidth)
        return toDevice(double(toDevice(originX)) + double(column) * cellWidth);
    return toDevice(originX + double(column) * cellWidth);
}

int TileLayout::rowEdge(int row) const
{
    if (wholeHeight)
        return toDevice(double(toDevice(originY)) + double(row - anchorRow) * cellHeight);
    return toDevice(originY + double(row - anchorRow) * cellHeight);
}

QRect TileLayout::cell(int column, int row) const
{
    const int left = columnEdge(column);
    const int top = rowEdge(row);
    return QRect(left, top, columnEdge(column + 1) - left, rowEdge(row + 1) - top);
}

QRect TileLayout::window(const QRect &deviceRect) const
{
    if (!axisAligned || deviceRect.isEmpty())
        return QRect();
    const int last = lastIndex(z);
    // Start from the exact edges and settle on the rounded ones, which lie at most half a
    // pixel either side.
    int left = floorIndex((deviceRect.left() - originX) / cellWidth);
    for (int i = 0; i < 2 && columnEdge(left) > deviceRect.left(); ++i)
        --left;
    for (int i = 0; i < 2 && columnEdge(left + 1) <= deviceRect.left(); ++i)
        ++left;
    int right = floorIndex((deviceRect.right() - originX) / cellWidth);
    for (int i = 0; i < 2 && columnEdge(right) > deviceRect.right(); ++i)
        --right;
    for (int i = 0; i < 2 && columnEdge(right + 1) <= deviceRect.right(); ++i)
        ++right;
    const qint64 rowsAbove = floorIndex((deviceRect.top() - originY) / cellHeight);
    const qint64 rowsBelow = floorIndex((deviceRect.bottom() - originY) / cellHeight);
    int top = int(qBound<qint64>(-DeviceLimit, anchorRow + rowsAbove, DeviceLimit));
    for (int i = 0; i < 2 && rowEdge(top) > deviceRect.top(); ++i)
        --top;
    for (int i = 0; i < 2 && rowEdge(top + 1) <= deviceRect.top(); ++i)
        ++top;
    int bottom = int(qBound<qint64>(-DeviceLimit, anchorRow + rowsBelow, DeviceLimit));
    for (int i = 0; i < 2 && rowEdge(bottom) > deviceRect.bottom(); ++i)
        --bottom;
    for (int i = 0; i < 2 && rowEdge(bottom + 1) <= deviceRect.bottom(); ++i)
        ++bottom;
    left = qMax(left, 0);
    top = qMax(top, 0);
    right = qMin(right, last);
    bottom = qMin(bottom, last);
    if (left > right || top > bottom)
        return QRect();
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

bool TileLayout::placesRowsAs(const TileLayout &later, double dy) const
{
    if (!axisAligned || !later.axisAligned || wholeHeight != later.wholeHeight
        || cellHeight != later.cellHeight)
        return false;
    const int row = later.anchorRow;
    if (wholeHeight)
        return rowEdge(row) + dy == later.rowEdge(row);
    const double here = originY + double(row - anchorRow) * cellHeight + dy;
    return std::abs(here - later.originY) < 1e-7;
}

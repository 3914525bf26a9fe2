#include "OsmView.h"

#include "OsmViewPrivate.h"
#include "TileAddressing.h"

#include <QtGui/QPainter>

#include <cmath>

namespace {

// How many cells of the given size can show along a viewport side, plus one on each end.
int cellsAcross(int viewportPixels, double cellPixels)
{
    return int(std::min(viewportPixels / cellPixels, 1048576.0)) + 2;
}

} // namespace

void OsmView::drawBackground(QPainter *painter, const QRectF &rect)
{
    if (d->opacity == 0.0 || !rect.isValid() || d->tileWidth == 0.0 || d->tileHeight == 0.0)
        return;

    const int z = d->tileZoom;
    const QTransform world = painter->worldTransform();
    const double cellWidth = std::abs(d->tileWidth * world.m11());
    const double cellHeight = std::abs(d->tileHeight * world.m22());
    if (!(cellWidth > 1e-6) || !(cellHeight > 1e-6))
        return;

    const int anchorRow = d->anchorRow();
    const int anchorColumn = lonToTileX(mapToScene(QPoint(0, 0)).x(), z);

    // Whatever the exposed rectangle claims, only what the viewport can show is
    // visited: a scene reaching past the poles or the date line costs nothing extra.
    const int x0 = std::max(lonToTileX(rect.left(), z), anchorColumn - 1);
    const int y0 = std::max(latToTileY(rect.bottom(), z), anchorRow - 1);
    const QRectF firstTile = d->tileSceneRect(x0, y0, anchorRow);

    const double columnsToEdge = (rect.right() - firstTile.left()) / d->tileWidth;
    const double rowsToEdge = (rect.top() - firstTile.top()) / d->tileHeight;
    if (!std::isfinite(columnsToEdge) || !std::isfinite(rowsToEdge))
        return;
    const int xEnd = std::min(x0 + 1 + int(qBound(-1.0, columnsToEdge, 1048576.0)),
                              anchorColumn + cellsAcross(viewport()->width(), cellWidth));
    const int yEnd = std::min(y0 + 1 + int(qBound(-1.0, rowsToEdge, 1048576.0)),
                              anchorRow + cellsAcross(viewport()->height(), cellHeight));

    const QRectF first = world.mapRect(firstTile);
    painter->setWorldTransform(QTransform());
    painter->setOpacity(d->opacity);

    const QRectF source(0, 0, 256.0, 256.0);
    QRectF column = first;
    for (int x = x0; x < xEnd; ++x) {
        QRectF cell = column;
        for (int y = y0; y < yEnd; ++y) {
            const QPoint key(x, y);
            auto it = d->tileCache.find(key);
            if (it == d->tileCache.end())
                it = d->tileCache.insert(key, d->tilePixmap(x, y));
            if (!it.value().isNull())
                painter->drawPixmap(cell, it.value(), source);
            cell.translate(0, first.height());
        }
        column.translate(first.width(), 0);
    }

    for (auto it = d->tileCache.begin(); it != d->tileCache.end();) {
        const QPoint key = it.key();
        if (key.x() < x0 || key.x() > xEnd || key.y() < y0 || key.y() > yEnd)
            it = d->tileCache.erase(it);
        else
            ++it;
    }
}

int OsmView::Private::anchorRow() const
{
    return latToTileY(view->mapToScene(QPoint(0, 0)).y(), tileZoom);
}

QRectF OsmView::Private::tileSceneRect(int x, int y, int anchor) const
{
    const double north = tileYToLat(anchor, tileZoom) - double(anchor - y) * tileHeight;
    return QRectF(tileXToLon(x, tileZoom), north, tileWidth, tileHeight);
}

QRect OsmView::Private::tileViewportRect(int x, int y) const
{
    const QRectF scene = tileSceneRect(x, y, anchorRow());
    return view->viewportTransform().mapRect(scene).toAlignedRect().adjusted(-1, -1, 1, 1);
}

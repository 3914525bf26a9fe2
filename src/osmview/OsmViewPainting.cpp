#include "OsmView.h"

#include "OsmViewPrivate.h"
#include "TileAddressing.h"
#include "TileLayout.h"

#include <QtGui/QPainter>

#include <cmath>

namespace {

// A paint that would visit more cells than this is a render of a whole continent at
// street level into a thumbnail; it draws nothing rather than read a million tiles.
constexpr qint64 MaxCellsPerPaint = 65536;

} // namespace

void OsmView::drawBackground(QPainter *painter, const QRectF &rect)
{
    const QTransform world = painter->worldTransform();
    const bool clipped = painter->hasClipping();
    const QRectF clip = clipped ? painter->clipBoundingRect() : QRectF();
    // Tiles are laid out and drawn in the device's own pixels: on a screen of pixel ratio 2
    // a tile of 512 px then fills its cell pixel for pixel, and cells meet on whole pixels
    // at fractional ratios too. The device transform holds the ratio and where the viewport
    // lies in the window.
    painter->setWorldTransform(QTransform());
    const QTransform toPixels = painter->deviceTransform();
    const QTransform sceneToPixels = world * toPixels;
    QRectF exposed = sceneToPixels.mapRect(rect);
    if (const QPaintDevice *device = painter->device())
        exposed &= toPixels.mapRect(QRectF(0, 0, device->width(), device->height()));
    if (clipped)
        exposed &= sceneToPixels.mapRect(clip);
    const QTransform fromPixels = toPixels.inverted();
    painter->setWorldTransform(fromPixels);

    // An opaque viewport gets no background from Qt (see the constructor), so every
    // exposed pixel that no opaque tile covers is filled here.
    const bool fills = painter->device() == viewport()
        && viewport()->testAttribute(Qt::WA_OpaquePaintEvent);
    const QRect fillArea = fills ? exposed.toAlignedRect() : QRect();
    const QBrush background = viewport()->palette().brush(viewport()->backgroundRole());
    auto fill = [&](const QRect &area) {
        const QRect r = area & fillArea;
        if (!r.isEmpty())
            painter->fillRect(r, background);
    };

    if (d->opacity == 0.0 || !rect.isValid() || exposed.isEmpty()) {
        fill(fillArea);
        painter->setWorldTransform(world);
        return;
    }

    const TileLayout layout = d->layout(sceneToPixels);
    if (!layout.isAxisAligned()) {
        fill(fillArea);
        painter->setWorldTransform(world);
        d->drawThroughTransform(painter, rect);
        return;
    }
    const QRect visible = exposed.toAlignedRect();
    QRect window = layout.window(visible);
    // An exposed rectangle that ends exactly on a column's west edge or a row's north edge
    // takes that column or row too.
    if (!window.isEmpty()) {
        const int last = TileLayout::lastIndex(d->tileZoom);
        if (d->lonToColumn(rect.right()) == window.right() + 1 && window.right() < last)
            window.setRight(window.right() + 1);
        if (d->latToRow(rect.top()) == window.bottom() + 1 && window.bottom() < last)
            window.setBottom(window.bottom() + 1);
    }
    if (qint64(window.width()) * window.height() > MaxCellsPerPaint) {
        fill(fillArea);
        painter->setWorldTransform(world);
        return;
    }

    const bool translucent = d->opacity < 1.0;
    if (translucent) {
        fill(fillArea);
    } else {
        const QRect block(QPoint(layout.columnEdge(window.left()), layout.rowEdge(window.top())),
                          QPoint(layout.columnEdge(window.right() + 1) - 1,
                                 layout.rowEdge(window.bottom() + 1) - 1));
        for (const QRect &outside : (QRegion(fillArea) - QRegion(block)))
            fill(outside);
    }
    const qreal previousOpacity = painter->opacity();
    painter->setOpacity(d->opacity);
    // Cells lie on whole pixels: an antialiased edge could only let what lies under show
    // through, as Qt's rasteriser does by a shade along some edges of scaled tiles.
    const bool antialiased = painter->testRenderHint(QPainter::Antialiasing);
    painter->setRenderHint(QPainter::Antialiasing, false);

    for (int x = window.left(); x <= window.right(); ++x) {
        const int left = layout.columnEdge(x);
        const int right = layout.columnEdge(x + 1);
        for (int y = window.top(); y <= window.bottom(); ++y) {
            const QRect cell(QPoint(left, layout.rowEdge(y)),
                             QPoint(right - 1, layout.rowEdge(y + 1) - 1));
            const QPixmap &pixmap = d->cachedTile(x, y);
            if (pixmap.isNull()) {
                if (!translucent)
                    fill(cell);
                continue;
            }
            if (!translucent && pixmap.hasAlphaChannel())
                fill(cell);
            // Source pixels to device pixels, whatever pixel ratio the pixmap carries.
            if (cell.size() == pixmap.size() && pixmap.devicePixelRatio() == 1.0)
                painter->drawPixmap(cell.topLeft(), pixmap);
            else
                painter->drawPixmap(cell, pixmap, pixmap.rect());
        }
    }

    painter->setRenderHint(QPainter::Antialiasing, antialiased);
    painter->setOpacity(previousOpacity);
    painter->setWorldTransform(world);
    const QTransform toViewport = viewportTransform();
    d->keepTilesTo(sceneToPixels == toViewport ? layout : d->layout(toViewport));
}

// A view that is rotated, sheared or flipped by its host cannot be drawn cell by cell in
// device pixels; the tiles then go through the painter's own transform.
void OsmView::Private::drawThroughTransform(QPainter *painter, const QRectF &rect)
{
    const TileLayout layout = this->layout(QTransform());
    const int last = TileLayout::lastIndex(tileZoom);
    const int left = qMax(0, lonToColumn(rect.left()));
    const int right = qMin(last, lonToColumn(rect.right()));
    const int top = qMax(0, latToRow(rect.bottom()));
    const int bottom = qMin(last, latToRow(rect.top()));
    if (left > right || top > bottom
        || qint64(right - left + 1) * (bottom - top + 1) > MaxCellsPerPaint)
        return;
    const QTransform world = painter->worldTransform();
    const qreal previousOpacity = painter->opacity();
    painter->setOpacity(opacity);
    for (int x = left; x <= right; ++x) {
        for (int y = top; y <= bottom; ++y) {
            const QPixmap &pixmap = cachedTile(x, y);
            if (pixmap.isNull())
                continue;
            const QTransform cell(tileWidth / pixmap.width(), 0, 0, tileHeight / pixmap.height(),
                                  layout.west(x), layout.north(y));
            painter->setWorldTransform(cell * world);
            painter->drawPixmap(QRectF(pixmap.rect()), pixmap, QRectF(pixmap.rect()));
        }
    }
    painter->setWorldTransform(world);
    painter->setOpacity(previousOpacity);
    keepTilesTo(this->layout(view->viewportTransform()));
}

int OsmView::Private::anchorRow() const
{
    return TileLayout::rowUnder(view->mapToScene(QPoint(0, 0)).y(), tileZoom);
}

TileLayout OsmView::Private::layout(const QTransform &sceneToDevice) const
{
    return TileLayout(tileZoom, tileWidth, tileHeight, anchorRow(), sceneToDevice);
}

int OsmView::Private::lonToColumn(double lon) const
{
    return int(std::floor(qBound(-1e9, (lon + 180.0) / tileWidth, 1e9)));
}

int OsmView::Private::latToRow(double lat) const
{
    const int anchor = anchorRow();
    const double rows = std::floor(
        qBound(-1e9, (lat - tileYToLat(anchor, tileZoom)) / tileHeight, 1e9));
    return int(qBound(-1e9, anchor + rows, 1e9));
}

const QPixmap &OsmView::Private::cachedTile(int x, int y)
{
    const QPoint key(x, y);
    auto it = tileCache.find(key);
    if (it == tileCache.end()) {
        it = tileCache.insert(key, provider->tile(TileKey(x, y, tileZoom)));
    } else if (it->state == Tile::Downloading && provider->isDownloading()) {
        // A failure mark may have expired since: asking again is what retries it.
        *it = provider->downloadState(TileKey(x, y, tileZoom));
    }
    return it->pixmap;
}

// The cache holds what the viewport shows plus a margin of one cell, whatever part of
// it a paint exposed: a strip's paint must not make the rest of the screen read again.
// The provider learns what is shown, whatever the paint's device.
void OsmView::Private::keepTilesTo(const TileLayout &shown)
{
    const QRect viewportRect = view->viewport()->rect();
    provider->setViewportSize(viewportRect.size(), view->viewport()->devicePixelRatioF());
    const QRect window = shown.window(viewportRect);
    // A turned view has no window of columns and rows to tell.
    if (shown.isAxisAligned()) {
        QPointF centre;
        if (!window.isEmpty()) {
            const QRect first = shown.cell(window.left(), window.top());
            const QPointF middle = viewportRect.center();
            centre = QPointF(window.left() + (middle.x() - first.left()) / qMax(1, first.width()),
                             window.top() + (middle.y() - first.top()) / qMax(1, first.height()));
        }
        provider->setView(tileZoom, window, centre);
        noteShown(shown, window);
    }

    const QRect kept = window.adjusted(-1, -1, 1, 1);
    if (kept == cachedWindow && tileCache.size() <= qint64(kept.width()) * kept.height())
        return;
    cachedWindow = kept;
    for (auto it = tileCache.begin(); it != tileCache.end();) {
        if (kept.contains(it.key()))
            ++it;
        else
            it = tileCache.erase(it);
    }
}

void OsmView::scrollContentsBy(int dx, int dy)
{
    const qreal ratio = viewport()->devicePixelRatioF();
    const QTransform toPixels = QTransform::fromScale(ratio, ratio);
    const TileLayout before = d->layout(viewportTransform() * toPixels);
    QGraphicsView::scrollContentsBy(dx, dy);
    // Rows are anchored at the row under the top-left pixel; when a scroll moves that
    // anchor and the rows land on other pixels, the scrolled picture no longer fits
    // what the exposed strip will show.
    if (!before.placesRowsAs(d->layout(viewportTransform() * toPixels), dy * ratio))
        viewport()->update();
}

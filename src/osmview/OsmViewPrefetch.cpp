#include "OsmView.h"

#include "OsmViewPrivate.h"
#include "TileAddressing.h"
#include "TileLayout.h"

#include <QtGui/QCursor>

#include <algorithm>
#include <cmath>

namespace {

// How long the view stays as it is before the tiles it may show next are prepared: a
// few times the gaps between the events of a drag or a wheel turn (8 to 30 ms), and
// short enough to leave most of a glance of a few hundred ms to the preparing.
constexpr int StillMs = 100;

// Where a scene point lies at level z, in tiles, with fractions.
QPointF inTiles(const QPointF &lonLat, int z)
{
    const double x = (lonLat.x() + 180.0) / 360.0 * std::ldexp(1.0, z);
    const int row = qBound(0, latToTileY(lonLat.y(), z), TileLayout::lastIndex(z));
    const double north = tileYToLat(row, z);
    const double south = tileYToLat(row + 1, z);
    return QPointF(qBound(-1e9, x, 1e9), row + (north - lonLat.y()) / (north - south));
}

// The tiles of level z that cover a scene rectangle, on the grid.
QRect tilesCovering(const QRectF &area, int z)
{
    const int last = TileLayout::lastIndex(z);
    const QRect tiles(QPoint(qBound(0, lonToTileX(area.left(), z), last),
                             qBound(0, latToTileY(area.bottom(), z), last)),
                      QPoint(qBound(0, lonToTileX(area.right(), z), last),
                             qBound(0, latToTileY(area.top(), z), last)));
    return tiles;
}

QRectF sceneRectOf(const TileKey &key)
{
    return QRectF(QPointF(tileXToLon(key.x, key.z), tileYToLat(key.y + 1, key.z)),
                  QPointF(tileXToLon(key.x + 1, key.z), tileYToLat(key.y, key.z)));
}

// The tiles of `tiles` at level z but those of `skip`, those meeting `first` before the
// others, each part nearest `centre` first.
QVector<TileKey> nearestFirst(const QRect &tiles, int z, const QPointF &centre,
                              const QRect &skip = QRect(), const QRectF &first = QRectF())
{
    struct Place
    {
        bool later;
        double distance;
        TileKey key;
        bool operator<(const Place &o) const
        {
            return later != o.later ? o.later : distance < o.distance;
        }
    };
    const QPointF c = inTiles(centre, z);
    QVector<Place> order;
    for (int x = tiles.left(); x <= tiles.right(); ++x) {
        for (int y = tiles.top(); y <= tiles.bottom(); ++y) {
            if (skip.contains(x, y))
                continue;
            const TileKey key(x, y, z);
            const double dx = x + 0.5 - c.x(), dy = y + 0.5 - c.y();
            const bool later = !first.isEmpty() && !first.intersects(sceneRectOf(key));
            order.append({later, dx * dx + dy * dy, key});
        }
    }
    std::sort(order.begin(), order.end());
    QVector<TileKey> keys;
    keys.reserve(order.size());
    for (const Place &place : order)
        keys.append(place.key);
    return keys;
}

} // namespace

bool OsmView::prefetch() const
{
    return d->provider->prefetch();
}

void OsmView::setPrefetch(bool on)
{
    if (on == d->provider->prefetch())
        return;
    d->provider->setPrefetch(on);
    if (on)
        d->stillTimer.start();
    else
        d->stillTimer.stop();
}

void OsmView::Private::setUpPrefetch()
{
    stillTimer.setSingleShot(true);
    stillTimer.setInterval(StillMs);
    QObject::connect(&stillTimer, &QTimer::timeout, view, [this] { prepareOutlook(); });
}

void OsmView::Private::holdStill()
{
    provider->prepare({});
    if (provider->prefetch())
        stillTimer.start();
}

void OsmView::Private::noteShown(const TileLayout &shown, const QRect &window)
{
    const QRect firstCell = window.isEmpty() ? QRect() : shown.cell(window.left(), window.top());
    if (tileZoom == shownLevel && window == shownWindow && firstCell == shownCell)
        return;
    shownLevel = tileZoom;
    shownWindow = window;
    shownCell = firstCell;
    holdStill();
}

void OsmView::Private::cursorMoved()
{
    if (provider->isPreparing() && cursorQuarter() != outlookQuarter)
        prepareOutlook();
}

// The quarter of the viewport under the mouse pointer, 0 to 3 from the top left, row by
// row; -1 when the pointer is elsewhere.
int OsmView::Private::cursorQuarter() const
{
    const QWidget *viewport = view->viewport();
    const QPoint at = viewport->mapFromGlobal(QCursor::pos());
    const QRect r = viewport->rect();
    if (!viewport->underMouse() || !r.contains(at))
        return -1;
    return (at.x() > r.center().x() ? 1 : 0) + (at.y() > r.center().y() ? 2 : 0);
}

// What the next step most likely shows, nearest first: the ring of tiles around the
// viewport, then of the next level down under it (the cursor's quarter first, as a wheel
// turned there may zoom towards it) and the level above, the one fewer wheel notches
// away first.
void OsmView::Private::prepareOutlook()
{
    const QRect viewportRect = view->viewport()->rect();
    const TileLayout shown = layout(view->viewportTransform());
    const QRect window = shown.window(viewportRect);
    outlookQuarter = -1;
    if (window.isEmpty() || opacity == 0.0 || !view->isVisible()) {
        provider->prepare({});
        return;
    }
    const int last = TileLayout::lastIndex(tileZoom);
    const QRect onGrid(0, 0, last + 1, last + 1);
    const QRectF area = view->mapToScene(viewportRect).boundingRect();
    const QPointF middle = view->mapToScene(viewportRect.center());

    QVector<TileKey> outlook =
        nearestFirst(window.adjusted(-1, -1, 1, 1) & onGrid, tileZoom, middle, window);

    QRectF underCursor;
    outlookQuarter = cursorQuarter();
    if (outlookQuarter >= 0) {
        const QRect half(viewportRect.topLeft(), viewportRect.size() / 2);
        const QPoint offset((outlookQuarter & 1) * half.width(), (outlookQuarter >> 1) * half.height());
        underCursor = view->mapToScene(half.translated(offset)).boundingRect();
    }
    QVector<TileKey> in, out;
    const int below = tileZoom + 1;
    if (below <= zoomMax && TileKey::isLevel(below))
        in = nearestFirst(tilesCovering(area, below), below, middle, QRect(), underCursor);
    const int above = tileZoom - 1;
    if (above >= zoomMin && TileKey::isLevel(above)) {
        // A step out shows more than the viewport does now.
        const int lastAbove = TileLayout::lastIndex(above);
        const QRect tiles = tilesCovering(area, above).adjusted(-1, -1, 1, 1)
            & QRect(0, 0, lastAbove + 1, lastAbove + 1);
        out = nearestFirst(tiles, above, middle);
    }
    // Level z is shown from z - 1/12 to z + 11/12, a notch being 1/6.
    const double notchesIn = (tileZoom + 11.0 / 12 - zoomF) * 6;
    const double notchesOut = (zoomF - (tileZoom - 1.0 / 12)) * 6;
    if (notchesOut < notchesIn)
        std::swap(in, out);
    provider->prepare(outlook + in + out);
}

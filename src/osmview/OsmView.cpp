#include "OsmView.h"

#include "OsmOperationsWidget.h"
#include "OsmViewPrivate.h"
#include "TileAddressing.h"
#include "TileLayout.h"

#include <QtGui/QPaintEvent>
#include <QtGui/QPainter>

#include <cmath>

namespace {

constexpr double LevelRounding = 0.08333333333333333; // 1/12
constexpr double NativeOffset = 0.16666666666666666;  // 1/6: 256 px tiles
constexpr double MaxOffset = 0.8333333333333334;      // 5/6: 384 px tiles

bool usableScale(double v)
{
    return std::isfinite(v) && v != 0.0;
}

// Height in degrees of the tile row under latitude lat; negative. North of the first row
// and south of the last there is no row to measure, so the nearest one is.
double rowHeightAt(double lat, int z)
{
    const int row = TileLayout::rowUnder(std::isfinite(lat) ? lat : 0.0, z);
    return tileYToLat(row + 1, z) - tileYToLat(row, z);
}

// Tiles cover the viewport, and what they do not cover drawBackground fills itself with
// the viewport's background brush: letting Qt fill all of it first would be wasted work
// on every paint. An opaque viewport keeps Qt's accelerated scrolling.
void leaveBackgroundToTiles(QWidget *viewport)
{
    if (!viewport)
        return;
    viewport->setAutoFillBackground(false);
    viewport->setAttribute(Qt::WA_OpaquePaintEvent);
}

} // namespace

OsmView::OsmView(QWidget *parent) : OsmView(nullptr, parent) { }

OsmView::Private::Private(OsmView *view) : provider(new TileProvider(view)), view(view) { }

OsmView::OsmView(QGraphicsScene *scene, QWidget *parent)
    : QGraphicsView(scene, parent), d(new Private(this))
{
    leaveBackgroundToTiles(viewport());
    connect(d->provider, &TileProvider::tileChanged, this,
            [this](const TileKey &key, const TileProvider::Tile &tile) {
                d->tileChanged(key, tile);
            });
    d->setUpPrefetch();
    d->sendUserAgent();
    setZoom(10);
    d->operationWidget = new OsmOperationsWidget(this);
    d->operationWidget->syncControls();
}

OsmView::~OsmView()
{
    delete d->provider;
    delete d;
}

int OsmView::zoom() const
{
    return int(d->zoomF);
}

double OsmView::zoomF() const
{
    return d->zoomF;
}

int OsmView::zoomMax() const
{
    return d->zoomMax;
}

int OsmView::zoomMin() const
{
    return d->zoomMin;
}

double OsmView::opacity() const
{
    return d->opacity;
}

void OsmView::setOpacity(double opacity)
{
    if (std::isnan(opacity))
        return;
    d->opacity = qBound(0.0, opacity, 1.0);
    viewport()->update();
}

QString OsmView::imagePath() const
{
    return d->imagePath;
}

void OsmView::setZoom(double requested)
{
    if (requested == d->zoomF || !std::isfinite(requested))
        return;

    double Z = requested;
    const double level = std::trunc(Z + LevelRounding);
    int z;
    int px;
    if (level > d->zoomMax) {
        z = d->zoomMax;
        Z = d->zoomMax + MaxOffset;
        px = 384;
    } else if (level < d->zoomMin) {
        z = d->zoomMin;
        Z = d->zoomMin;
        px = 224;
    } else {
        z = int(level);
        px = 224 + int((Z - z) * 6.0 * 32.0 + 0.5);
    }

    const double tileWidth = 360.0 / std::ldexp(1.0, z);
    const double tileHeight = rowHeightAt(mapToScene(QPoint(0, 0)).y(), z);
    // Rows of a level far beyond any map's are too thin for a double; columns never are.
    if (!usableScale(tileHeight))
        return;

    const QTransform t = transform();
    const double sx = px / (t.m11() * tileWidth);
    const double sy = px / (tileHeight * t.m22());
    if (usableScale(sx) && usableScale(sy))
        scale(sx, sy);
    else
        setTransform(QTransform::fromScale(px / tileWidth, px / tileHeight));

    d->zoomF = Z;
    d->tileWidth = tileWidth;
    d->tileHeight = tileHeight;
    viewport()->update();

    if (z != d->tileZoom) {
        d->tileZoom = z;
        // Cache keys carry no level: a tile of the former level must not stand in.
        d->emptyTileCache();
        Q_EMIT zoomChanged(z);
    }
    Q_EMIT zoomChanged(d->zoomF);
}

void OsmView::setZoom(int n)
{
    if (n == d->tileZoom)
        return;
    setZoom(n + NativeOffset);
    if (d->tileZoom == n)
        return;
    d->provider->clearFailures();
    Q_EMIT zoomChanged(d->tileZoom);
}

void OsmView::Private::emptyTileCache()
{
    tileCache = decltype(tileCache)();
    cachedWindow = QRect();
}

void OsmView::setupViewport(QWidget *widget)
{
    QGraphicsView::setupViewport(widget);
    leaveBackgroundToTiles(widget);
}

void OsmView::paintEvent(QPaintEvent *event)
{
    if (scene()) {
        QGraphicsView::paintEvent(event);
        return;
    }
    // QGraphicsView draws nothing without a scene, and Qt fills no opaque viewport.
    QPainter painter(viewport());
    painter.fillRect(event->rect(), viewport()->palette().brush(viewport()->backgroundRole()));
}

QObject *OsmView::operationWidget() const
{
    return d->operationWidget;
}

bool OsmView::enableRightPane()
{
    return d->operationWidget->property("enabled").toBool();
}

void OsmView::setEnableRightPane(bool on)
{
    if (d->operationWidget->property("enabled").toBool() != on)
        d->operationWidget->setProperty("enabled", on);
}

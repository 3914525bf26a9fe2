#ifndef OSMVIEWPRIVATE_H
#define OSMVIEWPRIVATE_H

// Not API: the private record of OsmView, shared by its sources.

#include "OsmView.h"
#include "TileKey.h"
#include "TileProvider.h"

#include <QtCore/QHash>
#include <QtCore/QPoint>
#include <QtCore/QRect>
#include <QtCore/QTimer>

class OsmOperationsWidget;
class TileLayout;

// A tile's column and row as the key of the view's tables. It hashes to (y << 16) + x in
// wrapping 32-bit arithmetic, whatever the Qt: Qt 6 hashes a plain QPoint its own way.
struct TileCell : QPoint
{
    TileCell(const QPoint &p) : QPoint(p) { }
};

inline decltype(qHash(0)) qHash(const TileCell &key, decltype(qHash(0)) seed = 0) noexcept
{
    return quint32((quint32(key.y()) << 16) + quint32(key.x())) ^ seed;
}

struct OsmView::Private
{
    explicit Private(OsmView *view);

    using Tile = TileProvider::Tile;

    void emptyTileCache();
    void tileChanged(const TileKey &key, const Tile &tile);
    void sendUserAgent();

    // Tile rows share one height, anchored at the true north edge of the row under the
    // viewport's top-left pixel; these give that layout on a device.
    int anchorRow() const;
    TileLayout layout(const QTransform &sceneToDevice) const;
    int lonToColumn(double lon) const;
    int latToRow(double lat) const;
    const QPixmap &cachedTile(int x, int y);
    void keepTilesTo(const TileLayout &shown);
    void drawThroughTransform(QPainter *painter, const QRectF &rect);

    // Once the view has been still a while, the tiles it most likely shows next are
    // prepared; a change of what it shows, or input, stops that and waits again.
    void setUpPrefetch();
    void noteShown(const TileLayout &shown, const QRect &window);
    void holdStill();
    void cursorMoved();
    int cursorQuarter() const;
    void prepareOutlook();

    // Centre and fractional zoom that fit r into the viewport; false for a rectangle that
    // is not finite or a viewport that is empty.
    bool measureFit(const QRectF &r, QPointF *mid, double *fittedZoom) const;
    QPointF toViewportPixel(const QPointF &p) const;
    void centreOn(QPointF point);

    double opacity = 0.5;
    double tileWidth = 0.0;
    double tileHeight = 0.0;
    double zoomF = 1.0;
    int tileZoom = 1;
    int zoomMax = 17;
    int zoomMin = 10;
    QString imagePath;
    QString userAgent = QStringLiteral("VeltraCenter 2.1");
    // What each cell of the current level shows, kept to the viewport and a ring around it.
    QHash<TileCell, Tile> tileCache;
    QRect cachedWindow;
    OsmOperationsWidget *operationWidget = nullptr;
    QPointF presetCenter;
    double presetZoom = 0.0;
    bool selecting = false;
    bool savedInteractive = true;
    QGraphicsView::DragMode savedPanDragMode = QGraphicsView::NoDrag;
    QGraphicsView::DragMode savedSelectDragMode = QGraphicsView::NoDrag;
    // The store, the downloads, decoded tiles and placeholders. Owned here; a child of the
    // view all the same, so that it goes on the view's thread and is found as its child.
    TileProvider *provider;
    QTimer stillTimer;
    int shownLevel = -1;
    QRect shownWindow;
    QRect shownCell;
    int outlookQuarter = -1;

    OsmView *view;
};

#endif

#ifndef OSMVIEWPRIVATE_H
#define OSMVIEWPRIVATE_H

#include "OsmView.h"
#include "TileKey.h"

#include <QtCore/QCache>
#include <QtCore/QHash>
#include <QtCore/QPoint>
#include <QtCore/QPointer>
#include <QtCore/QRect>
#include <QtGui/QPixmap>

class OsmOperationsWidget;
class QNetworkAccessManager;
class TileLayout;
class Tiles;

inline uint qHash(const QPoint &key, uint seed = 0) noexcept
{
    return ((uint(key.y()) << 16) + uint(key.x())) ^ seed;
}

struct OsmView::Private
{
    explicit Private(OsmView *view) : view(view) { }

    QPixmap tilePixmap(int x, int y);
    void openTileSource(const QString &path);
    void cancelPendingReplies();
    void emptyTileCache();
    QPixmap storedTile(int x, int y, int z);
    void rememberTile(const TileKey &key, const QPixmap &pixmap);
    void fitTileMemoryTo(QSize viewportSize);

    // Tile rows share one height, anchored at the true north edge of the row under the
    // viewport's top-left pixel; these give that layout on a device.
    int anchorRow() const;
    TileLayout layout(const QTransform &sceneToDevice) const;
    QRect viewportWindow() const;
    QRect tileViewportRect(int x, int y) const;
    int lonToColumn(double lon) const;
    int latToRow(double lat) const;
    const QPixmap &cachedTile(int x, int y);
    void keepTileCacheToViewport();
    void drawThroughTransform(QPainter *painter, const QRectF &rect);

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
    bool dumpServerExchange = false;
    QString tileServerUrl;
    QString imagePath;
    QHash<QPoint, QPixmap> tileCache;
    OsmOperationsWidget *operationWidget = nullptr;
    // A reply can die with its manager, so the table never trusts a bare pointer.
    QHash<QString, QPointer<QNetworkReply>> pendingReplies;
    QHash<int, QPixmap> errorPixmaps;
    QHash<QPoint, int> failedTiles;
    QPointF presetCenter;
    double presetZoom = 0.0;
    bool selecting = false;
    bool savedInteractive = true;
    QGraphicsView::DragMode savedPanDragMode = QGraphicsView::NoDrag;
    QGraphicsView::DragMode savedSelectDragMode = QGraphicsView::NoDrag;
    Tiles *tiles = nullptr;
    QNetworkAccessManager *network = nullptr;

    // Decoded store tiles that outlive the trimming of tileCache, so a tile scrolled
    // back into view costs no read and no decode. Store tiles only: never a placeholder,
    // an error tile or a miss. Its cost is in KiB, its budget a few screens of tiles.
    QCache<TileKey, QPixmap> tileMemory;
    QSize tileMemorySizedFor;
    QRect cachedWindow;

    OsmView *view;
};

#endif

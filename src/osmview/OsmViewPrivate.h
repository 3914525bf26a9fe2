#ifndef OSMVIEWPRIVATE_H
#define OSMVIEWPRIVATE_H

#include "OsmView.h"
#include "TileKey.h"
#include "Tiles.h"

#include <QtCore/QCache>
#include <QtCore/QHash>
#include <QtCore/QPoint>
#include <QtCore/QPointer>
#include <QtCore/QRect>
#include <QtCore/QTimer>
#include <QtGui/QPixmap>

class OsmOperationsWidget;
class TileDownloader;
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
    explicit Private(OsmView *view) : view(view) { }

    // What the cache holds for a tile: the tile itself (or nothing) for good, or what
    // stands in for it until a lock is gone or a download ends.
    struct CachedTile
    {
        enum State { Settled, Busy, Downloading };
        QPixmap pixmap;
        State state = Settled;
    };

    CachedTile tilePixmap(int x, int y);
    CachedTile downloadState(const TileKey &key);
    QPixmap storedTile(const TileKey &key, Tiles::ReadResult *result);
    const QPixmap &errorPixmap(int code);
    void tileArrived(const TileKey &key, const QImage &image);
    void tileFailed(const TileKey &key, int error);
    void openTileSource(const QString &path);
    void emptyTileCache();
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
    void tellDownloaderWhatIsShown();
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
    QHash<TileCell, CachedTile> tileCache;
    OsmOperationsWidget *operationWidget = nullptr;
    QHash<int, QPixmap> errorPixmaps;
    QPointF presetCenter;
    double presetZoom = 0.0;
    bool selecting = false;
    bool savedInteractive = true;
    QGraphicsView::DragMode savedPanDragMode = QGraphicsView::NoDrag;
    QGraphicsView::DragMode savedSelectDragMode = QGraphicsView::NoDrag;
    Tiles *tiles = nullptr;
    // Requests, their budget and failure marks, from the first time download is on.
    TileDownloader *downloader = nullptr;
    bool downloading = false;
    QTimer busyRetry;

    // Decoded store tiles that outlive the trimming of tileCache, so a tile scrolled
    // back into view costs no read and no decode. Store tiles only: never a placeholder,
    // an error tile or a miss. Its cost is in KiB, its budget a few screens of tiles.
    QCache<TileKey, QPixmap> tileMemory;
    QSize tileMemorySizedFor;
    QRect cachedWindow;

    OsmView *view;
};

#endif

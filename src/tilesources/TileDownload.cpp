#include "OsmView.h"

#include "OsmViewPrivate.h"
#include "TileDownloader.h"
#include "TileImage.h"
#include "Tiles.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QTimer>
#include <QtGui/QPainter>

namespace {

// A read that met another program's lock is tried again this much later.
constexpr int BusyRetryMs = 250;

QPixmap drawTileText(const QColor &textColour, const QRect &textRect, int flags,
                     const QString &text)
{
    QPixmap pixmap(256, 256);
    pixmap.fill(Qt::white);
    QPainter painter(&pixmap);
    QPen pen(Qt::SolidLine);
    pen.setColor(Qt::lightGray);
    painter.setPen(pen);
    painter.setBackground(QBrush(Qt::white, Qt::SolidPattern));
    painter.drawRect(0, 0, 256, 256);
    pen.setColor(textColour);
    painter.setPen(pen);
    painter.drawText(textRect, flags, text);
    return pixmap;
}

QPixmap &downloadingPixmapStorage()
{
    static QPixmap pixmap;
    return pixmap;
}

void releaseDownloadingPixmap()
{
    downloadingPixmapStorage() = QPixmap();
}

// Process-wide; released with the application object, which its pixmap data needs.
const QPixmap &downloadingPixmap()
{
    QPixmap &pixmap = downloadingPixmapStorage();
    if (pixmap.isNull()) {
        pixmap = drawTileText(Qt::black, QRect(0, 0, 256, 256), Qt::AlignHCenter | Qt::AlignVCenter,
                              OsmView::tr("downloading ..."));
        qAddPostRoutine(releaseDownloadingPixmap);
    }
    return pixmap;
}

} // namespace

QString OsmView::getTileServerUrl()
{
    return d->tileServerUrl;
}

void OsmView::setTileServerUrl(QString url)
{
    if (url == d->tileServerUrl)
        return;
    d->tileServerUrl = url;
    // Marks and requests belong to the old server; the new one may have those tiles.
    if (d->downloader) {
        d->downloader->setUrlTemplate(url);
        d->emptyTileCache();
        viewport()->update();
    }
}

bool OsmView::getEnableTileDownload()
{
    return d->downloading;
}

void OsmView::setEnableTileDownload(bool on)
{
    if (d->downloading == on)
        return;
    d->downloading = on;
    if (!on) {
        // Failure marks outlive the switch; placeholders already drawn stay until their
        // tiles leave the view.
        d->downloader->cancelAll();
        return;
    }
    if (!d->downloader) {
        d->downloader = new TileDownloader(this);
        d->downloader->setDumpServerExchange(d->dumpServerExchange);
        d->downloader->setStore(d->tiles);
        d->downloader->setUrlTemplate(d->tileServerUrl);
        connect(d->downloader, &TileDownloader::tileArrived, this,
                [this](const TileKey &key, const QImage &image) { d->tileArrived(key, image); });
        connect(d->downloader, &TileDownloader::tileFailed, this,
                [this](const TileKey &key, int error) { d->tileFailed(key, error); });
    }
    // Tiles looked up while download was off are missing, not settled: the next paint
    // asks for them.
    d->emptyTileCache();
}

bool OsmView::dumpServerExchange()
{
    return d->dumpServerExchange;
}

void OsmView::setDumpServerExchange(bool on)
{
    d->dumpServerExchange = on;
    if (d->downloader)
        d->downloader->setDumpServerExchange(on);
}

void OsmView::tileServerReply(QNetworkReply *reply)
{
    if (reply)
        reply->deleteLater();
    if (d->downloader)
        d->downloader->handleReply(reply);
}

QPixmap OsmView::Private::storedTile(const TileKey &key, Tiles::ReadResult *result)
{
    if (const QPixmap *remembered = tileMemory.object(key)) {
        *result = Tiles::ReadResult::Found;
        return *remembered;
    }
    const QByteArray bytes = tiles->tileData(key, result);
    if (*result != Tiles::ReadResult::Found)
        return QPixmap();
    QPixmap pixmap = TileImage::toPixmap(TileImage::decode(bytes));
    if (pixmap.isNull())
        *result = Tiles::ReadResult::Missing;
    else
        rememberTile(key, pixmap);
    return pixmap;
}

OsmView::Private::CachedTile OsmView::Private::tilePixmap(int x, int y)
{
    if (!tiles)
        return {};
    const TileKey key(x, y, tileZoom);
    Tiles::ReadResult result = Tiles::ReadResult::Missing;
    QPixmap pixmap = storedTile(key, &result);
    if (result == Tiles::ReadResult::Found)
        return {pixmap, CachedTile::Settled};
    if (result == Tiles::ReadResult::Busy) {
        // Neither drawn nor fetched: the tile may be there once the lock is gone.
        if (!busyRetry.isActive())
            busyRetry.start(BusyRetryMs);
        return {QPixmap(), CachedTile::Busy};
    }
    return downloadState(key);
}

OsmView::Private::CachedTile OsmView::Private::downloadState(const TileKey &key)
{
    if (!downloading)
        return {};
    const TileDownloader::Status status = downloader->want(key);
    switch (status.state) {
    case TileDownloader::Requested:
        return {downloadingPixmap(), CachedTile::Downloading};
    case TileDownloader::Failed:
        return {errorPixmap(status.error), CachedTile::Downloading};
    case TileDownloader::NotRequested:
        break;
    }
    return {};
}

const QPixmap &OsmView::Private::errorPixmap(int code)
{
    auto it = errorPixmaps.find(code);
    if (it == errorPixmaps.end()) {
        it = errorPixmaps.insert(code, drawTileText(Qt::red, QRect(2, 2, 252, 252),
                                                    Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextWordWrap,
                                                    OsmView::tr("network error %1").arg(code)));
    }
    return it.value();
}

void OsmView::Private::tileArrived(const TileKey &key, const QImage &image)
{
    const QPixmap pixmap = QPixmap::fromImage(image);
    rememberTile(key, pixmap);
    if (key.z != tileZoom)
        return;
    tileCache.insert(QPoint(key.x, key.y), {pixmap, CachedTile::Settled});
    // The cell where the view shows the tile now, wherever the view went meanwhile.
    view->viewport()->update(tileViewportRect(key.x, key.y));
}

void OsmView::Private::tileFailed(const TileKey &key, int error)
{
    if (key.z != tileZoom)
        return;
    tileCache.insert(QPoint(key.x, key.y), {errorPixmap(error), CachedTile::Downloading});
    view->viewport()->update(tileViewportRect(key.x, key.y));
}

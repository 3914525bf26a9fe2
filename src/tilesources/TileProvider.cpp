#include "TileProvider.h"

#include "TileDownloader.h"
#include "TileImage.h"
#include "Tiles.h"
#include "VeltraLogging.h"

#include <QtCore/QCache>
#include <QtCore/QCoreApplication>
#include <QtCore/QHash>
#include <QtCore/QSet>
#include <QtCore/QTimer>
#include <QtGui/QPainter>

namespace {

// A read that met another program's lock is tried again this much later.
constexpr int LockedRetryMs = 250;

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
                              QCoreApplication::translate("OsmView", "downloading ..."));
        qAddPostRoutine(releaseDownloadingPixmap);
    }
    return pixmap;
}

// Three screens of 256 px tiles, counted in KiB; a byte count, so tiles of higher density
// take their real share.
int memoryBudgetKiB(QSize viewport)
{
    const qint64 across = viewport.width() / 256 + 3;
    const qint64 down = viewport.height() / 256 + 3;
    return int(qBound<qint64>(16 * 1024, 3 * across * down * 256, 256 * 1024));
}

} // namespace

struct TileProvider::Private
{
    explicit Private(TileProvider *q) : q(q) { }

    QPixmap storedTile(const TileKey &key, Tiles::ReadResult *result);
    void remember(const TileKey &key, const QPixmap &pixmap);
    const QPixmap &errorPixmap(int code);
    void retryLocked();

    TileProvider *q;
    std::unique_ptr<Tiles> store;
    // Requests, their budget and failure marks, from the first time download is on.
    TileDownloader *downloader = nullptr;
    bool downloading = false;
    QString urlTemplate;
    bool dumpServerExchange = false;
    QHash<int, QPixmap> errorPixmaps;

    // Decoded store tiles, so a tile scrolled back into view costs no read and no decode.
    // Store tiles only: never a placeholder, an error tile or a miss. Its cost is in KiB,
    // its budget a few screens of tiles.
    QCache<TileKey, QPixmap> memory;
    QSize memorySizedFor;

    int viewLevel = -1;
    QRect viewWindow;
    QSet<TileKey> locked;
    QTimer lockedRetry;
};

TileProvider::TileProvider(QObject *parent) : QObject(parent), d(new Private(this))
{
    d->lockedRetry.setSingleShot(true);
    d->lockedRetry.setInterval(LockedRetryMs);
    connect(&d->lockedRetry, &QTimer::timeout, this, [this] { d->retryLocked(); });
}

TileProvider::~TileProvider()
{
    // Nothing may arrive for a store that is going; the store then writes what it holds.
    delete d->downloader;
    d->downloader = nullptr;
    Tiles::close(std::move(d->store));
}

bool TileProvider::open(const QString &path)
{
    if (d->downloader)
        d->downloader->setStore(nullptr);
    Tiles::close(std::move(d->store));
    d->memory.clear();
    d->locked.clear();
    d->lockedRetry.stop();

    if (!path.isEmpty()) {
        QString error;
        d->store = Tiles::open(path, Tiles::OpenOptions(), &error);
        if (!d->store)
            qCWarning(lcTiles).noquote() << error;
    }
    if (d->downloader)
        d->downloader->setStore(d->store.get());
    return d->store || path.isEmpty();
}

bool TileProvider::hasStore() const
{
    return bool(d->store);
}

QPixmap TileProvider::Private::storedTile(const TileKey &key, Tiles::ReadResult *result)
{
    if (const QPixmap *remembered = memory.object(key)) {
        *result = Tiles::ReadResult::Found;
        return *remembered;
    }
    const QByteArray bytes = store->tileData(key, result);
    if (*result != Tiles::ReadResult::Found)
        return QPixmap();
    QPixmap pixmap = TileImage::toPixmap(TileImage::decode(bytes));
    if (pixmap.isNull())
        *result = Tiles::ReadResult::Missing;
    else
        remember(key, pixmap);
    return pixmap;
}

void TileProvider::Private::remember(const TileKey &key, const QPixmap &pixmap)
{
    const qint64 kib = (qint64(pixmap.width()) * pixmap.height() * pixmap.depth() / 8 + 1023)
        / 1024;
    memory.insert(key, new QPixmap(pixmap), int(qMin<qint64>(kib, memory.maxCost())));
}

TileProvider::Tile TileProvider::tile(const TileKey &key)
{
    if (!d->store)
        return {};
    Tiles::ReadResult result = Tiles::ReadResult::Missing;
    QPixmap pixmap = d->storedTile(key, &result);
    if (result == Tiles::ReadResult::Found)
        return {pixmap, Tile::Settled};
    if (result == Tiles::ReadResult::Busy) {
        // Neither drawn nor fetched: the tile may be there once the lock is gone.
        d->locked.insert(key);
        if (!d->lockedRetry.isActive())
            d->lockedRetry.start();
        return {QPixmap(), Tile::Locked};
    }
    return downloadState(key);
}

TileProvider::Tile TileProvider::downloadState(const TileKey &key)
{
    if (!d->downloading)
        return {};
    const TileDownloader::Status status = d->downloader->want(key);
    switch (status.state) {
    case TileDownloader::Requested:
        return {downloadingPixmap(), Tile::Downloading};
    case TileDownloader::Failed:
        return {d->errorPixmap(status.error), Tile::Downloading};
    case TileDownloader::NotRequested:
        break;
    }
    return {};
}

// Locked tiles the view still shows are read again; the others are forgotten.
void TileProvider::Private::retryLocked()
{
    const QRect shown = viewWindow.adjusted(-1, -1, 1, 1);
    const QSet<TileKey> keys = std::exchange(locked, {});
    for (const TileKey &key : keys) {
        const bool shownNow = viewLevel < 0 || (key.z == viewLevel && shown.contains(key.x, key.y));
        if (!store || !shownNow)
            continue;
        const Tile tile = q->tile(key);
        if (tile.state != Tile::Locked)
            Q_EMIT q->tileChanged(key, tile);
    }
}

void TileProvider::setViewportSize(QSize size)
{
    if (size == d->memorySizedFor)
        return;
    d->memorySizedFor = size;
    d->memory.setMaxCost(memoryBudgetKiB(size));
}

void TileProvider::setView(int z, const QRect &window, const QPointF &centre)
{
    d->viewLevel = z;
    d->viewWindow = window;
    if (d->downloading)
        d->downloader->setView(z, window, centre);
}

void TileProvider::setDownloading(bool on)
{
    if (d->downloading == on)
        return;
    d->downloading = on;
    if (!on) {
        // Failure marks outlive the switch.
        d->downloader->cancelAll();
        return;
    }
    if (d->downloader)
        return;
    d->downloader = new TileDownloader(this);
    d->downloader->setDumpServerExchange(d->dumpServerExchange);
    d->downloader->setStore(d->store.get());
    d->downloader->setUrlTemplate(d->urlTemplate);
    connect(d->downloader, &TileDownloader::tileArrived, this,
            [this](const TileKey &key, const QImage &image) {
                const QPixmap pixmap = QPixmap::fromImage(image);
                d->remember(key, pixmap);
                Q_EMIT tileChanged(key, {pixmap, Tile::Settled});
            });
    connect(d->downloader, &TileDownloader::tileFailed, this,
            [this](const TileKey &key, int error) {
                Q_EMIT tileChanged(key, {d->errorPixmap(error), Tile::Downloading});
            });
}

bool TileProvider::isDownloading() const
{
    return d->downloading;
}

TileDownloader *TileProvider::downloader() const
{
    return d->downloader;
}

void TileProvider::setUrlTemplate(const QString &urlTemplate)
{
    d->urlTemplate = urlTemplate;
    if (d->downloader)
        d->downloader->setUrlTemplate(urlTemplate);
}

QString TileProvider::urlTemplate() const
{
    return d->urlTemplate;
}

void TileProvider::setDumpServerExchange(bool on)
{
    d->dumpServerExchange = on;
    if (d->downloader)
        d->downloader->setDumpServerExchange(on);
}

bool TileProvider::dumpServerExchange() const
{
    return d->dumpServerExchange;
}

void TileProvider::clearFailures()
{
    if (!d->downloader)
        return;
    d->downloader->clearMarks();
    d->downloader->cancelAll();
}

void TileProvider::takeReply(QNetworkReply *reply)
{
    if (d->downloader)
        d->downloader->handleReply(reply);
}

const QPixmap &TileProvider::Private::errorPixmap(int code)
{
    auto it = errorPixmaps.find(code);
    if (it == errorPixmaps.end()) {
        it = errorPixmaps.insert(
            code,
            drawTileText(Qt::red, QRect(2, 2, 252, 252),
                         Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextWordWrap,
                         QCoreApplication::translate("OsmView", "network error %1").arg(code)));
    }
    return it.value();
}

#include "TileProvider.h"

#include "TileDownloader.h"
#include "TileImage.h"
#include "TileMemory.h"
#include "Tiles.h"
#include "VeltraLogging.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDateTime>
#include <QtCore/QElapsedTimer>
#include <QtCore/QHash>
#include <QtCore/QRunnable>
#include <QtCore/QSet>
#include <QtCore/QThread>
#include <QtCore/QThreadPool>
#include <QtCore/QTimer>
#include <QtGui/QGuiApplication>
#include <QtGui/QPainter>

#include <atomic>
#include <cmath>

namespace {

// Not QDateTime's own: a pointer to a noexcept function would add its type to the
// library's exports.
qint64 wallMsecs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

// A read that met another program's lock is tried again this much later.
constexpr int LockedRetryMs = 250;

// A stored tile that does not decode is not read again for this long (up to 16 MiB each
// time, on every paint), unless a download replaces it; how many such tiles are kept.
constexpr qint64 UnreadableForgetMs = 60 * 1000;
constexpr int MaxUnreadableKept = 1024;
// A stale tile on screen is looked at again this much later, until an answer renews it:
// it may not have been asked for (its server failing or pausing, its failure's wait not
// over), or its request may have been dropped.
constexpr int StaleRecheckMs = 5000;
// Ages known of tiles, kept for those on screen and some more.
constexpr int MaxFreshnessKept = 2048;

// At the pixel ratio of the densest screen, so that the text is as sharp as the tiles
// around it; a 256-unit tile all the same.
QPixmap drawTileText(const QColor &textColour, const QRect &textRect, int flags,
                     const QString &text)
{
    const qreal ratio = qGuiApp ? qMax(qreal(1), qGuiApp->devicePixelRatio()) : qreal(1);
    QPixmap pixmap(QSize(256, 256) * ratio);
    pixmap.setDevicePixelRatio(ratio);
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

// Three screens of tiles as dense as the screen's pixels (256 px at a pixel ratio of 1,
// 512 px at 2), in bytes, so tiles of higher density take their real share; at least 16
// and at most 256 MiB.
qint64 memoryBudget(QSize viewport, qreal ratio)
{
    const qint64 across = qMax(0, viewport.width()) / 256 + 3;
    const qint64 down = qMax(0, viewport.height()) / 256 + 3;
    const double density = std::isfinite(ratio) ? qBound(1.0, double(ratio * ratio), 16.0) : 1.0;
    const qint64 kib = qint64(3 * across * down * 256 * density);
    return qBound(qint64(16 * 1024), kib, qint64(256 * 1024)) * 1024;
}

// The pixel formats QPixmap::fromImage gives an opaque image and one with transparent
// pixels, found on the GUI thread, where pixmaps may be made.
struct PixmapFormats
{
    QImage::Format opaque = QImage::Format_RGB32;
    QImage::Format alpha = QImage::Format_ARGB32_Premultiplied;

    static PixmapFormats ofThisScreen()
    {
        PixmapFormats formats;
        QImage opaque(1, 1, QImage::Format_RGB32);
        opaque.fill(Qt::white);
        formats.opaque = QPixmap::fromImage(opaque).toImage().format();
        QImage clear(1, 1, QImage::Format_ARGB32);
        clear.fill(Qt::transparent);
        formats.alpha = QPixmap::fromImage(clear).toImage().format();
        return formats;
    }

    // The image as QPixmap::fromImage would convert it, so that the conversion is done
    // here, off the GUI thread, and the pixmap takes the pixels as they are.
    QImage convert(QImage image) const
    {
        if (image.isNull() || !image.hasAlphaChannel())
            return std::move(image).convertToFormat(opaque);
        image = std::move(image).convertToFormat(QImage::Format_ARGB32_Premultiplied);
        for (int y = 0; y < image.height(); ++y) {
            const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
            for (int x = 0; x < image.width(); ++x) {
                if (qAlpha(line[x]) != 255)
                    return std::move(image).convertToFormat(alpha);
            }
        }
        return std::move(image).convertToFormat(opaque);
    }
};

// Workers decoding ahead. The GUI thread reads the store and makes the pixmaps; each
// worker keeps a second tile queued, so none waits for it.
int workerCount()
{
    return qBound(1, QThread::idealThreadCount(), 4);
}

} // namespace

struct TileProvider::Private
{
    explicit Private(TileProvider *q) : q(q) { }

    QByteArray read(const TileKey &key, Tiles::ReadResult *result);
    QPixmap storedTile(const TileKey &key, Tiles::ReadResult *result);
    const QPixmap &errorPixmap(int code);
    void retryLocked();
    void prepareMore();
    void decoded(quint64 source, const TileKey &key, QImage image, bool tried);
    bool knownUnreadable(const TileKey &key);
    void rememberUnreadable(const TileKey &key);
    void stopPreparing();
    bool refreshing() const { return maxTileAge > 0 && downloading && store; }
    qint64 staleAt(qint64 fetchedMs, qint64 lifetime) const
    {
        return fetchedMs + qMax(qint64(maxTileAge), lifetime) * 1000;
    }
    void checkFresh(const TileKey &key);
    QHash<TileKey, qint64>::iterator remember(const TileKey &key, qint64 until);
    void revalidateShown();
    void revalidate(const TileKey &key, qint64 now);
    void lookAgainBy(qint64 at);
    void configureDownloader();

    TileProvider *q;
    std::unique_ptr<Tiles> store;
    // Requests, their budget and failure marks, from the first time download is on.
    TileDownloader *downloader = nullptr;
    bool downloading = false;
    QString urlTemplate;
    bool dumpServerExchange = false;
    QByteArray userAgent;
    QHash<int, QPixmap> errorPixmaps;

    // Decoded store tiles only: never a placeholder, an error tile or a miss.
    TileMemory memory;
    QSize memorySizedFor;
    qreal memoryRatio = 1;
    std::function<void(const TileKey &)> readHook;

    // Tiles to prepare, the next one, and how many are with the workers. A tile decoded
    // for a store that is gone is dropped: `source` counts the stores opened.
    bool prefetch = true;
    QVector<TileKey> outlook;
    int nextInOutlook = 0;
    bool preparing = false;
    int decoding = 0;
    quint64 source = 0;
    PixmapFormats formats;
    bool formatsKnown = false;
    // Counts the outlooks given up: a worker skips a tile queued for an earlier one, so
    // that input finds the cores free. Workers are done before it goes.
    std::atomic<int> outlooksStopped{0};
    QThreadPool workers;

    // Stored tiles that did not decode, and when to try them again.
    QHash<TileKey, qint64> unreadable;
    QElapsedTimer clock;

    int viewLevel = -1;
    QRect viewWindow;
    QSet<TileKey> locked;
    QTimer lockedRetry;

    // Freshness, only while maxTileAge is set: when each tile looked at becomes stale, in
    // milliseconds since 1970 (0: of unknown age, stale), and a look at the tiles on
    // screen when the first of them does.
    int maxTileAge = 0;
    std::function<qint64()> wallClock = wallMsecs;
    QHash<TileKey, qint64> freshUntil;
    QTimer freshTimer;
    qint64 freshLookAt = 0;
};

TileProvider::TileProvider(QObject *parent) : QObject(parent), d(new Private(this))
{
    d->memory.setBudget(memoryBudget(QSize(), 1));
    d->clock.start();
    d->workers.setMaxThreadCount(workerCount());
    d->lockedRetry.setSingleShot(true);
    d->lockedRetry.setInterval(LockedRetryMs);
    connect(&d->lockedRetry, &QTimer::timeout, this, [this] { d->retryLocked(); });
    d->freshTimer.setSingleShot(true);
    connect(&d->freshTimer, &QTimer::timeout, this, [this] { d->revalidateShown(); });
}

TileProvider::~TileProvider()
{
    d->stopPreparing();
    d->workers.waitForDone();
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
    d->unreadable.clear();
    d->freshUntil.clear();
    d->locked.clear();
    d->lockedRetry.stop();
    d->stopPreparing();
    ++d->source;

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

QByteArray TileProvider::Private::read(const TileKey &key, Tiles::ReadResult *result)
{
    if (readHook)
        readHook(key);
    return store->tileData(key, result);
}

QPixmap TileProvider::Private::storedTile(const TileKey &key, Tiles::ReadResult *result)
{
    QPixmap pixmap = memory.take(key);
    if (!pixmap.isNull()) {
        *result = Tiles::ReadResult::Found;
        return pixmap;
    }
    if (knownUnreadable(key)) {
        *result = Tiles::ReadResult::Missing;
        return QPixmap();
    }
    const QByteArray bytes = read(key, result);
    if (*result != Tiles::ReadResult::Found)
        return QPixmap();
    pixmap = TileImage::toPixmap(TileImage::decode(bytes));
    if (pixmap.isNull()) {
        *result = Tiles::ReadResult::Missing;
        rememberUnreadable(key);
    } else {
        memory.insert(key, pixmap);
    }
    return pixmap;
}

bool TileProvider::Private::knownUnreadable(const TileKey &key)
{
    const auto it = unreadable.constFind(key);
    if (it == unreadable.cend())
        return false;
    if (*it > clock.elapsed())
        return true;
    unreadable.erase(it);
    return false;
}

void TileProvider::Private::rememberUnreadable(const TileKey &key)
{
    if (unreadable.size() >= MaxUnreadableKept)
        unreadable.clear();
    unreadable.insert(key, clock.elapsed() + UnreadableForgetMs);
}

TileProvider::Tile TileProvider::tile(const TileKey &key)
{
    if (!d->store)
        return {};
    Tiles::ReadResult result = Tiles::ReadResult::Missing;
    QPixmap pixmap = d->storedTile(key, &result);
    if (result == Tiles::ReadResult::Found) {
        if (d->maxTileAge > 0)
            d->checkFresh(key);
        return {pixmap, Tile::Settled};
    }
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

// A stored tile about to be drawn: a stale one is revalidated, drawn meanwhile.
void TileProvider::Private::checkFresh(const TileKey &key)
{
    if (!refreshing())
        return;
    auto it = freshUntil.find(key);
    if (it == freshUntil.end()) {
        Tiles::ReadResult result;
        const Tiles::Freshness record = store->freshness(key, &result);
        if (result == Tiles::ReadResult::Busy)
            return;
        // A time to come (a clock that was wrong, a file from elsewhere) would keep the
        // tile from ever being asked for: its age is not known.
        const qint64 fetched = record.fetched.isValid() ? record.fetched.toMSecsSinceEpoch() : 0;
        it = remember(key,
                      fetched > 0 && fetched <= wallClock() ? staleAt(fetched, record.lifetime)
                                                            : 0);
    }
    if (*it <= wallClock())
        revalidate(key, wallClock());
    else
        lookAgainBy(*it);
}

// Asked for or not, a stale tile is looked at again until an answer renews it, unless
// its server refused it for good.
void TileProvider::Private::revalidate(const TileKey &key, qint64 now)
{
    if (downloader->revalidate(key) || downloader->retryAt(key) >= 0)
        lookAgainBy(now + StaleRecheckMs);
}

QHash<TileKey, qint64>::iterator TileProvider::Private::remember(const TileKey &key, qint64 until)
{
    if (freshUntil.size() >= MaxFreshnessKept && !freshUntil.contains(key)) {
        const QRect kept = viewWindow.adjusted(-1, -1, 1, 1);
        for (auto it = freshUntil.begin(); it != freshUntil.end();) {
            const bool shown = it.key().z == viewLevel && kept.contains(it.key().x, it.key().y);
            it = shown ? std::next(it) : freshUntil.erase(it);
        }
    }
    return freshUntil.insert(key, until);
}

void TileProvider::Private::lookAgainBy(qint64 at)
{
    if (freshTimer.isActive() && freshLookAt <= at)
        return;
    freshLookAt = at;
    const qint64 wait = at - wallClock();
    freshTimer.start(int(qBound(qint64(0), wait, qint64(24 * 3600 * 1000))));
}

// The tiles on screen whose time has come are revalidated; the next look is at the
// first that is still fresh, or soon while one waits for its answer.
void TileProvider::Private::revalidateShown()
{
    freshTimer.stop();
    if (!refreshing() || viewLevel < 0)
        return;
    const qint64 now = wallClock();
    for (auto it = freshUntil.cbegin(); it != freshUntil.cend(); ++it) {
        const TileKey &key = it.key();
        if (key.z != viewLevel || !viewWindow.contains(key.x, key.y))
            continue;
        if (it.value() > now)
            lookAgainBy(it.value());
        else
            revalidate(key, now);
    }
}

void TileProvider::setMaxTileAge(int seconds)
{
    seconds = qMax(0, seconds);
    if (seconds == d->maxTileAge)
        return;
    d->maxTileAge = seconds;
    d->freshUntil.clear();
    d->freshTimer.stop();
    if (d->downloader)
        d->configureDownloader();
}

int TileProvider::maxTileAge() const
{
    return d->maxTileAge;
}

void TileProvider::setWallClock(std::function<qint64()> msecsSinceEpoch)
{
    d->wallClock = msecsSinceEpoch ? std::move(msecsSinceEpoch)
                                   : std::function<qint64()>(wallMsecs);
    if (d->downloader)
        d->configureDownloader();
    d->freshTimer.stop();
    if (d->refreshing())
        d->lookAgainBy(d->wallClock());
}

void TileProvider::Private::configureDownloader()
{
    downloader->setHttpCaching(maxTileAge > 0);
    downloader->setWallClock(wallClock);
}

void TileProvider::setViewportSize(QSize size, qreal devicePixelRatio)
{
    if (size == d->memorySizedFor && devicePixelRatio == d->memoryRatio)
        return;
    d->memorySizedFor = size;
    d->memoryRatio = devicePixelRatio;
    d->memory.setBudget(memoryBudget(size, devicePixelRatio));
}

void TileProvider::setView(int z, const QRect &window, const QPointF &centre)
{
    d->viewLevel = z;
    d->viewWindow = window;
    d->memory.setShown(z, window.adjusted(-1, -1, 1, 1));
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
    d->downloader->setUserAgent(d->userAgent);
    d->downloader->setStore(d->store.get());
    d->downloader->setUrlTemplate(d->urlTemplate);
    d->configureDownloader();
    connect(d->downloader, &TileDownloader::tileFresh, this,
            [this](const TileKey &key, qint64 lifetime) {
                const qint64 until = d->staleAt(d->wallClock(), lifetime);
                d->remember(key, until);
                d->lookAgainBy(until);
            });
    connect(d->downloader, &TileDownloader::tileArrived, this,
            [this](const TileKey &key, const QImage &image) {
                const QPixmap pixmap = QPixmap::fromImage(image);
                d->unreadable.remove(key);
                d->memory.insert(key, pixmap);
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

void TileProvider::setUserAgent(const QByteArray &value)
{
    d->userAgent = value;
    if (d->downloader)
        d->downloader->setUserAgent(value);
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

void TileProvider::prepare(const QVector<TileKey> &nearestFirst)
{
    d->stopPreparing();
    if (!d->prefetch || !d->store || nearestFirst.isEmpty())
        return;
    if (!d->formatsKnown) {
        d->formats = PixmapFormats::ofThisScreen();
        d->formatsKnown = true;
    }
    d->outlook = nearestFirst;
    d->preparing = true;
    d->prepareMore();
}

bool TileProvider::isPreparing() const
{
    return d->preparing;
}

void TileProvider::setPrefetch(bool on)
{
    d->prefetch = on;
    if (!on)
        d->stopPreparing();
}

bool TileProvider::prefetch() const
{
    return d->prefetch;
}

void TileProvider::setStoreReadHook(std::function<void(const TileKey &)> hook)
{
    d->readHook = std::move(hook);
}

void TileProvider::Private::stopPreparing()
{
    outlook.clear();
    nextInOutlook = 0;
    preparing = false;
    ++outlooksStopped;
    memory.beginOutlook();
}

// Reads the next tiles of the outlook until every worker has two; the rest follows as
// they finish.
void TileProvider::Private::prepareMore()
{
    while (decoding < 2 * workers.maxThreadCount() && nextInOutlook < outlook.size()) {
        const TileKey key = outlook.at(nextInOutlook++);
        if (!key.isOnGrid() || memory.keepForOutlook(key) || knownUnreadable(key))
            continue;
        Tiles::ReadResult result = Tiles::ReadResult::Missing;
        const QByteArray bytes = read(key, &result);
        if (result == Tiles::ReadResult::Busy) {
            // Another program's lock: the paint will meet it too, and the view waits for it.
            nextInOutlook = outlook.size();
            break;
        }
        if (result != Tiles::ReadResult::Found)
            continue;
        ++decoding;
        TileProvider *provider = q;
        const quint64 from = source;
        const PixmapFormats as = formats;
        const std::atomic<int> *stopped = &outlooksStopped;
        const int stoppedBefore = *stopped;
        workers.start(QRunnable::create([provider, from, key, bytes, as, stopped, stoppedBefore] {
            QImage image;
            const bool tried = *stopped == stoppedBefore;
            if (tried)
                image = as.convert(TileImage::decode(bytes));
            QMetaObject::invokeMethod(
                provider,
                [provider, from, key, image, tried] {
                    provider->d->decoded(from, key, image, tried);
                },
                Qt::QueuedConnection);
        }));
    }
    if (preparing && decoding == 0 && nextInOutlook >= outlook.size()) {
        preparing = false;
        Q_EMIT q->prepared();
    }
}

void TileProvider::Private::decoded(quint64 from, const TileKey &key, QImage image, bool tried)
{
    --decoding;
    if (from == source && tried && image.isNull())
        rememberUnreadable(key);
    if (from == source && prefetch && !image.isNull() && !memory.contains(key)) {
        // What does not fit now leaves no room for the farther tiles either.
        if (!memory.insertPrepared(key, QPixmap::fromImage(std::move(image))))
            nextInOutlook = outlook.size();
    }
    prepareMore();
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

#include "Seeder.h"

#include "Console.h"
#include "Pacer.h"
#include "RunClock.h"
#include "Stores.h"
#include "TileDownloader.h"
#include "WholeImage.h"

#include <QtCore/QEventLoop>
#include <QtCore/QFileInfo>
#include <QtCore/QMap>
#include <QtCore/QMultiMap>
#include <QtCore/QSet>

#include <limits>

struct Seeder::Private
{
    Q_DECLARE_TR_FUNCTIONS(Seeder)

public:
    explicit Private(const Options &options)
        : options(options), clock(options.simulatedClock), pacer(options.rate)
    { }

    bool plan();
    bool nextMissing(TileKey *key);
    void pump();
    void send(const TileKey &key, qint64 now);
    void arrived(const TileKey &key);
    void failed(const TileKey &key, int error);
    void giveUp(int error, int status);
    QString cause(int error, int status) const;
    void finish();

    Options options;
    RunClock clock;
    Pacer pacer;
    std::unique_ptr<Tiles> store;
    std::unique_ptr<TileDownloader> downloader;
    std::unique_ptr<Progress> progress;
    QEventLoop loop;
    int exitCode = Console::Success;
    bool finished = false;
    bool refused = false;

    QSet<TileKey> stored; // in the region when the run began
    qint64 toFetch = 0;
    // The next tile of the region to look at, level by level, column by column.
    TileKey cursor;
    bool cursorDone = false;
    QMultiMap<qint64, TileKey> retries; // by the time they may be asked for again
    QHash<TileKey, int> attempts;
    QHash<TileKey, int> lastStatus;
    int outstanding = 0;
    Progress::Counts counts;
    QMap<QString, int> failures;
};

Seeder::Seeder(const Options &options, QObject *parent) : QObject(parent), d(new Private(options))
{ }

Seeder::~Seeder()
{
    if (d->downloader)
        d->downloader->setStore(nullptr);
}

QByteArray Seeder::userAgent(const QString &contact)
{
    QString agent = QStringLiteral("veltra-tiles/") + QStringLiteral(VELTRA_VERSION);
    if (!contact.isEmpty())
        agent += QStringLiteral(" (+%1)").arg(contact);
    return agent.toUtf8();
}

bool Seeder::Private::plan()
{
    const Region &region = options.region;
    QString error;
    const bool existed = QFileInfo::exists(options.output);
    const auto describe = [&] {
        if (PackageMetadata::apply(*store, options.metadata, {}, !existed, &error))
            return true;
        Console::err(error);
        exitCode = Console::Failure;
        return false;
    };
    if (existed) {
        store = Stores::open(options.output, false, &error);
        const bool read = store
            && store->forEachTile(region.minZoom(), region.maxZoom(), Tiles::Content::Keys,
                                  [this, &region](const TileKey &key, const QByteArray &) {
                                      if (region.contains(key))
                                          stored.insert(key);
                                      return true;
                                  });
        if (!read) {
            Console::err(store ? store->errorString() : error);
            exitCode = Console::Failure;
            return false;
        }
        if (!describe())
            return false;
    }
    const qint64 total = region.count();
    toFetch = total - stored.size();
    if (toFetch == 0) {
        Console::out(tr("All %1 tiles of the region are stored in %2 already.")
                         .arg(total)
                         .arg(options.output));
        return false;
    }
    if (toFetch > TileLimit && !options.yes) {
        Console::err(tr("%1 tiles to fetch, about %2: more than %3. Check the region and the "
                        "levels, then run again with --yes.")
                         .arg(toFetch)
                         .arg(Progress::bytes(toFetch * EstimatedTileBytes))
                         .arg(TileLimit));
        exitCode = Console::Refused;
        return false;
    }
    if (!store)
        store = Stores::open(options.output, true, &error);
    if (!store) {
        Console::err(error);
        exitCode = Console::Failure;
        return false;
    }
    if (!existed && !describe())
        return false;
    Console::out(tr("Fetching %1 tiles of levels %2-%3 into %4 (%5 stored already).")
                     .arg(QString::number(toFetch), QString::number(region.minZoom()),
                          QString::number(region.maxZoom()), options.output,
                          QString::number(stored.size())));
    cursor = TileKey(region.tiles(region.minZoom()).left(), region.tiles(region.minZoom()).top(),
                     region.minZoom());
    return true;
}

bool Seeder::Private::nextMissing(TileKey *key)
{
    const Region &region = options.region;
    while (!cursorDone) {
        const TileKey at = cursor;
        const QRect tiles = region.tiles(at.z);
        if (at.y < tiles.bottom()) {
            ++cursor.y;
        } else if (at.x < tiles.right()) {
            cursor = TileKey(at.x + 1, tiles.top(), at.z);
        } else if (at.z < region.maxZoom()) {
            const QRect next = region.tiles(at.z + 1);
            cursor = TileKey(next.left(), next.top(), at.z + 1);
        } else {
            cursorDone = true;
        }
        if (!stored.contains(at)) {
            *key = at;
            return true;
        }
    }
    return false;
}

void Seeder::Private::pump()
{
    while (outstanding < MaxInFlight && !refused) {
        const qint64 now = clock.now();
        const qint64 firstRetry = retries.isEmpty() ? std::numeric_limits<qint64>::max()
                                                    : retries.firstKey();
        if (cursorDone && retries.isEmpty())
            break;
        // A fresh tile may go as soon as the pacer allows, a retry once it is due too.
        const qint64 start = qMax(pacer.nextAllowed(), cursorDone ? firstRetry : 0);
        if (now < start) {
            clock.wakeAt(start);
            return;
        }
        TileKey key;
        if (firstRetry <= now)
            key = retries.take(firstRetry);
        else if (!nextMissing(&key))
            continue;
        send(key, now);
    }
    if (outstanding == 0 && ((cursorDone && retries.isEmpty()) || refused) && !finished)
        finish();
}

void Seeder::Private::send(const TileKey &key, qint64 now)
{
    const TileDownloader::Status status = downloader->want(key);
    if (status.state == TileDownloader::Failed) {
        giveUp(status.error, 0);
        return;
    }
    ++outstanding;
    pacer.sent(now);
}

void Seeder::Private::arrived(const TileKey &key)
{
    --outstanding;
    ++counts.done;
    attempts.remove(key);
    lastStatus.remove(key);
    progress->update(clock.now(), counts);
    pump();
}

void Seeder::Private::failed(const TileKey &key, int error)
{
    --outstanding;
    const int status = lastStatus.take(key);
    const qint64 retryAt = downloader->retryAt(key);
    if ((status == 429 || status == 503) && retryAt > pacer.pausedUntil()) {
        progress->note(tr("The server asks to wait (HTTP %1): pausing for %2.")
                           .arg(status)
                           .arg(Progress::duration(retryAt - clock.now())));
        pacer.pauseUntil(retryAt);
    }
    if (retryAt > 0 && ++attempts[key] < options.attempts) {
        retries.insert(retryAt, key);
    } else {
        attempts.remove(key);
        giveUp(error, status);
    }
    progress->update(clock.now(), counts);
    pump();
}

void Seeder::Private::giveUp(int error, int status)
{
    ++counts.failed;
    ++failures[cause(error, status)];
    // A wrong template or a server that turns the tool away: ten thousand requests
    // would not change that.
    if (counts.done == 0 && counts.failed == HopelessFailures) {
        refused = true;
        progress->note(
            tr("The first %1 tiles all failed: stopping. Check --url.").arg(HopelessFailures));
    }
}

QString Seeder::Private::cause(int error, int status) const
{
    if (status >= 300)
        return tr("HTTP %1").arg(status);
    switch (error) {
    case TileDownloader::BadBodyError:
        return tr("not a tile image");
    case TileDownloader::TimeoutError:
        return tr("timed out");
    case QNetworkReply::ConnectionRefusedError:
        return tr("connection refused");
    case QNetworkReply::RemoteHostClosedError:
        return tr("connection closed by the server");
    case QNetworkReply::HostNotFoundError:
        return tr("host not found");
    default:
        return tr("network error %1").arg(error);
    }
}

void Seeder::Private::finish()
{
    finished = true;
    const qint64 elapsed = clock.now();
    progress->finish(elapsed, counts);
    const bool flushed = store->flush();
    qint64 inRegion = 0;
    store->forEachTile(options.region.minZoom(), options.region.maxZoom(), Tiles::Content::Keys,
                       [&](const TileKey &key, const QByteArray &) {
                           inRegion += options.region.contains(key);
                           return true;
                       });
    const qint64 total = options.region.count();
    Console::out(tr("Stored %1 of %2 tiles; fetched %3 (%4) in %5.")
                     .arg(inRegion)
                     .arg(total)
                     .arg(counts.done)
                     .arg(Progress::bytes(counts.bytes))
                     .arg(Progress::duration(elapsed)));
    if (counts.failed)
        Console::out(tr("%1 tiles failed:").arg(counts.failed));
    for (auto it = failures.cbegin(); it != failures.cend(); ++it)
        Console::out(QStringLiteral("  %1  %2").arg(it.value(), 6).arg(it.key()));
    const qint64 lost = counts.done - (inRegion - stored.size());
    if (!flushed || lost > 0)
        Console::err(
            tr("%1 fetched tiles were not stored: %2").arg(lost).arg(store->errorString()));
    exitCode = inRegion == total || options.acceptFailures ? Console::Success : Console::Failure;
    loop.quit();
}

int Seeder::run()
{
    if (!d->plan())
        return d->exitCode;
    d->progress.reset(new Progress(d->options.progress, d->toFetch, d->options.progressIntervalMs));
    d->downloader.reset(new TileDownloader);
    TileDownloader *downloader = d->downloader.get();
    downloader->setMaxInFlight(MaxInFlight);
    downloader->setUserAgent(userAgent(d->options.contact));
    downloader->setClock([this] { return d->clock.now(); });
    // The tiles are stored, not shown: decoding each would cost more than fetching it.
    downloader->setBodyCheck(WholeImage::check);
    downloader->setUrlTemplate(d->options.urlTemplate);
    downloader->setStore(d->store.get());
    connect(downloader, &TileDownloader::replyFinished, this,
            [this](const TileKey &key, int status, qint64 bytes) {
                d->lastStatus.insert(key, status);
                d->counts.bytes += bytes;
            });
    connect(downloader, &TileDownloader::tileArrived, this,
            [this](const TileKey &key) { d->arrived(key); });
    connect(downloader, &TileDownloader::tileFailed, this,
            [this](const TileKey &key, int error) { d->failed(key, error); });
    connect(&d->clock, &RunClock::woke, this, [this] { d->pump(); });
    d->clock.wakeAt(0);
    d->loop.exec();
    return d->exitCode;
}

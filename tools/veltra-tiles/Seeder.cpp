#include "Seeder.h"

#include "Console.h"
#include "Pacer.h"
#include "RunClock.h"
#include "StopSignals.h"
#include "Stores.h"
#include "TileDownloader.h"
#include "TileKeySet.h"
#include "TileUrlTemplate.h"
#include "WholeImage.h"

#include <QtCore/QDateTime>
#include <QtCore/QEventLoop>
#include <QtCore/QFileInfo>
#include <QtCore/QMap>
#include <QtCore/QMultiMap>
#include <QtCore/QSaveFile>
#include <QtCore/QSet>
#include <QtCore/QTimer>
#include <QtCore/QUrl>
#include <QtCore/QVector>

#include <csignal>
#include <limits>

struct Seeder::Private
{
    Q_DECLARE_TR_FUNCTIONS(Seeder)

public:
    explicit Private(const Options &options)
        : options(options), urlTemplate(options.urlTemplate), clock(options.simulatedClock),
          pacer(options.rate)
    { }

    bool plan();
    void dryRun(qint64 total);
    bool nextMissing(TileKey *key);
    void findStale(const QVector<TileKey> &keys);
    bool nextToAsk(TileKey *key);
    void confirmed(const TileKey &key, bool changed, bool stored);
    void pump();
    void send(const TileKey &key, qint64 now);
    void arrived(const TileKey &key);
    void failed(const TileKey &key, int error);
    void giveUp(const TileKey &key, int error, int status);
    QString cause(int error, int status) const;
    QString unreachable(const TileKey &key, int error) const;
    void stop(int signo);
    void endFlights();
    bool writeFailedList();
    void finish();

    Options options;
    TileUrlTemplate urlTemplate;
    RunClock clock;
    Pacer pacer;
    std::unique_ptr<Tiles> store;
    std::unique_ptr<TileDownloader> downloader;
    std::unique_ptr<Progress> progress;
    QEventLoop loop;
    QTimer grace;
    int exitCode = Console::Success;
    bool finished = false;
    bool refused = false;
    int stopSignal = 0;
    QString fatal; // why the run cannot go on

    TileKeySet stored; // in the region when the run began
    qint64 toFetch = 0;
    // The next tile of the region to look at, level by level, column by column.
    TileKey cursor;
    bool cursorDone = false;
    QMultiMap<qint64, TileKey> retries; // by the time they may be asked for again
    QHash<TileKey, int> attempts;
    QHash<TileKey, int> lastStatus;
    int outstanding = 0;
    // Stored tiles to revalidate, and those being revalidated.
    QVector<TileKey> stale;
    int nextStale = 0;
    QSet<TileKey> refreshing;
    qint64 unchanged = 0;
    qint64 replaced = 0;
    qint64 refreshFailed = 0;
    qint64 notStored = 0;
    Progress::Counts counts;
    QMap<QString, int> failures;
    QVector<QPair<TileKey, QString>> failedTiles;
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
    const bool refresh = options.refreshOlderThanSecs >= 0;
    QVector<TileKey> storedKeys;
    if (existed) {
        store = Stores::open(options.output, false, &error);
        // From the store's side: the region itself may hold more tiles than any store.
        const bool read = store
            && store->forEachTile(region.minZoom(), region.maxZoom(), Tiles::Content::Keys,
                                  [&](const TileKey &key, const QByteArray &) {
                                      if (region.contains(key)) {
                                          stored.insert(key);
                                          if (refresh)
                                              storedKeys.append(key);
                                      }
                                      return !StopSignals::caught();
                                  });
        if (const int signo = StopSignals::caught()) {
            exitCode = Console::stoppedBy(signo);
            return false;
        }
        if (!read) {
            Console::err(store ? store->errorString() : error);
            exitCode = Console::Failure;
            return false;
        }
    }
    stored.seal();
    if (refresh)
        findStale(storedKeys);
    const qint64 total = region.count();
    toFetch = total - stored.size() + stale.size();
    if (options.dryRun) {
        dryRun(total);
        return false;
    }
    if (toFetch == 0) {
        Console::out(tr("All %1 tiles of the region are stored in %2 already.")
                         .arg(total)
                         .arg(options.output));
        if (refresh)
            Console::out(tr("None of them is older than %1.")
                             .arg(Progress::duration(options.refreshOlderThanSecs * 1000)));
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
    if (!store->isWritable()) {
        Console::err(
            tr("tile store \"%1\" takes no tiles: %2").arg(options.output, store->errorString()));
        exitCode = Console::Failure;
        return false;
    }
    if (!describe())
        return false;
    Console::out(tr("Fetching %1 tiles of levels %2-%3 into %4 (%5 stored already).")
                     .arg(QString::number(toFetch - stale.size()),
                          QString::number(region.minZoom()), QString::number(region.maxZoom()),
                          options.output, QString::number(stored.size())));
    if (refresh)
        Console::out(tr("Revalidating %1 stored tiles older than %2.")
                         .arg(stale.size())
                         .arg(Progress::duration(options.refreshOlderThanSecs * 1000)));
    cursor = TileKey(region.tiles(region.minZoom()).left(), region.tiles(region.minZoom()).top(),
                     region.minZoom());
    return true;
}

void Seeder::Private::dryRun(qint64 total)
{
    const Region &region = options.region;
    Console::out(tr("The region has %1 tiles at levels %2-%3, %4 of them stored in %5.")
                     .arg(QString::number(total), QString::number(region.minZoom()),
                          QString::number(region.maxZoom()), QString::number(stored.size()),
                          options.output));
    Console::out(tr("To fetch: %1 tiles, about %2.")
                     .arg(toFetch)
                     .arg(Progress::bytes(toFetch * EstimatedTileBytes)));
    if (toFetch > TileLimit && !options.yes)
        Console::out(tr("More than %1: the run needs --yes.").arg(TileLimit));
}

// Stale as the view judges it: older than the limit, or than the longer lifetime the
// server gave; a tile whose age the store does not know counts as old.
void Seeder::Private::findStale(const QVector<TileKey> &keys)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (const TileKey &key : keys) {
        Tiles::ReadResult result;
        const Tiles::Freshness record = store->freshness(key, &result);
        if (result == Tiles::ReadResult::Busy)
            continue;
        const qint64 fetched = record.fetched.isValid() ? record.fetched.toSecsSinceEpoch() : 0;
        // A time to come tells no age, as in the view.
        const qint64 age = fetched > 0 && fetched <= now ? now - fetched
                                                         : std::numeric_limits<qint64>::max();
        if (age > qMax(options.refreshOlderThanSecs, record.lifetime))
            stale.append(key);
    }
}

// The missing tiles first, then the stale ones.
bool Seeder::Private::nextToAsk(TileKey *key)
{
    if (nextMissing(key))
        return true;
    if (nextStale >= stale.size())
        return false;
    *key = stale.at(nextStale++);
    refreshing.insert(*key);
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
    while (outstanding < MaxInFlight && !refused && !stopSignal) {
        const qint64 now = clock.now();
        const qint64 firstRetry = retries.isEmpty() ? std::numeric_limits<qint64>::max()
                                                    : retries.firstKey();
        const bool allAsked = cursorDone && nextStale >= stale.size();
        if (allAsked && retries.isEmpty())
            break;
        // A fresh tile may go as soon as the pacer allows, a retry once it is due too.
        const qint64 start = qMax(pacer.nextAllowed(), allAsked ? firstRetry : 0);
        if (now < start) {
            clock.wakeAt(start);
            return;
        }
        TileKey key;
        if (firstRetry <= now)
            key = retries.take(firstRetry);
        else if (!nextToAsk(&key))
            continue;
        send(key, now);
    }
    const bool over = (cursorDone && nextStale >= stale.size() && retries.isEmpty()) || refused
        || stopSignal;
    if (outstanding == 0 && over && !finished)
        finish();
}

void Seeder::Private::send(const TileKey &key, qint64 now)
{
    if (refreshing.contains(key)) {
        if (!downloader->revalidate(key)) {
            // Its server backs off: asked once it may be.
            retries.insert(qMax(now + 1, downloader->serverWaitUntil(key)), key);
            return;
        }
        ++outstanding;
        pacer.sent(now);
        return;
    }
    const TileDownloader::Status status = downloader->want(key);
    if (status.state == TileDownloader::Failed) {
        giveUp(key, status.error, 0);
        return;
    }
    ++outstanding;
    pacer.sent(now);
}

void Seeder::Private::confirmed(const TileKey &key, bool changed, bool stored)
{
    notStored += !stored;
    if (changed)
        return; // arrived() follows
    --outstanding;
    ++counts.done;
    ++unchanged;
    refreshing.remove(key);
    attempts.remove(key);
    lastStatus.remove(key);
    progress->update(clock.now(), counts);
    pump();
}

void Seeder::Private::arrived(const TileKey &key)
{
    --outstanding;
    ++counts.done;
    if (refreshing.remove(key))
        ++replaced;
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
    // Waiting minutes for a server that is not there helps no one, unless it was there a
    // moment ago.
    if (counts.done == 0 && fatal.isEmpty()) {
        fatal = unreachable(key, error);
        refused = refused || !fatal.isEmpty();
    }
    if ((status == 429 || status == 503) && retryAt > pacer.pausedUntil() && !refused
        && !stopSignal) {
        progress->note(tr("The server asks to wait (HTTP %1): pausing for %2.")
                           .arg(status)
                           .arg(Progress::duration(retryAt - clock.now())));
        pacer.pauseUntil(retryAt);
    }
    if (retryAt > 0 && ++attempts[key] < options.attempts && !refused && !stopSignal) {
        retries.insert(retryAt, key);
    } else if (refreshing.remove(key)) {
        attempts.remove(key);
        ++refreshFailed;
        failedTiles.append(qMakePair(key, cause(error, status)));
    } else {
        attempts.remove(key);
        giveUp(key, error, status);
    }
    if (!refused)
        progress->update(clock.now(), counts);
    pump();
}

void Seeder::Private::giveUp(const TileKey &key, int error, int status)
{
    const QString why = cause(error, status);
    ++counts.failed;
    ++failures[why];
    failedTiles.append(qMakePair(key, why));
    // A wrong template or a server that turns the tool away: ten thousand requests
    // would not change that.
    if (counts.done == 0 && counts.failed == HopelessFailures && !refused) {
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

QString Seeder::Private::unreachable(const TileKey &key, int error) const
{
    const QUrl url(urlTemplate.fill(key));
    if (error == QNetworkReply::HostNotFoundError)
        return tr("host %1 not found").arg(url.host());
    if (error == QNetworkReply::ConnectionRefusedError)
        return tr("connection refused by %1:%2")
            .arg(url.host())
            .arg(url.port(url.scheme() == QLatin1String("https") ? 443 : 80));
    return QString();
}

void Seeder::Private::stop(int signo)
{
    if (finished)
        return;
    // A second signal does not wait for the tiles on their way.
    if (stopSignal || outstanding == 0) {
        stopSignal = stopSignal ? stopSignal : signo;
        endFlights();
        return;
    }
    stopSignal = signo;
    progress->note(tr("Stopping: waiting up to %1 s for the %2 tiles on their way.")
                       .arg(StopGraceMs / 1000)
                       .arg(outstanding));
    grace.start(StopGraceMs);
}

void Seeder::Private::endFlights()
{
    downloader->cancelAll();
    outstanding = 0;
    pump();
}

bool Seeder::Private::writeFailedList()
{
    QSaveFile file(options.failedList);
    if (file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        for (const auto &tile : qAsConst(failedTiles))
            file.write(QStringLiteral("%1/%2/%3 %4\n")
                           .arg(QString::number(tile.first.z), QString::number(tile.first.x),
                                QString::number(tile.first.y), tile.second)
                           .toUtf8());
        if (file.commit())
            return true;
    }
    Console::err(tr("cannot write the list of failed tiles to \"%1\": %2")
                     .arg(options.failedList, file.errorString()));
    return false;
}

void Seeder::Private::finish()
{
    finished = true;
    grace.stop();
    const qint64 elapsed = clock.now();
    progress->finish(elapsed, counts);
    const bool flushed = store->flush();
    const qint64 confirmed = store->writtenCount();
    const qint64 written = confirmed >= 0 ? confirmed : flushed ? counts.done : 0;
    // Replaced tiles are written again, unchanged ones are not.
    const qint64 lost = counts.done - unchanged - notStored - written;
    const qint64 inRegion = stored.size() + written - replaced;
    const qint64 total = options.region.count();
    Console::out(tr("Stored %1 of %2 tiles; fetched %3 (%4) in %5.")
                     .arg(inRegion)
                     .arg(total)
                     .arg(counts.done)
                     .arg(Progress::bytes(counts.bytes))
                     .arg(Progress::duration(elapsed)));
    if (options.refreshOlderThanSecs >= 0)
        Console::out(tr("Revalidated %1 stored tiles: %2 unchanged (304), %3 replaced, %4 failed.")
                         .arg(stale.size())
                         .arg(unchanged)
                         .arg(replaced)
                         .arg(refreshFailed));
    if (notStored)
        Console::out(
            tr("%1 tiles the server forbids storing (no-store) were not stored.").arg(notStored));
    if (counts.failed)
        Console::out(tr("%1 tiles failed:").arg(counts.failed));
    for (auto it = failures.cbegin(); it != failures.cend(); ++it)
        Console::out(QStringLiteral("  %1  %2").arg(it.value(), 6).arg(it.key()));
    const bool listed = options.failedList.isEmpty() || writeFailedList();
    if (lost > 0)
        Console::err(tr("%1 fetched tiles were not stored: %2")
                         .arg(lost)
                         .arg(store->errorString().isEmpty() ? tr("the store refused them")
                                                             : store->errorString()));
    if (!fatal.isEmpty())
        Console::err(fatal);
    if (stopSignal) {
        Console::out(
            tr("Interrupted (%1): run the same command again to continue.")
                .arg(stopSignal == SIGINT ? QStringLiteral("SIGINT") : QStringLiteral("SIGTERM")));
        exitCode = Console::stoppedBy(stopSignal);
    } else if (lost > 0 || !flushed || !listed || !fatal.isEmpty() || refreshFailed > 0) {
        exitCode = Console::Failure;
    } else {
        exitCode = inRegion == total || options.acceptFailures ? Console::Success
                                                               : Console::Failure;
    }
    loop.quit();
}

int Seeder::run()
{
    StopSignals stopSignals;
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
    downloader->setHttpCaching(true);
    connect(downloader, &TileDownloader::replyFinished, this,
            [this](const TileKey &key, int status, qint64 bytes) {
                d->lastStatus.insert(key, status);
                d->counts.bytes += bytes;
            });
    connect(downloader, &TileDownloader::tileArrived, this,
            [this](const TileKey &key) { d->arrived(key); });
    connect(downloader, &TileDownloader::tileFailed, this,
            [this](const TileKey &key, int error) { d->failed(key, error); });
    connect(downloader, &TileDownloader::revalidationFailed, this,
            [this](const TileKey &key, int error) { d->failed(key, error); });
    connect(downloader, &TileDownloader::tileFresh, this,
            [this](const TileKey &key, qint64, bool changed, bool stored) {
                d->confirmed(key, changed, stored);
            });
    connect(&d->clock, &RunClock::woke, this, [this] { d->pump(); });
    d->grace.setSingleShot(true);
    connect(&d->grace, &QTimer::timeout, this, [this] { d->endFlights(); });
    connect(&stopSignals, &StopSignals::received, this, [this](int signo) { d->stop(signo); });
    if (const int signo = StopSignals::caught())
        d->stop(signo);
    d->clock.wakeAt(0);
    if (!d->finished)
        d->loop.exec();
    return d->exitCode;
}

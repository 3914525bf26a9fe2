#include "TileDownloader.h"

#include "TileImage.h"
#include "TileUrlTemplate.h"
#include "Tiles.h"
#include "VeltraLogging.h"

#include <QtCore/QDateTime>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QDebug>
#include <QtCore/QElapsedTimer>
#include <QtCore/QLocale>
#include <QtCore/QSet>
#include <QtCore/QTimer>
#include <QtCore/QVector>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkRequest>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// Not QDateTime's own: a pointer to a noexcept function would add its type to the
// library's exports.
qint64 wallMsecs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

constexpr auto LevelAttribute = QNetworkRequest::Attribute(QNetworkRequest::User + 1);
constexpr auto ColumnAttribute = QNetworkRequest::Attribute(QNetworkRequest::User + 2);
constexpr auto RowAttribute = QNetworkRequest::Attribute(QNetworkRequest::User + 3);

// A tile is a few dozen kilobytes; anything near this is not a tile.
constexpr qint64 MaxBodyBytes = 8 * 1024 * 1024;
// Qt's network thread hands over at most this much before the body is read here.
constexpr qint64 ReadChunkBytes = 1024 * 1024;
constexpr int FirstRetryMs = 10 * 1000;
constexpr int MaxBackoffMs = 10 * 60 * 1000;
// A proxy's error page usually goes away, but a server that sends one for a tile may well
// send it again: such a tile is asked for rarely.
constexpr qint64 BadBodyFirstRetryMs = 5 * 60 * 1000;
constexpr qint64 BadBodyMaxBackoffMs = 60 * 60 * 1000;
constexpr qint64 MaxRetryAfterSecs = 60 * 60;
constexpr int MaxRedirects = 5;
// Failure marks are kept for the tiles a pan or a zoom might bring back soon: those of
// the view's level and the two levels either side whose place lies within one view of
// the view on every side (3 x 3 views). Beyond that a mark saves at most one request,
// so at most MaxMarks are kept, the nearest first: a few hundred KiB however long the
// view is panned over a failing server. Without a view the oldest go first.
constexpr int MaxMarks = 4096;
constexpr int MarkLevelsKept = 2;
// Servers that asked for a pause; a template with a marker in its host may reach many.
constexpr int MaxPausedServers = 64;

qint64 monotonicMsecs()
{
    return QDeadlineTimer::current().deadline();
}

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

bool succeeded(const QNetworkReply *reply)
{
    return httpStatus(reply) / 100 == 2;
}

// Tiles are compressed already, and an encoded body would have to be inflated without
// a bound before its size could be checked.
bool contentEncoded(const QNetworkReply *reply)
{
    const QByteArray encoding = reply->rawHeader("Content-Encoding").trimmed().toLower();
    return !encoding.isEmpty() && encoding != "identity";
}

// Failures that go away by themselves: outages, overload, timeouts.
bool isTransient(int error, int status)
{
    switch (status) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
        return true;
    }
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError: // among others, an unreachable network
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
        return true;
    default:
        return false;
    }
}

QDateTime httpDate(const QByteArray &text)
{
    const QString value = QString::fromLatin1(text).simplified();
    for (const char *format : {"ddd, dd MMM yyyy hh:mm:ss 'GMT'", "dddd, dd-MMM-yy hh:mm:ss 'GMT'",
                               "ddd MMM d hh:mm:ss yyyy"}) {
        QDateTime at = QLocale::c().toDateTime(value, QLatin1String(format));
        if (at.isValid()) {
            at.setTimeSpec(Qt::UTC);
            return at;
        }
    }
    return QDateTime();
}

// What a Retry-After header asks to wait, in seconds or until a date, at most an hour.
qint64 retryAfterMs(const QNetworkReply *reply)
{
    const QByteArray value = reply->rawHeader("Retry-After").trimmed();
    if (value.isEmpty())
        return 0;
    bool isNumber = false;
    qint64 seconds = value.toLongLong(&isNumber);
    if (!isNumber) {
        if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            seconds = MaxRetryAfterSecs; // beyond qint64
        } else {
            const QDateTime at = httpDate(value);
            if (!at.isValid())
                return 0;
            // The server's own clock, where it tells it, so that a skewed one does not
            // stretch or cut the wait.
            QDateTime now = httpDate(reply->rawHeader("Date"));
            if (!now.isValid())
                now = QDateTime::currentDateTimeUtc();
            seconds = now.secsTo(at);
        }
    }
    return qBound<qint64>(0, seconds, MaxRetryAfterSecs) * 1000;
}

QByteArray httpDateText(const QDateTime &at)
{
    return QLocale::c()
        .toString(at.toUTC(), QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
        .toLatin1();
}

constexpr qint64 MaxLifetimeSecs = Tiles::Freshness::MaxLifetimeSecs;
constexpr int MaxValidatorBytes = 1024;

// A validator goes back in a header of its own: a control character in it could end that
// header and start another, whether a server sent it or another program stored it.
bool isHeaderValue(const QByteArray &value)
{
    return std::none_of(value.begin(), value.end(), [](char c) {
        const auto byte = uchar(c);
        return (byte < 0x20 && byte != '\t') || byte == 0x7f;
    });
}

qint64 seconds(const QByteArray &text)
{
    bool ok = false;
    const qint64 n = text.trimmed().toLongLong(&ok);
    if (ok)
        return qBound(qint64(0), n, MaxLifetimeSecs);
    const QByteArray digits = text.trimmed();
    const bool huge = !digits.isEmpty()
        && std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
    return huge ? MaxLifetimeSecs : -1;
}

// What a response says of the tile it carries: how long it stays fresh, its validators,
// and whether it may be stored at all.
struct HttpFreshness
{
    bool noStore = false;
    // Whether the response says anything of the lifetime.
    bool saysLifetime = false;
    qint64 lifetime = -1;
    QByteArray etag;
    QByteArray lastModified;

    explicit HttpFreshness(const QNetworkReply *reply)
    {
        qint64 maxAge = -1;
        bool noCache = false;
        const QList<QByteArray> directives = reply->rawHeader("Cache-Control").toLower().split(',');
        for (const QByteArray &raw : directives) {
            const QByteArray directive = raw.trimmed();
            if (directive == "no-store")
                noStore = true;
            else if (directive == "no-cache")
                noCache = true;
            else if (directive.startsWith("max-age="))
                maxAge = seconds(directive.mid(8));
        }
        const qint64 age = qMax(qint64(0), seconds(reply->rawHeader("Age")));
        const QByteArray expires = reply->rawHeader("Expires");
        if (noCache) {
            lifetime = 0;
        } else if (maxAge >= 0) {
            lifetime = qMax(qint64(0), maxAge - age);
        } else if (reply->hasRawHeader("Expires")) {
            // A date that cannot be read means already expired.
            const QDateTime until = httpDate(expires);
            QDateTime date = httpDate(reply->rawHeader("Date"));
            if (!date.isValid())
                date = QDateTime::currentDateTimeUtc();
            lifetime = until.isValid()
                ? qBound(qint64(0), date.secsTo(until) - age, MaxLifetimeSecs)
                : 0;
        }
        saysLifetime = lifetime >= 0;
        etag = reply->rawHeader("ETag").trimmed();
        if (etag.size() > MaxValidatorBytes || !isHeaderValue(etag))
            etag.clear();
        lastModified = reply->rawHeader("Last-Modified").trimmed();
        if (lastModified.size() > 64 || !isHeaderValue(lastModified)
            || !httpDate(lastModified).isValid())
            lastModified.clear();
    }
};

} // namespace

struct TileDownloader::Private
{
    struct Mark
    {
        int error = 0;
        int failures = 0;
        bool permanent = false;
        bool badBody = false;
        qint64 failedAt = 0;
        qint64 retryAt = 0;
        qint64 notBefore = 0; // what the server's Retry-After asked for
        bool revalidation = false;
    };
    struct Flight
    {
        QNetworkReply *reply = nullptr;
        QByteArray body;
        int error = 0; // why this side aborted it
        QUrl at;       // where it is now, after any redirects
        QElapsedTimer sent;
        bool headCame = false;
        bool judging = false; // a whole slow-body period has begun since the head came
        qint64 bytesThisPeriod = 0;
        bool revalidation = false;
        Tiles::Freshness validators; // what the conditional request was made from
    };

    explicit Private(TileDownloader *q) : q(q) { }

    bool canSend() const { return urlTemplate.isUsable() && store; }
    bool inView(const TileKey &key) const
    {
        return viewKnown && key.z == viewZ && viewWindow.contains(key.x, key.y);
    }
    bool waiting(const TileKey &key) const
    {
        return queued.contains(key) || refreshQueued.contains(key) || inFlight.contains(key);
    }
    void enqueue(const TileKey &key);
    void sortByDistance(QVector<TileKey> &keys) const;
    void sendQueued();
    void send(const TileKey &key, bool revalidation = false);
    void confirmed(const TileKey &key, QNetworkReply *reply, const Tiles::Freshness &old);
    Tiles::Freshness recordOf(const HttpFreshness &said) const;
    qint64 backingOffUntil(const TileKey &key, qint64 now) const;
    void dropRevalidationsWhileBackingOff();
    void abortWith(const TileKey &key, QNetworkReply *reply, int error);
    static void abortOnce(QNetworkReply *reply);
    void takeBody(const TileKey &key, QNetworkReply *reply);
    void checkProgress(const TileKey &key, QNetworkReply *reply);
    void checkRedirect(const TileKey &key, QNetworkReply *reply, const QUrl &to);
    void markFailed(const TileKey &key, int error, bool badBody, int status, qint64 serverWait);
    void serverIsBack(const TileKey &arrived);
    void pauseServer(const QString &server, qint64 until);
    // When the server of the tile ends its pause; 0 when it is not paused.
    qint64 pausedUntilFor(const TileKey &key, qint64 now) const;
    void wake();
    void scheduleWake();
    void wakeBy(qint64 at);
    void pruneMarks(bool toCount);

    TileDownloader *q;
    QNetworkAccessManager *network = nullptr;
    TileUrlTemplate urlTemplate;
    Tiles *store = nullptr;
    QByteArray userAgent = QByteArrayLiteral("VeltraCenter 2.1");
    int maxInFlight = 6;
    int transferTimeout = 30 * 1000;
    int deadline = 60 * 1000;
    int slowBodyBytes = 2048;
    int slowBodyMs = 5000;
    int firstRetryMs = FirstRetryMs;
    int maxBackoffMs = MaxBackoffMs;
    bool dumpServerExchange = false;
    bool httpCaching = false;
    std::function<qint64()> clock = monotonicMsecs;
    std::function<qint64()> wallClock = wallMsecs;
    std::function<bool(const QByteArray &)> bodyCheck;

    QHash<TileKey, Mark> marks;
    QVector<TileKey> queue;
    QSet<TileKey> queued;
    QHash<TileKey, Flight> inFlight;
    QHash<QString, qint64> pausedUntil; // by server, on the clock
    // By server, on the clock: the end of the wait of its latest transient failure, until
    // a tile comes from it. Revalidations do not add to the load of a failing server.
    QHash<QString, qint64> failingUntil;
    // Stale stored tiles, sent once no missing tile is queued.
    QVector<TileKey> refreshQueue;
    QSet<TileKey> refreshQueued;
    bool viewKnown = false;
    int viewZ = 0;
    QRect viewWindow;
    QPointF viewCentre;
    bool queueSorted = true; // nearest the view's centre first
    QTimer sendTimer;
    // Single shot, at the earliest end of a wait that something is held for; stopped when
    // nothing is.
    QTimer wakeTimer;
    qint64 wakeAt = 0;
};

TileDownloader::TileDownloader(QObject *parent) : QObject(parent), d(new Private(this))
{
    qRegisterMetaType<TileKey>();
    d->network = new QNetworkAccessManager(this);
    connect(d->network, &QNetworkAccessManager::finished, this, &TileDownloader::handleReply);
    d->sendTimer.setSingleShot(true);
    d->sendTimer.setInterval(0);
    connect(&d->sendTimer, &QTimer::timeout, this, [this] { d->sendQueued(); });
    d->wakeTimer.setSingleShot(true);
    connect(&d->wakeTimer, &QTimer::timeout, this, [this] { d->wake(); });
}

TileDownloader::~TileDownloader()
{
    // The replies die with their manager; none of them may come back here meanwhile.
    d->network->disconnect(this);
    d->inFlight.clear();
    delete d->network;
}

QNetworkAccessManager *TileDownloader::network() const
{
    return d->network;
}

bool TileDownloader::setUrlTemplate(const QString &urlTemplate)
{
    if (urlTemplate == d->urlTemplate.text())
        return d->urlTemplate.isUsable();
    cancelAll();
    clearMarks();
    d->urlTemplate = TileUrlTemplate(urlTemplate);
    if (!d->urlTemplate.problem().isEmpty())
        qCWarning(lcDownload).noquote()
            << QStringLiteral("cannot use tile server URL template \"%1\": %2")
                   .arg(urlTemplate, d->urlTemplate.problem());
    return d->urlTemplate.isUsable();
}

QString TileDownloader::urlTemplate() const
{
    return d->urlTemplate.text();
}

void TileDownloader::setStore(Tiles *store)
{
    cancelAll();
    clearMarks();
    d->store = store;
}

void TileDownloader::setUserAgent(const QByteArray &value)
{
    d->userAgent = value;
}

QByteArray TileDownloader::userAgent() const
{
    return d->userAgent;
}

void TileDownloader::setMaxInFlight(int n)
{
    d->maxInFlight = qMax(1, n);
    d->sendTimer.start();
}

int TileDownloader::maxInFlight() const
{
    return d->maxInFlight;
}

void TileDownloader::setDumpServerExchange(bool on)
{
    d->dumpServerExchange = on;
}

bool TileDownloader::dumpServerExchange() const
{
    return d->dumpServerExchange;
}

void TileDownloader::setTransferTimeout(int msecs)
{
    d->transferTimeout = qMax(1, msecs);
}

void TileDownloader::setDeadline(int msecs)
{
    d->deadline = qMax(1, msecs);
}

void TileDownloader::setSlowBodyLimit(int bytes, int msecs)
{
    d->slowBodyBytes = qMax(1, bytes);
    d->slowBodyMs = qMax(1, msecs);
}

void TileDownloader::setBackoff(int firstMsecs, int maxMsecs)
{
    d->firstRetryMs = qMax(1, firstMsecs);
    d->maxBackoffMs = qMax(d->firstRetryMs, maxMsecs);
}

void TileDownloader::setClock(std::function<qint64()> msecsNow)
{
    d->clock = msecsNow ? std::move(msecsNow) : monotonicMsecs;
}

void TileDownloader::setHttpCaching(bool on)
{
    d->httpCaching = on;
    if (!on) {
        d->refreshQueue.clear();
        d->refreshQueued.clear();
    }
}

bool TileDownloader::httpCaching() const
{
    return d->httpCaching;
}

void TileDownloader::setWallClock(std::function<qint64()> msecsSinceEpoch)
{
    d->wallClock = msecsSinceEpoch ? std::move(msecsSinceEpoch)
                                   : std::function<qint64()>(wallMsecs);
}

bool TileDownloader::revalidate(const TileKey &key)
{
    if (!d->httpCaching || !d->canSend() || !key.isOnGrid() || d->waiting(key))
        return false;
    const qint64 now = d->clock();
    const auto mark = d->marks.constFind(key);
    if (mark != d->marks.constEnd() && (mark->permanent || now < mark->retryAt))
        return false;
    if (d->backingOffUntil(key, now))
        return false;
    d->refreshQueue.append(key);
    d->refreshQueued.insert(key);
    d->queueSorted = false;
    if (d->inFlight.size() < d->maxInFlight)
        d->sendTimer.start();
    return true;
}

qint64 TileDownloader::serverWaitUntil(const TileKey &key) const
{
    return d->backingOffUntil(key, d->clock());
}

void TileDownloader::Private::dropRevalidationsWhileBackingOff()
{
    const qint64 now = clock();
    const auto held = [&](const TileKey &key) {
        if (!backingOffUntil(key, now))
            return false;
        refreshQueued.remove(key);
        return true;
    };
    refreshQueue.erase(std::remove_if(refreshQueue.begin(), refreshQueue.end(), held),
                       refreshQueue.end());
}

qint64 TileDownloader::Private::backingOffUntil(const TileKey &key, qint64 now) const
{
    qint64 until = pausedUntilFor(key, now);
    if (!failingUntil.isEmpty()) {
        const qint64 failing = failingUntil.value(urlTemplate.server(key));
        if (failing > now)
            until = qMax(until, failing);
    }
    return until;
}

void TileDownloader::setBodyCheck(std::function<bool(const QByteArray &)> isTile)
{
    d->bodyCheck = std::move(isTile);
}

TileDownloader::Status TileDownloader::want(const TileKey &key)
{
    if (!key.isOnGrid())
        return {Failed, OffGridError};
    if (!d->urlTemplate.isUsable() || !d->store)
        return {NotRequested, 0};
    const auto mark = d->marks.constFind(key);
    if (mark != d->marks.constEnd() && (mark->permanent || d->clock() < mark->retryAt))
        return {Failed, mark->error};
    if (!d->waiting(key)) {
        d->enqueue(key);
        if (d->inFlight.size() < d->maxInFlight)
            d->sendTimer.start();
    }
    return {Requested, 0};
}

void TileDownloader::setView(int z, const QRect &window, const QPointF &centre)
{
    const bool known = std::isfinite(centre.x()) && std::isfinite(centre.y()) && window.isValid();
    const bool moved = known != d->viewKnown || z != d->viewZ || window != d->viewWindow;
    d->viewKnown = known;
    d->viewZ = z;
    d->viewWindow = window;
    if (centre != d->viewCentre)
        d->queueSorted = false;
    d->viewCentre = centre;
    const auto stale = [&](const TileKey &key) {
        if (key.z == z && window.contains(key.x, key.y))
            return false;
        d->queued.remove(key);
        d->refreshQueued.remove(key);
        return true;
    };
    d->queue.erase(std::remove_if(d->queue.begin(), d->queue.end(), stale), d->queue.end());
    d->refreshQueue.erase(std::remove_if(d->refreshQueue.begin(), d->refreshQueue.end(), stale),
                          d->refreshQueue.end());
    d->sendQueued();
    if (moved) {
        d->pruneMarks(false);
        d->scheduleWake();
    }
}

void TileDownloader::cancelAll()
{
    d->queue.clear();
    d->queued.clear();
    d->refreshQueue.clear();
    d->refreshQueued.clear();
    d->viewKnown = false;
    d->wakeTimer.stop();
    const QHash<TileKey, Private::Flight> flights = std::exchange(d->inFlight, {});
    // No longer tracked, so handleReply drops any that still finish. Deleting a reply
    // ends its request; aborting one whose failure is already on its way to this thread
    // would make Qt report a second failure.
    for (const Private::Flight &flight : flights)
        flight.reply->deleteLater();
}

void TileDownloader::clearMarks()
{
    d->marks.clear();
    d->failingUntil.clear();
    d->scheduleWake();
}

int TileDownloader::queuedCount() const
{
    return d->queue.size() + d->refreshQueue.size();
}

int TileDownloader::inFlightCount() const
{
    return d->inFlight.size();
}

int TileDownloader::markCount() const
{
    return d->marks.size();
}

qint64 TileDownloader::retryAt(const TileKey &key) const
{
    const auto mark = d->marks.constFind(key);
    if (mark == d->marks.constEnd())
        return 0;
    return mark->permanent ? -1 : mark->retryAt;
}

void TileDownloader::handleReply(QNetworkReply *reply)
{
    if (!reply || reply->manager() != d->network)
        return;
    reply->deleteLater();
    const QNetworkRequest request = reply->request();
    const TileKey key(request.attribute(ColumnAttribute).toInt(),
                      request.attribute(RowAttribute).toInt(),
                      request.attribute(LevelAttribute).toInt());
    const auto flight = d->inFlight.find(key);
    if (flight == d->inFlight.end() || flight->reply != reply)
        return;
    if (d->dumpServerExchange)
        qCDebug(lcDownload) << "tile server reply" << request.url();

    int error = flight->error ? flight->error : int(reply->error());
    // Only Qt's inactivity timeout cancels a reply that is still tracked.
    if (error == QNetworkReply::OperationCanceledError)
        error = TimeoutError;
    if (error == QNetworkReply::NoError) {
        d->takeBody(key, reply);
        error = flight->error;
    }
    // Qt reports some statuses with the same code: only this side judges bodies.
    bool badBody = flight->error == BadBodyError;
    const QByteArray body = std::move(flight->body);
    const bool revalidation = flight->revalidation;
    const Tiles::Freshness validators = flight->validators;
    d->inFlight.erase(flight);
    const int status = httpStatus(reply);
    if (revalidation && error == QNetworkReply::NoError && status == 304) {
        d->sendQueued();
        d->confirmed(key, reply, validators);
        return;
    }
    const qint64 serverWait = retryAfterMs(reply);
    if (serverWait > 0 && (status == 429 || status == 503))
        d->pauseServer(d->urlTemplate.server(key), d->clock() + serverWait);
    // The next request travels while this body is checked.
    d->sendQueued();

    QImage image;
    if (error == QNetworkReply::NoError) {
        badBody = d->bodyCheck ? !d->bodyCheck(body) : (image = TileImage::decode(body)).isNull();
        if (badBody)
            error = BadBodyError;
    }
    Q_EMIT replyFinished(key, status, error ? 0 : body.size());
    if (error == QNetworkReply::NoError) {
        const Private::Mark mark = d->marks.take(key);
        d->failingUntil.remove(d->urlTemplate.server(key));
        if (mark.failures > 0 && !mark.permanent && !mark.badBody) {
            d->serverIsBack(key);
            d->scheduleWake();
        }
        if (!d->httpCaching) {
            d->store->setData(key, body);
        } else {
            const HttpFreshness said(reply);
            if (!said.noStore) {
                d->store->setData(key, body);
                d->store->setFreshness(key, d->recordOf(said));
            }
            Q_EMIT tileFresh(key, said.lifetime, true, !said.noStore);
        }
        Q_EMIT tileArrived(key, image);
    } else {
        d->markFailed(key, error, badBody, status, serverWait);
        d->dropRevalidationsWhileBackingOff();
        if (revalidation) {
            d->marks[key].revalidation = true;
            Q_EMIT revalidationFailed(key, error);
        } else {
            Q_EMIT tileFailed(key, error);
        }
    }
}

Tiles::Freshness TileDownloader::Private::recordOf(const HttpFreshness &said) const
{
    Tiles::Freshness record;
    record.fetched = QDateTime::fromSecsSinceEpoch(wallClock() / 1000, Qt::UTC);
    record.lifetime = said.lifetime;
    record.etag = said.etag;
    record.lastModified = said.lastModified;
    return record;
}

// A 304: the stored tile holds. What the answer says anew replaces what was kept.
void TileDownloader::Private::confirmed(const TileKey &key, QNetworkReply *reply,
                                        const Tiles::Freshness &old)
{
    Q_EMIT q->replyFinished(key, 304, 0);
    const Mark mark = marks.take(key);
    failingUntil.remove(urlTemplate.server(key));
    if (mark.failures > 0 && !mark.permanent && !mark.badBody) {
        serverIsBack(key);
        scheduleWake();
    }
    const HttpFreshness said(reply);
    Tiles::Freshness record = recordOf(said);
    if (!said.saysLifetime)
        record.lifetime = old.lifetime;
    if (record.etag.isEmpty())
        record.etag = old.etag;
    if (record.lastModified.isEmpty())
        record.lastModified = old.lastModified;
    if (!said.noStore)
        store->setFreshness(key, record);
    Q_EMIT q->tileFresh(key, record.lifetime, false, true);
}

void TileDownloader::Private::enqueue(const TileKey &key)
{
    queue.append(key);
    queueSorted = false;
    queued.insert(key);
}

void TileDownloader::Private::sortByDistance(QVector<TileKey> &keys) const
{
    const auto distance = [this](const TileKey &key) {
        const double dx = key.x + 0.5 - viewCentre.x();
        const double dy = key.y + 0.5 - viewCentre.y();
        return dx * dx + dy * dy;
    };
    std::stable_sort(keys.begin(), keys.end(),
                     [&](const TileKey &a, const TileKey &b) { return distance(a) < distance(b); });
}

void TileDownloader::Private::sendQueued()
{
    if (!canSend() || inFlight.size() >= maxInFlight)
        return;
    if (viewKnown && !queueSorted) {
        queueSorted = true;
        sortByDistance(queue);
        sortByDistance(refreshQueue);
    }
    const qint64 now = clock();
    for (int i = 0; inFlight.size() < maxInFlight && i < queue.size();) {
        const TileKey key = queue.at(i);
        if (const qint64 end = pausedUntilFor(key, now)) {
            wakeBy(end);
            ++i;
            continue;
        }
        queue.remove(i);
        queued.remove(key);
        send(key);
    }
    // A missing tile matters more than a stale one, which is drawn meanwhile.
    while (queue.isEmpty() && inFlight.size() < maxInFlight && !refreshQueue.isEmpty()) {
        const TileKey key = refreshQueue.takeFirst();
        refreshQueued.remove(key);
        if (!backingOffUntil(key, now))
            send(key, true);
    }
}

void TileDownloader::Private::send(const TileKey &key, bool revalidation)
{
    const QString url = urlTemplate.fill(key);
    if (dumpServerExchange)
        qCDebug(lcDownload) << "send request to" << url;

    QNetworkRequest request{QUrl(url)};
    request.setAttribute(LevelAttribute, key.z);
    request.setAttribute(ColumnAttribute, key.x);
    request.setAttribute(RowAttribute, key.y);
    request.setRawHeader("User-Agent", userAgent);
    // Set here, it also keeps Qt from inflating bodies on its own, without a bound.
    request.setRawHeader("Accept-Encoding", "identity");
    // Each redirect is checked here: a server may move its tiles to https or to another
    // host, but not to another scheme nor back to http.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setMaximumRedirectsAllowed(MaxRedirects);
    // HTTP/1.1 as on Qt 5, whose default this is: Qt 6 would multiplex over HTTP/2.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setTransferTimeout(transferTimeout);
    Tiles::Freshness validators;
    if (revalidation) {
        Tiles::ReadResult result;
        validators = store->freshness(key, &result);
        if (!isHeaderValue(validators.etag))
            validators.etag.clear();
        if (!isHeaderValue(validators.lastModified))
            validators.lastModified.clear();
        // A time to come is no time it was fetched at: a lenient server would confirm a
        // tile that changed meanwhile.
        if (validators.fetched.isValid() && validators.fetched.toMSecsSinceEpoch() > wallClock())
            validators.fetched = QDateTime();
        if (!validators.etag.isEmpty())
            request.setRawHeader("If-None-Match", validators.etag);
        if (!validators.lastModified.isEmpty())
            request.setRawHeader("If-Modified-Since", validators.lastModified);
        else if (validators.fetched.isValid())
            request.setRawHeader("If-Modified-Since", httpDateText(validators.fetched));
    }

    QNetworkReply *reply = network->get(request);
    reply->setReadBufferSize(ReadChunkBytes);
    Flight &flight = inFlight[key];
    flight = Flight();
    flight.reply = reply;
    flight.at = request.url();
    flight.sent.start();
    flight.revalidation = revalidation;
    flight.validators = validators;
    connect(reply, &QNetworkReply::metaDataChanged, q, [this, key, reply] {
        const auto flight = inFlight.find(key);
        if (flight != inFlight.end() && flight->reply == reply)
            flight->headCame = true;
        const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (succeeded(reply) && (contentEncoded(reply) || length > MaxBodyBytes))
            abortWith(key, reply, BadBodyError);
    });
    connect(reply, &QNetworkReply::redirected, q,
            [this, key, reply](const QUrl &to) { checkRedirect(key, reply, to); });
    connect(reply, &QIODevice::readyRead, q, [this, key, reply] { takeBody(key, reply); });
    QTimer::singleShot(deadline, reply,
                       [this, key, reply] { abortWith(key, reply, TimeoutError); });
    auto *progress = new QTimer(reply);
    connect(progress, &QTimer::timeout, q, [this, key, reply] { checkProgress(key, reply); });
    progress->start(slowBodyMs);
}

void TileDownloader::Private::checkRedirect(const TileKey &key, QNetworkReply *reply,
                                            const QUrl &to)
{
    const auto flight = inFlight.find(key);
    if (flight == inFlight.end() || flight->reply != reply)
        return;
    const QString scheme = to.scheme().toLower();
    const bool secure = flight->at.scheme().toLower() == QLatin1String("https");
    if (scheme == QLatin1String("https") || (scheme == QLatin1String("http") && !secure)) {
        flight->at = to;
        Q_EMIT reply->redirectAllowed();
    } else {
        abortWith(key, reply,
                  scheme == QLatin1String("http") ? QNetworkReply::InsecureRedirectError
                                                  : QNetworkReply::ProtocolUnknownError);
    }
}

// Called every slowBodyMs while the request runs.
void TileDownloader::Private::checkProgress(const TileKey &key, QNetworkReply *reply)
{
    const auto flight = inFlight.find(key);
    if (flight == inFlight.end() || flight->reply != reply)
        return;
    if (!flight->headCame) {
        if (flight->sent.hasExpired(transferTimeout))
            abortWith(key, reply, TimeoutError);
        return;
    }
    if (flight->judging && flight->bytesThisPeriod < slowBodyBytes) {
        abortWith(key, reply, TimeoutError);
        return;
    }
    flight->judging = true;
    flight->bytesThisPeriod = 0;
}

// A reply that has met its error is finishing already; aborting it too makes Qt
// complain that it failed twice.
void TileDownloader::Private::abortOnce(QNetworkReply *reply)
{
    if (!reply->isFinished() && reply->error() == QNetworkReply::NoError)
        reply->abort();
}

void TileDownloader::Private::abortWith(const TileKey &key, QNetworkReply *reply, int error)
{
    const auto flight = inFlight.find(key);
    if (flight == inFlight.end() || flight->reply != reply || flight->error)
        return;
    flight->error = error;
    abortOnce(reply); // finishes it now, through handleReply
}

void TileDownloader::Private::takeBody(const TileKey &key, QNetworkReply *reply)
{
    const QByteArray chunk = reply->readAll();
    const auto flight = inFlight.find(key);
    if (flight == inFlight.end() || flight->reply != reply || flight->error)
        return;
    flight->bytesThisPeriod += chunk.size();
    // Error pages are read and dropped: only a tile counts against the cap.
    if (!succeeded(reply))
        return;
    if (flight->body.size() + chunk.size() > MaxBodyBytes)
        abortWith(key, reply, BadBodyError);
    else
        flight->body += chunk;
}

void TileDownloader::Private::markFailed(const TileKey &key, int error, bool badBody, int status,
                                         qint64 serverWait)
{
    const qint64 now = clock();
    Mark &mark = marks[key];
    mark.error = error;
    mark.badBody = badBody;
    mark.permanent = mark.badBody ? !viewKnown : !isTransient(error, status);
    mark.failures = qMin(mark.failures + 1, 20);
    mark.failedAt = now;
    if (!mark.permanent) {
        const qint64 first = mark.badBody ? BadBodyFirstRetryMs : firstRetryMs;
        const qint64 most = mark.badBody ? BadBodyMaxBackoffMs : maxBackoffMs;
        mark.notBefore = now + serverWait;
        mark.retryAt = now + qMax(qMin(first << (mark.failures - 1), most), serverWait);
        if (inView(key))
            wakeBy(mark.retryAt);
        if (!mark.badBody) {
            qint64 &failing = failingUntil[urlTemplate.server(key)];
            failing = qMax(failing, mark.retryAt);
            if (failingUntil.size() > MaxPausedServers)
                failingUntil.erase(failingUntil.begin());
        }
    }
    if (marks.size() > MaxMarks)
        pruneMarks(true);
}

// A tile that had failed for a transient reason came: the outage or overload is over, and
// the other tiles that failed that way on this server need not wait out backoffs that
// grew while it lasted. Their failure counts stay, should the server fail again.
void TileDownloader::Private::serverIsBack(const TileKey &arrived)
{
    const qint64 now = clock();
    const QString server = urlTemplate.server(arrived);
    failingUntil.remove(server);
    for (auto it = marks.begin(); it != marks.end(); ++it) {
        Mark &mark = it.value();
        if (!mark.permanent && !mark.badBody && mark.retryAt > now
            && urlTemplate.server(it.key()) == server)
            mark.retryAt = qMax(now, mark.notBefore);
    }
}

void TileDownloader::Private::pauseServer(const QString &server, qint64 until)
{
    qint64 &end = pausedUntil[server];
    end = qMax(end, until);
    if (pausedUntil.size() <= MaxPausedServers)
        return;
    auto soonest = pausedUntil.begin();
    for (auto it = pausedUntil.begin(); it != pausedUntil.end(); ++it) {
        if (it.value() < soonest.value())
            soonest = it;
    }
    pausedUntil.erase(soonest);
}

qint64 TileDownloader::Private::pausedUntilFor(const TileKey &key, qint64 now) const
{
    if (pausedUntil.isEmpty())
        return 0;
    const qint64 end = pausedUntil.value(urlTemplate.server(key));
    return end > now ? end : 0;
}

// The end of a wait: tiles of the view whose marks expired are asked for again, and
// tiles held by a server's pause go.
void TileDownloader::Private::wake()
{
    if (!canSend())
        return;
    const qint64 now = clock();
    for (auto it = marks.begin(); it != marks.end();) {
        const bool expired = !it->permanent && it->retryAt <= now;
        if (expired && inView(it.key()) && !it->revalidation) {
            if (!waiting(it.key()))
                enqueue(it.key());
            ++it;
        } else if (expired && !waiting(it.key())) {
            it = marks.erase(it); // nothing to remember: it may be asked for at once
        } else {
            ++it;
        }
    }
    for (auto it = pausedUntil.begin(); it != pausedUntil.end();)
        it = it.value() <= now ? pausedUntil.erase(it) : std::next(it);
    sendQueued();
    scheduleWake();
}

void TileDownloader::Private::scheduleWake()
{
    qint64 earliest = std::numeric_limits<qint64>::max();
    if (canSend()) {
        const qint64 now = clock();
        if (viewKnown) {
            for (auto it = marks.cbegin(); it != marks.cend(); ++it) {
                if (!it->permanent && !it->revalidation && it->retryAt < earliest
                    && inView(it.key()) && !waiting(it.key()))
                    earliest = it->retryAt;
            }
        }
        if (!queue.isEmpty()) {
            for (const qint64 end : qAsConst(pausedUntil)) {
                if (end > now)
                    earliest = qMin(earliest, end);
            }
        }
        if (earliest != std::numeric_limits<qint64>::max()) {
            wakeTimer.stop();
            wakeBy(earliest);
            return;
        }
    }
    wakeTimer.stop();
}

// Makes sure the downloader wakes by `at`, on the clock; a wake-up due sooner stays.
void TileDownloader::Private::wakeBy(qint64 at)
{
    if (wakeTimer.isActive() && wakeAt <= at)
        return;
    wakeAt = at;
    const qint64 wait = at - clock();
    wakeTimer.start(int(qBound(qint64(0), wait, qint64(std::numeric_limits<int>::max()))));
}

// Drops the marks far from the view or expired off it; `toCount` also keeps no more than
// three quarters of MaxMarks, so that the count is pruned rarely.
void TileDownloader::Private::pruneMarks(bool toCount)
{
    const qint64 now = clock();
    QRectF kept;
    if (viewKnown) {
        const QRectF window(viewWindow);
        kept = window.adjusted(-window.width(), -window.height(), window.width(), window.height());
    }
    // Where a tile of another level lies, in tiles of the view's level.
    const auto placeInView = [this](const TileKey &key) {
        const double scale = std::ldexp(1.0, viewZ - key.z);
        return QPointF((key.x + 0.5) * scale, (key.y + 0.5) * scale);
    };
    for (auto it = marks.begin(); it != marks.end();) {
        const TileKey &key = it.key();
        bool drop = !it->permanent && it->retryAt <= now && !inView(key) && !waiting(key);
        if (viewKnown && !drop)
            drop = std::abs(key.z - viewZ) > MarkLevelsKept || !kept.contains(placeInView(key));
        it = drop ? marks.erase(it) : std::next(it);
    }
    if (!toCount || marks.size() <= MaxMarks * 3 / 4)
        return;

    QVector<QPair<double, TileKey>> byDistance;
    byDistance.reserve(marks.size());
    for (auto it = marks.cbegin(); it != marks.cend(); ++it) {
        double far = double(now - it->failedAt);
        if (viewKnown) {
            const QPointF at = placeInView(it.key()) - viewCentre;
            far = (at.x() * at.x() + at.y() * at.y()) * (1 + std::abs(it.key().z - viewZ));
        }
        byDistance.append({far, it.key()});
    }
    const auto keep = byDistance.begin() + MaxMarks * 3 / 4;
    std::nth_element(byDistance.begin(), keep, byDistance.end(),
                     [](const QPair<double, TileKey> &a, const QPair<double, TileKey> &b) {
                         return a.first < b.first;
                     });
    for (auto it = keep; it != byDistance.end(); ++it)
        marks.remove(it->second);
}

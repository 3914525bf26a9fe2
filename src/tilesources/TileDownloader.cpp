#include "TileDownloader.h"

#include "TileImage.h"
#include "TileUrlTemplate.h"
#include "Tiles.h"
#include "VeltraLogging.h"

#include <QtCore/QDateTime>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QDebug>
#include <QtCore/QLocale>
#include <QtCore/QSet>
#include <QtCore/QTimer>
#include <QtCore/QVector>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkRequest>

#include <algorithm>
#include <cmath>

namespace {

constexpr auto LevelAttribute = QNetworkRequest::Attribute(QNetworkRequest::User + 1);
constexpr auto ColumnAttribute = QNetworkRequest::Attribute(QNetworkRequest::User + 2);
constexpr auto RowAttribute = QNetworkRequest::Attribute(QNetworkRequest::User + 3);

// A tile is a few dozen kilobytes; anything near this is not a tile.
constexpr qint64 MaxBodyBytes = 8 * 1024 * 1024;
// Qt's network thread hands over at most this much before the body is read here.
constexpr qint64 ReadChunkBytes = 1024 * 1024;
constexpr qint64 FirstRetryMs = 10 * 1000;
constexpr qint64 MaxBackoffMs = 10 * 60 * 1000;
constexpr qint64 MaxRetryAfterSecs = 60 * 60;

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

} // namespace

struct TileDownloader::Private
{
    struct Mark
    {
        int error = 0;
        int failures = 0;
        bool permanent = false;
        qint64 retryAt = 0;
    };
    struct Flight
    {
        QNetworkReply *reply = nullptr;
        QByteArray body;
        int error = 0; // why this side aborted it
    };

    explicit Private(TileDownloader *q) : q(q) { }

    void sendQueued();
    void send(const TileKey &key);
    void abortWith(const TileKey &key, QNetworkReply *reply, int error);
    static void abortOnce(QNetworkReply *reply);
    void takeBody(const TileKey &key, QNetworkReply *reply);
    void markFailed(const TileKey &key, int error, const QNetworkReply *reply);

    TileDownloader *q;
    QNetworkAccessManager *network = nullptr;
    TileUrlTemplate urlTemplate;
    Tiles *store = nullptr;
    QByteArray userAgent = QByteArrayLiteral("VeltraCenter 2.1");
    int maxInFlight = 6;
    int transferTimeout = 30 * 1000;
    int deadline = 60 * 1000;
    bool dumpServerExchange = false;
    std::function<qint64()> clock = monotonicMsecs;
    std::function<bool(const QByteArray &)> bodyCheck;

    QHash<TileKey, Mark> marks;
    QVector<TileKey> queue;
    QSet<TileKey> queued;
    QHash<TileKey, Flight> inFlight;
    QPointF viewCentre;
    bool viewKnown = false;
    QTimer sendTimer;
};

TileDownloader::TileDownloader(QObject *parent) : QObject(parent), d(new Private(this))
{
    qRegisterMetaType<TileKey>();
    d->network = new QNetworkAccessManager(this);
    connect(d->network, &QNetworkAccessManager::finished, this, &TileDownloader::handleReply);
    d->sendTimer.setSingleShot(true);
    d->sendTimer.setInterval(0);
    connect(&d->sendTimer, &QTimer::timeout, this, [this] { d->sendQueued(); });
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
        qCWarning(lcDownload) << "tile server URL template" << urlTemplate
                              << "refused:" << qPrintable(d->urlTemplate.problem());
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

void TileDownloader::setClock(std::function<qint64()> msecsNow)
{
    d->clock = msecsNow ? std::move(msecsNow) : monotonicMsecs;
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
    if (!d->queued.contains(key) && !d->inFlight.contains(key)) {
        d->queue.append(key);
        d->queued.insert(key);
        if (d->inFlight.size() < d->maxInFlight)
            d->sendTimer.start();
    }
    return {Requested, 0};
}

void TileDownloader::setView(int z, const QRect &window, const QPointF &centre)
{
    d->viewKnown = std::isfinite(centre.x()) && std::isfinite(centre.y());
    d->viewCentre = centre;
    const auto stale = [&](const TileKey &key) {
        if (key.z == z && window.contains(key.x, key.y))
            return false;
        d->queued.remove(key);
        return true;
    };
    d->queue.erase(std::remove_if(d->queue.begin(), d->queue.end(), stale), d->queue.end());
    d->sendQueued();
}

void TileDownloader::cancelAll()
{
    d->queue.clear();
    d->queued.clear();
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
}

int TileDownloader::queuedCount() const
{
    return d->queue.size();
}

int TileDownloader::inFlightCount() const
{
    return d->inFlight.size();
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
    const QByteArray body = std::move(flight->body);
    d->inFlight.erase(flight);
    // The next request travels while this body is checked.
    d->sendQueued();

    QImage image;
    if (error == QNetworkReply::NoError) {
        if (d->bodyCheck)
            error = d->bodyCheck(body) ? 0 : BadBodyError;
        else if ((image = TileImage::decode(body)).isNull())
            error = BadBodyError;
    }
    Q_EMIT replyFinished(key, httpStatus(reply), error ? 0 : body.size());
    if (error == QNetworkReply::NoError) {
        d->marks.remove(key);
        d->store->setData(key, body);
        Q_EMIT tileArrived(key, image);
    } else {
        d->markFailed(key, error, reply);
        Q_EMIT tileFailed(key, error);
    }
}

void TileDownloader::Private::sendQueued()
{
    if (!urlTemplate.isUsable() || !store || inFlight.size() >= maxInFlight)
        return;
    if (viewKnown) {
        const auto distance = [this](const TileKey &key) {
            const double dx = key.x + 0.5 - viewCentre.x();
            const double dy = key.y + 0.5 - viewCentre.y();
            return dx * dx + dy * dy;
        };
        std::stable_sort(queue.begin(), queue.end(), [&](const TileKey &a, const TileKey &b) {
            return distance(a) < distance(b);
        });
    }
    while (inFlight.size() < maxInFlight && !queue.isEmpty()) {
        const TileKey key = queue.takeFirst();
        queued.remove(key);
        send(key);
    }
}

void TileDownloader::Private::send(const TileKey &key)
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
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    // HTTP/1.1 as on Qt 5, whose default this is: Qt 6 would multiplex over HTTP/2.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setTransferTimeout(transferTimeout);

    QNetworkReply *reply = network->get(request);
    reply->setReadBufferSize(ReadChunkBytes);
    inFlight.insert(key, Flight{reply, QByteArray(), 0});
    connect(reply, &QNetworkReply::metaDataChanged, q, [this, key, reply] {
        const qint64 length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        if (succeeded(reply) && (contentEncoded(reply) || length > MaxBodyBytes))
            abortWith(key, reply, BadBodyError);
    });
    connect(reply, &QIODevice::readyRead, q, [this, key, reply] { takeBody(key, reply); });
    QTimer::singleShot(deadline, reply,
                       [this, key, reply] { abortWith(key, reply, TimeoutError); });
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
    // Error pages are read and dropped: only a tile counts against the cap.
    if (flight == inFlight.end() || flight->reply != reply || flight->error || !succeeded(reply))
        return;
    if (flight->body.size() + chunk.size() > MaxBodyBytes)
        abortWith(key, reply, BadBodyError);
    else
        flight->body += chunk;
}

void TileDownloader::Private::markFailed(const TileKey &key, int error, const QNetworkReply *reply)
{
    Mark &mark = marks[key];
    mark.error = error;
    mark.permanent = !isTransient(error, httpStatus(reply));
    mark.failures = qMin(mark.failures + 1, 20);
    if (!mark.permanent) {
        const qint64 backoff = qMin(FirstRetryMs << (mark.failures - 1), MaxBackoffMs);
        mark.retryAt = clock() + qMax(backoff, retryAfterMs(reply));
    }
}

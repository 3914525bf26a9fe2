#include "OsmView.h"

#include "OsmViewPrivate.h"
#include "TileImage.h"
#include "Tiles.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDebug>
#include <QtCore/QRegularExpression>
#include <QtGui/QPainter>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkReply>
#include <QtNetwork/QNetworkRequest>

namespace {

constexpr QNetworkRequest::Attribute LevelAttribute = QNetworkRequest::Attribute(QNetworkRequest::User + 1);
constexpr QNetworkRequest::Attribute ColumnAttribute = QNetworkRequest::Attribute(QNetworkRequest::User + 2);
constexpr QNetworkRequest::Attribute RowAttribute = QNetworkRequest::Attribute(QNetworkRequest::User + 3);

// A tile is a few dozen kilobytes; anything near this is not a tile. Counted after
// decompression, since Qt inflates compressed bodies without a limit of its own.
constexpr qint64 MaxReplyBytes = 8 * 1024 * 1024;
// Without a transfer timeout a stalled server would leave "downloading ..." for ever.
constexpr int TransferTimeoutMs = 30000;

const char *const RequestKeyProperty = "_veltra_tileRequestKey";

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

QPixmap errorTile(int code)
{
    return drawTileText(Qt::red, QRect(2, 2, 252, 252),
                        Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextWordWrap,
                        OsmView::tr("network error %1").arg(code));
}

// QString::arg warns when no marker is left; a template may use fewer than three.
QString fillMarker(const QString &text, int value)
{
    static const QRegularExpression marker(QStringLiteral("%[0-9]"));
    return text.contains(marker) ? text.arg(value) : text;
}

int intAttribute(const QNetworkRequest &request, QNetworkRequest::Attribute attribute, bool *ok)
{
    return request.attribute(attribute).toInt(ok);
}

} // namespace

QString OsmView::getTileServerUrl()
{
    return d->tileServerUrl;
}

void OsmView::setTileServerUrl(QString url)
{
    if (url != d->tileServerUrl)
        d->tileServerUrl = url;
}

bool OsmView::getEnableTileDownload()
{
    return d->network != nullptr;
}

void OsmView::setEnableTileDownload(bool on)
{
    if ((d->network != nullptr) == on)
        return;
    if (on) {
        d->network = new QNetworkAccessManager(this);
        connect(d->network, SIGNAL(finished(QNetworkReply *)), this,
                SLOT(tileServerReply(QNetworkReply *)));
    } else {
        // The replies die with their manager; their entries go with them.
        d->pendingReplies.clear();
        d->network->disconnect(this);
        delete d->network;
        d->network = nullptr;
    }
}

QPixmap OsmView::Private::storedTile(int x, int y, int z)
{
    const TileKey key(x, y, z);
    if (const QPixmap *remembered = tileMemory.object(key))
        return *remembered;
    QPixmap pixmap = tiles->pixmap(x, y, z);
    if (!pixmap.isNull())
        rememberTile(key, pixmap);
    return pixmap;
}

QPixmap OsmView::Private::tilePixmap(int x, int y)
{
    if (!tiles)
        return QPixmap();
    QPixmap pixmap = storedTile(x, y, tileZoom);
    if (!network || !pixmap.isNull() || tileServerUrl.isEmpty())
        return pixmap;

    const QPixmap &placeholder = downloadingPixmap();
    const auto failed = failedTiles.constFind(QPoint(x, y));
    if (failed != failedTiles.constEnd())
        return errorPixmaps.value(failed.value());

    const QString url = fillMarker(fillMarker(fillMarker(tileServerUrl, tileZoom), x), y);
    const auto pending = pendingReplies.constFind(url);
    if (pending != pendingReplies.constEnd()) {
        if (pending.value())
            return placeholder;
        pendingReplies.remove(url);
    }

    if (dumpServerExchange)
        qDebug() << "send request to" << url;

    QNetworkRequest request{QUrl(url)};
    request.setAttribute(LevelAttribute, tileZoom);
    request.setAttribute(ColumnAttribute, x);
    request.setAttribute(RowAttribute, y);
    request.setRawHeader("User-Agent", "VeltraCenter 2.1");
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(TransferTimeoutMs);

    QNetworkReply *reply = network->get(request);
    reply->setProperty(RequestKeyProperty, url);
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply] {
        if (reply->bytesAvailable() > MaxReplyBytes)
            reply->abort();
    });
    pendingReplies.insert(url, reply);
    return placeholder;
}

void OsmView::tileServerReply(QNetworkReply *reply)
{
    if (!reply)
        return;
    reply->deleteLater();

    // Only the reply that is still expected for its URL may reach the store: one
    // cancelled by a change of source or a clamped zoom finishes here all the same.
    const QString key = reply->property(RequestKeyProperty).toString();
    const auto pending = d->pendingReplies.find(key);
    if (pending == d->pendingReplies.end() || pending.value() != reply)
        return;
    d->pendingReplies.erase(pending);

    const QNetworkRequest request = reply->request();
    bool ok = false;
    const int z = intAttribute(request, LevelAttribute, &ok);
    if (!ok)
        return;
    const int x = intAttribute(request, ColumnAttribute, &ok);
    if (!ok)
        return;
    const int y = intAttribute(request, RowAttribute, &ok);
    if (!ok)
        return;

    if (d->dumpServerExchange)
        qDebug() << "tile server reply" << request.url();

    int code = reply->error();
    if (code == QNetworkReply::NoError) {
        const QByteArray bytes = reply->readAll();
        QPixmap pixmap = TileImage::toPixmap(TileImage::decode(bytes));
        if (!pixmap.isNull() && d->tiles) {
            d->tiles->setData(x, y, z, bytes);
            // Shown from the reply even if the store could not keep it, so a store
            // that refuses writes does not turn into a stream of requests.
            d->rememberTile(TileKey(x, y, z), pixmap);
            if (z != d->tileZoom)
                return;
            d->tileCache.insert(QPoint(x, y), pixmap);
            viewport()->update(d->tileViewportRect(x, y));
            return;
        }
        code = QNetworkReply::UnknownContentError;
    }

    d->failedTiles.insert(QPoint(x, y), code);
    if (!d->errorPixmaps.contains(code))
        d->errorPixmaps.insert(code, errorTile(code));
    d->tileCache.insert(QPoint(x, y), d->tilePixmap(x, y));
    viewport()->update(d->tileViewportRect(x, y));
}


#include "OsmView.h"

#include "OsmViewPrivate.h"
#include "TileLayout.h"

#include <QtNetwork/QNetworkReply>

QString OsmView::getTileServerUrl()
{
    return d->provider->urlTemplate();
}

void OsmView::setTileServerUrl(QString url)
{
    if (url == d->provider->urlTemplate())
        return;
    d->provider->setUrlTemplate(url);
    // Marks and requests belong to the old server; the new one may have those tiles.
    if (d->provider->downloader()) {
        d->emptyTileCache();
        viewport()->update();
    }
}

bool OsmView::getEnableTileDownload()
{
    return d->provider->isDownloading();
}

void OsmView::setEnableTileDownload(bool on)
{
    if (d->provider->isDownloading() == on)
        return;
    d->provider->setDownloading(on);
    // Placeholders already drawn stay until their tiles leave the view. Tiles looked up
    // while download was off are missing, not settled: the next paint asks for them.
    if (on)
        d->emptyTileCache();
}

bool OsmView::dumpServerExchange()
{
    return d->provider->dumpServerExchange();
}

void OsmView::setDumpServerExchange(bool on)
{
    d->provider->setDumpServerExchange(on);
}

QString OsmView::userAgent() const
{
    return d->userAgent;
}

void OsmView::setUserAgent(const QString &value)
{
    if (value == d->userAgent)
        return;
    d->userAgent = value;
    d->sendUserAgent();
}

int OsmView::maxTileAge() const
{
    return d->provider->maxTileAge();
}

void OsmView::setMaxTileAge(int seconds)
{
    seconds = qMax(0, seconds);
    if (seconds == d->provider->maxTileAge())
        return;
    d->provider->setMaxTileAge(seconds);
    // The tiles drawn already are looked at again, from the decoded-tile memory.
    if (seconds > 0 && d->provider->isDownloading()) {
        d->emptyTileCache();
        viewport()->update();
    }
}

// A line break would end the header and start another.
void OsmView::Private::sendUserAgent()
{
    QByteArray sent = userAgent.toUtf8();
    for (char &c : sent) {
        if (uchar(c) < 0x20 || uchar(c) == 0x7f)
            c = ' ';
    }
    provider->setUserAgent(sent);
}

void OsmView::tileServerReply(QNetworkReply *reply)
{
    if (reply)
        reply->deleteLater();
    d->provider->takeReply(reply);
}

void OsmView::Private::tileChanged(const TileKey &key, const Tile &tile)
{
    if (key.z != tileZoom)
        return;
    tileCache.insert(QPoint(key.x, key.y), tile);
    // The cell where the view shows the tile now, wherever the view went meanwhile. Cells
    // lie on whole device pixels, which on a screen of another pixel ratio than 1 may
    // reach into the next logical pixel.
    QRect cell = layout(view->viewportTransform()).cell(key.x, key.y);
    if (view->viewport()->devicePixelRatioF() != 1.0)
        cell.adjust(-1, -1, 1, 1);
    view->viewport()->update(cell);
}

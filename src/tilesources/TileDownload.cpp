#include "OsmView.h"

#include "OsmViewPrivate.h"
#include "Tiles.h"

#include <QtNetwork/QNetworkReply>

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

void OsmView::setEnableTileDownload(bool) { }

QPixmap OsmView::Private::tilePixmap(int x, int y)
{
    if (!tiles)
        return QPixmap();
    return tiles->pixmap(x, y, tileZoom);
}

void OsmView::tileServerReply(QNetworkReply *) { }

QObject *OsmView::operationWidget() const
{
    return nullptr;
}

bool OsmView::enableRightPane()
{
    return false;
}

void OsmView::setEnableRightPane(bool) { }

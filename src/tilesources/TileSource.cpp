#include "OsmView.h"

#include "OsmViewPrivate.h"
#include "TileDownloader.h"
#include "Tiles.h"
#include "VeltraLogging.h"

#include <QtCore/QDebug>

void OsmView::setImagePath(const QString &path)
{
    d->openTileSource(path);
    setZoom(d->zoomF + 0.0001);
}

void OsmView::Private::openTileSource(const QString &path)
{
    // Requests and failure marks belong to the old source. The old store writes what it
    // still holds before it goes.
    if (downloader)
        downloader->setStore(nullptr);
    Tiles::close(std::unique_ptr<Tiles>(std::exchange(tiles, nullptr)));
    tileMemory.clear();

    if (!path.isEmpty()) {
        QString error;
        tiles = Tiles::open(path, Tiles::OpenOptions(), &error).release();
        if (!tiles)
            qCWarning(lcTiles).noquote() << error;
    }

    if (downloader)
        downloader->setStore(tiles);
    imagePath = path;
    emptyTileCache();
}

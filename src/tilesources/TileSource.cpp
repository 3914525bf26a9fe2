#include "OsmView.h"

#include "OsmViewPrivate.h"
#include "Tiles.h"

#include <QtCore/QDebug>

void OsmView::setImagePath(const QString &path)
{
    d->openTileSource(path);
    setZoom(d->zoomF + 0.0001);
}

void OsmView::Private::openTileSource(const QString &path)
{
    cancelPendingReplies();
    // The old store writes what it still holds before it goes.
    delete tiles;
    tiles = nullptr;
    tileMemory.clear();

    if (!path.isEmpty()) {
        QString error;
        tiles = Tiles::open(path, Tiles::OpenOptions(), &error).release();
        if (!tiles)
            qWarning().noquote() << error;
    }

    imagePath = path;
    emptyTileCache();
}

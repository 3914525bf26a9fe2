#include "OsmView.h"

#include "OsmViewPrivate.h"
#include "Tiles.h"

void OsmView::setImagePath(QString path)
{
    d->openTileSource(path);
    setZoom(d->zoomF + 0.0001);
}

void OsmView::Private::openTileSource(const QString &path)
{
    cancelPendingReplies();
    delete tiles;
    tiles = nullptr;
    tileMemory.clear();
    imagePath = path;
    emptyTileCache();
}

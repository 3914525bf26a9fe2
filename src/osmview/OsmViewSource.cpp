#include "OsmView.h"

#include "OsmViewPrivate.h"

void OsmView::setImagePath(const QString &path)
{
    d->provider->open(path);
    d->imagePath = path;
    d->emptyTileCache();
    d->holdStill();
    setZoom(d->zoomF + 0.0001);
}

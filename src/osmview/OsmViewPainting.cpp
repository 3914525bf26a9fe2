#include "OsmView.h"

#include "OsmViewPrivate.h"

void OsmView::drawBackground(QPainter *, const QRectF &) { }

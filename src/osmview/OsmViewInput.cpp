#include "OsmView.h"

#include "OsmViewPrivate.h"

#include <QtWidgets/QSlider>

void OsmView::setZoomMax(int v)
{
    if (v == d->zoomMax)
        return;
    d->zoomMax = v;
    if (auto *slider = findChild<QSlider *>(QStringLiteral("sldZoom")))
        slider->setMaximum(v);
}

void OsmView::setZoomMin(int v)
{
    if (v == d->zoomMin)
        return;
    d->zoomMin = v;
    if (auto *slider = findChild<QSlider *>(QStringLiteral("sldZoom")))
        slider->setMinimum(v);
}

void OsmView::fitItem(QGraphicsItem *) { }
void OsmView::fitRect(QRectF) { }
void OsmView::fitInViewZ(QRectF, int) { }
void OsmView::loadPreset(double, double, double) { }
void OsmView::setCenter(QPointF point)
{
    centerOn(point);
}
void OsmView::delayLoadedPreset() { }
void OsmView::keyPressEvent(QKeyEvent *e)
{
    QGraphicsView::keyPressEvent(e);
}
void OsmView::keyReleaseEvent(QKeyEvent *e)
{
    QGraphicsView::keyReleaseEvent(e);
}
void OsmView::mouseMoveEvent(QMouseEvent *e)
{
    QGraphicsView::mouseMoveEvent(e);
}
void OsmView::mousePressEvent(QMouseEvent *e)
{
    QGraphicsView::mousePressEvent(e);
}
void OsmView::mouseReleaseEvent(QMouseEvent *e)
{
    QGraphicsView::mouseReleaseEvent(e);
}
void OsmView::wheelEvent(QWheelEvent *e)
{
    QGraphicsView::wheelEvent(e);
}

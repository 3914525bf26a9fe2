#include "OsmView.h"

#include "OsmViewPrivate.h"

#include <QtCore/QTimer>
#include <QtGui/QCursor>
#include <QtGui/QKeyEvent>
#include <QtGui/QMouseEvent>
#include <QtGui/QWheelEvent>
#include <QtWidgets/QGraphicsItem>
#include <QtWidgets/QSlider>

#include <cmath>

namespace {

constexpr int PresetDelayMs = 300;

// The view's own hand drag answers the left button; a middle-button pan borrows it.
QMouseEvent leftButtonStandIn(const QMouseEvent *e)
{
    return QMouseEvent(e->type(), QPointF(e->pos()), QPointF(QCursor::pos()), Qt::LeftButton,
                       Qt::LeftButton, e->modifiers());
}

// The wheel's turn in eighths of a degree as Qt 5's delta() gives it. Qt 5 and 6 both
// deliver a two-axis scroll as one event with both deltas followed by one with none;
// Qt 5's delta() of the first is its larger axis, the vertical one on a tie.
int wheelDelta(const QWheelEvent *e)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    return e->delta();
    QT_WARNING_POP
#else
    const QPoint angle = e->angleDelta();
    return qAbs(angle.x()) > qAbs(angle.y()) ? angle.x() : angle.y();
#endif
}

} // namespace

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

void OsmView::wheelEvent(QWheelEvent *e)
{
    e->accept();
    d->holdStill();
    setZoom(d->zoomF + wheelDelta(e) / 720.0);
}

void OsmView::mousePressEvent(QMouseEvent *e)
{
    Q_EMIT mousePress(mapToScene(e->pos()));
    d->holdStill();

    if (e->button() == Qt::MiddleButton) {
        QMouseEvent standIn = leftButtonStandIn(e);
        d->savedInteractive = isInteractive();
        if (d->savedInteractive)
            setInteractive(false);
        d->savedPanDragMode = dragMode();
        if (d->savedPanDragMode != ScrollHandDrag)
            setDragMode(ScrollHandDrag);
        QGraphicsView::mousePressEvent(&standIn);
        e->setAccepted(standIn.isAccepted());
        return;
    }

    if (e->button() == Qt::LeftButton && (e->modifiers() & Qt::ShiftModifier)) {
        d->selecting = true;
        d->savedSelectDragMode = dragMode();
        if (d->savedSelectDragMode != RubberBandDrag)
            setDragMode(RubberBandDrag);
        // A selectable item would take the press as a click; without the flag it lets
        // the press through and the view starts its rubber band.
        QGraphicsItem *item = itemAt(e->pos());
        if (item && (item->flags() & QGraphicsItem::ItemIsSelectable)) {
            item->setFlag(QGraphicsItem::ItemIsSelectable, false);
            QGraphicsView::mousePressEvent(e);
            item->setFlag(QGraphicsItem::ItemIsSelectable, true);
            return;
        }
    }
    QGraphicsView::mousePressEvent(e);
}

void OsmView::mouseMoveEvent(QMouseEvent *e)
{
    Q_EMIT mouseMove(mapToScene(e->pos()));
    if (e->buttons() & Qt::MiddleButton)
        setInteractive(false);
    if (e->buttons() == Qt::NoButton)
        d->cursorMoved();
    else
        d->holdStill();
    QGraphicsView::mouseMoveEvent(e);
}

void OsmView::mouseReleaseEvent(QMouseEvent *e)
{
    const QPointF p = mapToScene(e->pos());
    Q_EMIT mouseRelease(p);
    Q_EMIT mouseReleased(int(e->button()), p);

    if (e->button() == Qt::MiddleButton && !isInteractive()) {
        // The stand-in ends the hand drag before the drag mode goes back, so the
        // view is left with no hand scrolling under way.
        QMouseEvent standIn = leftButtonStandIn(e);
        QGraphicsView::mouseReleaseEvent(&standIn);
        if (d->savedPanDragMode != dragMode())
            setDragMode(d->savedPanDragMode);
        if (d->savedInteractive)
            setInteractive(true);
        return;
    }

    if (d->selecting) {
        d->selecting = false;
        if (e->button() == Qt::LeftButton) {
            QGraphicsView::mouseReleaseEvent(e);
            if (d->savedSelectDragMode != dragMode())
                setDragMode(d->savedSelectDragMode);
            return;
        }
    }
    QGraphicsView::mouseReleaseEvent(e);
}

void OsmView::keyPressEvent(QKeyEvent *e)
{
    Q_EMIT keyPressed(e->key(), int(e->modifiers()));
    d->holdStill();
    QGraphicsView::keyPressEvent(e);
}

void OsmView::keyReleaseEvent(QKeyEvent *e)
{
    Q_EMIT keyReleased(e->key(), int(e->modifiers()));
    QGraphicsView::keyReleaseEvent(e);
}

// A point of the scene, rounded to a viewport pixel as QGraphicsView::mapFromScene rounds it,
// but without its int overflow for points far off the viewport.
QPointF OsmView::Private::toViewportPixel(const QPointF &p) const
{
    const QPointF mapped = view->viewportTransform().map(p);
    return QPointF(qRound(qBound(-1e9, mapped.x(), 1e9)), qRound(qBound(-1e9, mapped.y(), 1e9)));
}

bool OsmView::Private::measureFit(const QRectF &r, QPointF *mid, double *fittedZoom) const
{
    if (!std::isfinite(r.x()) || !std::isfinite(r.y()) || !std::isfinite(r.width())
        || !std::isfinite(r.height()) || !std::isfinite(r.center().x())
        || !std::isfinite(r.center().y()))
        return false;
    const QRectF v(view->viewport()->rect());
    if (v.isEmpty())
        return false;
    const QPointF corners[] = {toViewportPixel(r.topLeft()), toViewportPixel(r.topRight()),
                               toViewportPixel(r.bottomRight()), toViewportPixel(r.bottomLeft())};
    double left = corners[0].x(), right = left, top = corners[0].y(), bottom = top;
    for (const QPointF &c : corners) {
        left = std::min(left, c.x());
        right = std::max(right, c.x());
        top = std::min(top, c.y());
        bottom = std::max(bottom, c.y());
    }
    // The pixels the corners fall on, counted inclusively as QPolygon::boundingRect counts
    // them: a point is one pixel, a line one pixel wide.
    const double k = std::min(v.width() / (right - left + 1), v.height() / (bottom - top + 1));
    const double zf = std::log(k) / std::log(2.0) + zoomF - 0.16666666666666666;
    *mid = r.center();
    // Finite, and within what an int holds; setZoom clamps it to the levels.
    *fittedZoom = qBound(-1e6, zf, 1e6);
    return true;
}

void OsmView::fitItem(QGraphicsItem *i)
{
    if (i && !i->sceneBoundingRect().isNull())
        fitRect(i->sceneBoundingRect());
}

void OsmView::fitRect(QRectF irect)
{
    QPointF mid;
    double zf = 0;
    if (!d->measureFit(irect, &mid, &zf))
        return;
    d->presetCenter = mid;
    d->presetZoom = zf;
    QTimer::singleShot(PresetDelayMs, this, [this] { delayLoadedPreset(); });
}

void OsmView::fitInViewZ(QRectF rect, int max_zoom)
{
    QPointF mid;
    double zf = 0;
    if (!d->measureFit(rect, &mid, &zf))
        return;
    setZoom(std::min(int(zf), max_zoom));
    d->centreOn(mid);
}

void OsmView::loadPreset(double x, double y, double zoom)
{
    QMetaObject::invokeMethod(this, "setZoom", Qt::QueuedConnection, Q_ARG(qreal, zoom + 0.001));
    QMetaObject::invokeMethod(this, "setCenter", Qt::QueuedConnection,
                              Q_ARG(QPointF, QPointF(x, y)));
    d->presetCenter = QPointF(x, y);
    d->presetZoom = zoom;
    QTimer::singleShot(PresetDelayMs, this, [this] { delayLoadedPreset(); });
}

void OsmView::setCenter(QPointF point)
{
    d->centreOn(point);
}

// QGraphicsView::centerOn converts the point's position in view pixels to int; a point
// that far off is first brought back to where the scroll bars can still express it.
void OsmView::Private::centreOn(QPointF point)
{
    if (!std::isfinite(point.x()) || !std::isfinite(point.y()))
        return;
    const QTransform t = view->transform();
    if (!t.isInvertible())
        return;
    // Within a billion pixels of the origin, where QGraphicsView's int arithmetic holds.
    const QPointF pixel = t.map(point);
    view->centerOn(t.inverted().map(QPointF(qBound(-1e9, pixel.x(), 1e9), qBound(-1e9, pixel.y(), 1e9))));
}

void OsmView::delayLoadedPreset()
{
    const ViewportAnchor anchor = transformationAnchor();
    setTransformationAnchor(AnchorViewCenter);
    d->centreOn(d->presetCenter);
    setZoom(d->presetZoom);
    setTransformationAnchor(anchor);
}

#include "ImageMapView.h"

#include "ImageMapViewPrivate.h"

#include "BoundedImageReader.h"

#include <QtCore/QLocale>
#include <QtCore/QTextStream>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtGui/QWheelEvent>

#include <cmath>

namespace {

constexpr double Pi = 3.141592653589793;
constexpr double WheelStepIn = 1.0905077326652577;  // 2^(1/8)
constexpr double WheelStepOut = 0.9170040432046712; // 2^(-1/8)
constexpr int MaxImageSide = 16384;
constexpr qint64 MaxImageBytes = qint64(256) << 20;

// Mercator ordinate of a latitude, ln(tan phi + 1 / cos phi), written as asinh(tan phi):
// the same values, but odd and finite right up to both poles. Latitudes past a pole do
// not exist, so they stop there.
double mercator(double latitude)
{
    const double phi = qBound(-90.0, latitude, 90.0) * Pi / 180;
    return std::asinh(std::tan(phi));
}

int zoomPercent(double zoom)
{
    return int(qBound(-2147483647.0, zoom * 100.0, 2147483647.0));
}

// One scanned or exported map named by the host: large, but not gigabytes.
const BoundedImageReader &mapImageReader()
{
    static const BoundedImageReader reader(QSize(MaxImageSide, MaxImageSide), MaxImageBytes);
    return reader;
}

} // namespace

ImageMapView::ImageMapView(QWidget *parent) : QGraphicsView(parent), d(new Private(this)) { }

ImageMapView::~ImageMapView()
{
    delete d;
}

void ImageMapView::Private::updateTransform()
{
    if (pixmap.isNull())
        return;
    if (geoRect.width() == 0 || geoRect.height() == 0) {
        geoRect = QRectF(0, 0, pixmap.width(), pixmap.height());
        geographic = false;
    }

    const double sx = pixmap.width() / geoRect.width();
    const double sy = pixmap.height() / geoRect.height();
    if (!std::isfinite(sx) || !std::isfinite(sy) || sx == 0 || sy == 0)
        return;
    const double oldZoom = view->transform().m11() / baseMatrix.m11();
    baseMatrix = QTransform(sx, 0, 0, sy, -geoRect.left() * sx, -geoRect.top() * sy);
    view->setTransform(baseMatrix);
    view->setZoom(oldZoom);

    if (merkatorProjection) {
        mercatorTop = mercator(geoRect.top());
        const double span = mercatorTop - mercator(geoRect.bottom());
        mercatorScale = span != 0 ? (pixmap.height() - 1) / span : 0.0;
    }
}

// Only latitudes can be corrected: a pixel rectangle has none, and a rectangle wholly
// past one pole has no Mercator height.
bool ImageMapView::Private::mercatorApplies() const
{
    return merkatorProjection && geographic && mercatorScale != 0;
}

void ImageMapView::drawBackground(QPainter *painter, const QRectF &rect)
{
    if (d->pixmap.isNull())
        return;
    const QRectF target = painter->worldTransform().mapRect(rect);
    painter->setOpacity(d->backgroundOpacity);
    QRectF source = d->baseMatrix.mapRect(rect);
    if (d->mercatorApplies()) {
        const QPointF mid = mapToScene(viewport()->rect().center());
        const QPointF linear = d->baseMatrix.map(mid);
        const double rows = (d->mercatorTop - mercator(mid.y())) * d->mercatorScale - linear.y();
        if (std::isfinite(rows))
            source.translate(0, int(qBound(-1e9, rows, 1e9)));
    }
    painter->setWorldTransform(QTransform());
    painter->drawPixmap(target, d->pixmap, source);
}

double ImageMapView::zoom() const
{
    return transform().m11() / d->baseMatrix.m11();
}

void ImageMapView::setZoom(double z)
{
    if (!(z > 0) || !std::isfinite(z))
        return;
    const double s = d->baseMatrix.m11() * z / transform().m11();
    if (!std::isfinite(s) || s == 0)
        return;
    scale(s, s);
    Q_EMIT zoomChanged(z);
    Q_EMIT zoomChanged(zoomPercent(z));
}

void ImageMapView::setZoom(int percent)
{
    setZoom(percent / 100.0);
}

void ImageMapView::wheelEvent(QWheelEvent *e)
{
    e->accept();
    const QPoint angle = e->angleDelta();
    const int delta = qAbs(angle.x()) > qAbs(angle.y()) ? angle.x() : angle.y();
    if (delta < 0 && scene()) {
        const QRectF fitted = mapFromScene(scene()->sceneRect()).boundingRect();
        if (fitted.width() <= viewport()->width() && fitted.height() <= viewport()->height())
            return;
    }
    const int steps = delta / 120;
    if (steps == 0)
        return;
    double factor = 1.0;
    for (int i = 0; i < qAbs(steps); ++i)
        factor *= steps > 0 ? WheelStepIn : WheelStepOut;
    scale(factor, factor);
    const double z = zoom();
    Q_EMIT zoomChanged(z);
    Q_EMIT zoomChanged(zoomPercent(z));
}

void ImageMapView::mouseMoveEvent(QMouseEvent *e)
{
    Q_EMIT mouseMove(mapToScene(e->pos()));
    QGraphicsView::mouseMoveEvent(e);
}

const QPixmap &ImageMapView::pixmap() const
{
    return d->pixmap;
}

void ImageMapView::setPixmap(QPixmap &image)
{
    d->imagePath.clear();
    d->pixmap = image;
    d->updateTransform();
}

QString ImageMapView::imagePath() const
{
    return d->imagePath;
}

void ImageMapView::setImagePath(const QString &path)
{
    const QImage image = mapImageReader().readFile(path);
    if (image.isNull())
        return;
    d->pixmap = QPixmap::fromImage(image);
    d->imagePath = path;
    d->updateTransform();
}

QRectF ImageMapView::geoRect() const
{
    return d->geoRect;
}

void ImageMapView::setGeoRect(QRectF &r)
{
    d->geoRect = r;
    d->geographic = true;
    d->updateTransform();
}

QString ImageMapView::binding() const
{
    const QLocale c = QLocale::c();
    const QRectF &r = d->geoRect;
    return QStringLiteral("%1 %2 %3 %4")
        .arg(c.toString(r.left(), 'g', 6), c.toString(r.top(), 'g', 6),
             c.toString(r.right(), 'g', 6), c.toString(r.bottom(), 'g', 6));
}

void ImageMapView::bind(QString &text)
{
    QTextStream stream(&text, QIODevice::ReadOnly);
    stream.setLocale(QLocale::c());
    double left = 0, top = 0, right = 0, bottom = 0;
    stream >> left >> top >> right >> bottom;
    d->geoRect = QRectF(left, top, right - left, bottom - top);
    d->geographic = true;
    d->updateTransform();
}

double ImageMapView::backgroundOpacity() const
{
    return d->backgroundOpacity;
}

void ImageMapView::setBackgroundOpacity(double opacity)
{
    d->backgroundOpacity = opacity;
    viewport()->update();
}

bool ImageMapView::merkatorProjection() const
{
    return d->merkatorProjection;
}

void ImageMapView::setMerkatorCorrection(bool on)
{
    if (on == d->merkatorProjection)
        return;
    d->merkatorProjection = on;
    d->updateTransform();
}

void ImageMapView::clear()
{
    d->imagePath.clear();
    d->pixmap = QPixmap();
}

#include "MapFixture.h"

#include "OsmView.h"
#include "TestTiles.h"
#include "TileAddressing.h"
#include "TileDatabase.h"

#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtTest/QTest>

#include <cmath>

MapFixture::MapFixture(int level, QSize size, bool shown)
    : scene(-180, -85, 360, 170), view(new OsmView(&scene, nullptr))
{
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setFrameShape(QFrame::NoFrame);
    QPalette palette = view->viewport()->palette();
    palette.setColor(QPalette::Base, Qt::white);
    view->viewport()->setPalette(palette);
    view->resize(size);
    view->setOpacity(1.0);
    if (shown) {
        view->show();
        exposed = QTest::qWaitForWindowExposed(view.get());
    }
    view->centerOn(30.3, 59.94);
    view->setZoom(level);
    view->centerOn(30.3, 59.94);
}

MapFixture::~MapFixture() = default;

int MapFixture::level() const
{
    return qBound(view->zoomMin(), int(view->zoomF() + 0.08333333333333333), view->zoomMax());
}

QPoint MapFixture::tileAt(QPointF pixel) const
{
    const int z = level();
    const double tileWidth = 360.0 / std::ldexp(1.0, z);
    const double tileHeight = tileWidth * view->transform().m11() / view->transform().m22();
    const QPointF at = view->mapToScene(QPoint())
        + QPointF(pixel.x() / view->transform().m11(), pixel.y() / view->transform().m22());
    const int anchor = qBound(0, latToTileY(view->mapToScene(QPoint()).y(), z), (1 << z) - 1);
    const int row = anchor + int(std::floor((at.y() - tileYToLat(anchor, z)) / tileHeight));
    return QPoint(int(std::floor((at.x() + 180.0) / tileWidth)), row);
}

QRect MapFixture::visibleTiles() const
{
    const QSize size = view->viewport()->size();
    return QRect(tileAt(QPointF()), tileAt(QPointF(size.width() - 1, size.height() - 1)))
        .normalized()
        .adjusted(-1, -1, 1, 1);
}

QImage MapFixture::grab() const
{
    return view->viewport()->grab().toImage();
}

QImage MapFixture::screen() const
{
    const QImage window
        = view->window()->windowHandle()->screen()->grabWindow(view->window()->winId()).toImage();
    const qreal ratio = window.devicePixelRatio();
    const QRectF area(view->viewport()->mapTo(view->window(), QPoint(0, 0)),
                      view->viewport()->size());
    QImage shown = window.copy(QRectF(area.topLeft() * ratio, area.size() * ratio).toAlignedRect()
                               & window.rect());
    shown.setDevicePixelRatio(ratio);
    return shown;
}

int MapFixture::wrongSamples(const QImage &image, double scale, QRect stored, QString *why) const
{
    const int z = level();
    scale *= image.devicePixelRatio();
    int wrong = 0;
    for (int py = 3; py < image.height(); py += qMax(7, image.height() / 40)) {
        for (int px = 5; px < image.width(); px += qMax(7, image.width() / 40)) {
            const QPoint tile = tileAt(QPointF(px, py) / scale);
            const auto off = [&](double dx, double dy) {
                return tileAt(QPointF(px + dx, py + dy) / scale) != tile;
            };
            if (off(-2, 0) || off(2, 0) || off(0, -2) || off(0, 2))
                continue;
            const QColor expected = stored.contains(tile)
                ? TestTiles::colourOf(tile.x(), tile.y(), z)
                : QColor(Qt::white);
            const QColor c = image.pixelColor(px, py);
            if (TestTiles::sameColour(c, expected))
                continue;
            if (why && why->isEmpty())
                *why = QStringLiteral("pixel (%1, %2) of tile (%3, %4) shows %5, not %6")
                           .arg(px)
                           .arg(py)
                           .arg(tile.x())
                           .arg(tile.y())
                           .arg(c.name(), expected.name());
            ++wrong;
        }
    }
    return wrong;
}

QString writeDatabase(const QString &path, int z, const QRect &tiles)
{
    writeTileDatabase(path, z, tiles,
                      [](int x, int y, int level) { return TestTiles::encoded(x, y, level); });
    return path;
}

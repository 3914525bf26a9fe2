#include "MapFixture.h"

#include "OsmView.h"
#include "TestTiles.h"
#include "TileDatabase.h"
#include "ViewProbe.h"

#include <QtCore/QFile>
#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtCore/QtMath>
#include <QtTest/QTest>

MapFixture::MapFixture(int level, QSize size, bool shown)
    : scene(-180, -85, 360, 170), view(new OsmView(&scene, nullptr))
{
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setFrameShape(QFrame::NoFrame);
    view->setBackgroundBrush(Qt::NoBrush);
    QPalette palette = view->viewport()->palette();
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Window, Qt::white);
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

QRect MapFixture::visibleTiles() const
{
    const QPoint topLeft = ViewProbe::tileAt(*view, QPoint(0, 0));
    const QPoint bottomRight = ViewProbe::tileAt(
        *view, QPoint(view->viewport()->width() - 1, view->viewport()->height() - 1));
    return QRect(topLeft - QPoint(1, 1), bottomRight + QPoint(1, 1));
}

namespace {

template<typename Check>
int sample(OsmView &view, Check check)
{
    const QImage shown = ViewProbe::grab(view);
    int count = 0;
    for (int py = 7; py < shown.height(); py += 37) {
        for (int px = 5; px < shown.width(); px += 41) {
            if (check(QPoint(px, py), shown.pixelColor(px, py)))
                ++count;
        }
    }
    return count;
}

} // namespace

bool MapFixture::showsOwnTiles(QString *why)
{
    const int z = ViewProbe::level(*view);
    // Pixels near a tile edge may blend two tiles; keep to the tiles' interiors.
    const int wrong = sample(*view, [&](QPoint p, const QColor &c) {
        const QPoint tile = ViewProbe::tileAt(*view, p);
        bool nearEdge = false;
        for (const QPoint d : {QPoint(-2, 0), QPoint(2, 0), QPoint(0, -2), QPoint(0, 2)})
            nearEdge = nearEdge || ViewProbe::tileAt(*view, p + d) != tile;
        if (nearEdge || TestTiles::sameColour(c, TestTiles::colourOf(tile.x(), tile.y(), z)))
            return false;
        if (why && why->isEmpty())
            *why = QStringLiteral("pixel (%1, %2) of tile (%3, %4) shows %5")
                       .arg(p.x())
                       .arg(p.y())
                       .arg(tile.x())
                       .arg(tile.y())
                       .arg(c.name());
        return true;
    });
    return wrong == 0;
}

int MapFixture::blankSamples()
{
    return sample(*view, [](QPoint, const QColor &c) { return c == QColor(Qt::white); });
}

int MapFixture::wrongSamples(const QImage &image, double scale, QPointF offset, QRect stored,
                             QString *why)
{
    const int z = ViewProbe::level(*view);
    int wrong = 0;
    for (int py = 3; py < image.height(); py += qMax(7, image.height() / 40)) {
        for (int px = 5; px < image.width(); px += qMax(7, image.width() / 40)) {
            auto at = [&](QPointF d) {
                const QPointF v = (QPointF(px, py) + d) / scale + offset;
                return ViewProbe::tileAt(*view, QPoint(qFloor(v.x()), qFloor(v.y())));
            };
            const QPoint tile = at(QPointF());
            bool nearEdge = false;
            for (const QPointF d : {QPointF(-2, 0), QPointF(2, 0), QPointF(0, -2), QPointF(0, 2)})
                nearEdge = nearEdge || at(d * scale) != tile;
            if (nearEdge)
                continue;
            const QColor expected = stored.contains(tile)
                ? TestTiles::colourOf(tile.x(), tile.y(), z) : QColor(Qt::white);
            const QColor c = image.pixelColor(px, py);
            if (TestTiles::sameColour(c, expected))
                continue;
            if (why && why->isEmpty())
                *why = QStringLiteral("pixel (%1, %2) of tile (%3, %4) shows %5, not %6")
                           .arg(px).arg(py).arg(tile.x()).arg(tile.y()).arg(c.name(), expected.name());
            ++wrong;
        }
    }
    return wrong;
}

QImage MapFixture::screen() const
{
    const QPoint origin = view->viewport()->mapTo(view->window(), QPoint(0, 0));
    const QImage window = view->window()->windowHandle()->screen()
                              ->grabWindow(view->window()->winId()).toImage();
    return window.copy(QRect(origin, view->viewport()->size()));
}

QString writeDatabase(const QString &path, int z, const QRect &tiles)
{
    writeTileDatabase(path, z, tiles, [](int x, int y, int level) {
        return TestTiles::encoded(x, y, level);
    });
    return path;
}

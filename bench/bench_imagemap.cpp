// Repainting an ImageMapView over a large geo-referenced image with the Mercator
// correction on, against the plain drawPixmap(D, pixmap, S) with the same rectangles.
#include "BenchSupport.h"
#include "ImageMapView.h"

#include <QtGui/QPainter>
#include <QtWidgets/QApplication>
#include <QtWidgets/QGraphicsScene>

#include <cmath>
#include <cstdio>

int main(int argc, char **argv)
{
    Bench::useOffscreenPlatform();
    QApplication app(argc, argv);

    QImage image(8000, 8000, QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < image.width(); ++x)
            line[x] = qRgb((x * 7) & 0xff, (y * 5) & 0xff, ((x ^ y) * 3) & 0xff);
    }
    QPixmap pixmap = QPixmap::fromImage(image);
    image = QImage();

    const QRectF geo(20.0, 65.0, 10.0, -10.0);
    QGraphicsScene scene(geo.normalized());
    ImageMapView view;
    view.setScene(&scene);
    Bench::showFullHd(&view);
    view.setProperty("pixmap", pixmap);
    view.setProperty("geoRect", geo);
    view.setZoom(1.3);
    view.centerOn(24.0, 61.0);
    view.viewport()->repaint();

    QImage canvas(1920, 1080, QImage::Format_RGB32);
    const QRectF target(0, 0, 1920, 1080);
    const QRectF exposed = view.mapToScene(view.viewport()->rect()).boundingRect();
    const QTransform base(8000 / geo.width(), 0, 0, 8000 / geo.height(),
                          -geo.left() * 8000 / geo.width(), -geo.top() * 8000 / geo.height());
    const QRectF source = base.mapRect(exposed).translated(0, 17);

    const int runs = 25;
    const double shown = Bench::timeMedian(runs, [&] { view.viewport()->repaint(); });
    const double plain = Bench::timeMedian(runs, [&] {
        QPainter painter(&canvas);
        painter.setOpacity(0.5);
        painter.drawPixmap(target, pixmap, source);
    });
    std::printf("\n| figure | ImageMapView | baseline | ratio | goal |\n|---|---|---|---|---|\n");
    Bench::printRow(QStringLiteral("repaint 1920 x 1080 over 8000 x 8000, Mercator on"), shown,
                    plain, 1.1);
    return 0;
}

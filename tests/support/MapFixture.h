#ifndef MAPFIXTURE_H
#define MAPFIXTURE_H

#include <QtCore/QRect>
#include <QtGui/QImage>
#include <QtWidgets/QGraphicsScene>

#include <memory>

class OsmView;

// An OsmView over a world-sized scene, centred on a city at a native zoom level, drawing
// its tiles fully opaque over a white viewport, so pixels read back are the tiles' own
// colours (TestTiles) or white.
struct MapFixture
{
    MapFixture(int level = 12, QSize size = QSize(512, 384), bool shown = true);
    ~MapFixture();

    // The level shown for the view's fractional zoom.
    int level() const;
    // Column and row of the tile drawn under a viewport pixel: columns from longitude,
    // rows of one height anchored at the grid row under the viewport's top-left pixel.
    QPoint tileAt(QPointF pixel) const;
    // Columns and rows (inclusive) that the viewport shows, with a margin of one.
    QRect visibleTiles() const;
    // The viewport painted anew, and as it stands in the window's backing store, in device
    // pixels with the screen's pixel ratio. The offscreen platform hands out no more of a
    // window than its logical size in pixels: at a ratio above 1, screen() is the part of
    // the viewport it gives, from the top left.
    QImage grab() const;
    QImage screen() const;
    // Sampled pixels of an image that do not show their own tile, where image pixel p
    // shows viewport pixel p / (scale * the image's pixel ratio); pixels of tiles outside
    // `stored` must be white. Pixels near a tile edge are skipped.
    int wrongSamples(const QImage &image, double scale = 1.0,
                     QRect stored = QRect(0, 0, 1 << 20, 1 << 20), QString *why = nullptr) const;

    QGraphicsScene scene;
    std::unique_ptr<OsmView> view;
    bool exposed = false;
};

QString writeDatabase(const QString &path, int z, const QRect &tiles);

#endif

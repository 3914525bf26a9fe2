#ifndef MAPFIXTURE_H
#define MAPFIXTURE_H

#include <QtCore/QRect>
#include <QtWidgets/QGraphicsScene>

#include <memory>

class OsmView;

// A shown OsmView over a world-sized scene, centred on a city at a native zoom level,
// drawing its tiles fully opaque so pixels read back are the tiles' own colours.
struct MapFixture
{
    MapFixture(int level = 12, QSize size = QSize(512, 384), bool shown = true);
    ~MapFixture();

    // Columns and rows (inclusive) that the viewport shows, with a margin of one.
    QRect visibleTiles() const;
    // Whether every sampled viewport pixel shows the colour of its own tile.
    bool showsOwnTiles(QString *why = nullptr);
    // How many sampled pixels show nothing but the viewport background.
    int blankSamples();
    // Sampled pixels of an image that do not show their own tile, where image pixel p
    // shows viewport pixel p / scale + offset; pixels of tiles outside `stored` must be
    // blank instead. Pixels near a tile edge are skipped.
    int wrongSamples(const QImage &image, double scale = 1.0, QPointF offset = QPointF(),
                     QRect stored = QRect(0, 0, 1 << 20, 1 << 20), QString *why = nullptr);
    // The viewport as it stands in the window's backing store, not painted anew.
    QImage screen() const;

    QGraphicsScene scene;
    std::unique_ptr<OsmView> view;
    bool exposed = false;
};

QString writeDatabase(const QString &path, int z, const QRect &tiles);

#endif

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
    MapFixture(int level = 12, QSize size = QSize(512, 384));
    ~MapFixture();

    // Columns and rows (inclusive) that the viewport shows, with a margin of one.
    QRect visibleTiles() const;
    // Whether every sampled viewport pixel shows the colour of its own tile.
    bool showsOwnTiles(QString *why = nullptr);
    // How many sampled pixels show nothing but the viewport background.
    int blankSamples();

    QGraphicsScene scene;
    std::unique_ptr<OsmView> view;
    bool exposed = false;
};

QString writeDatabase(const QString &path, int z, const QRect &tiles);

#endif

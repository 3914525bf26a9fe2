#ifndef WORKSTATION_H
#define WORKSTATION_H

#include <QtWidgets/QMainWindow>

class CrossView;
class ImageMapView;
class MapScene;
class OsmView;
class QGraphicsScene;
class QLabel;

namespace Sivel {
class Light;
}

// The demo workstation: the tile map with its operations pane and the host's layers,
// the image map of the same area, and the intersection of the light last clicked.
class Workstation : public QMainWindow
{
    Q_OBJECT

public:
    // sampleDir holds the generated sample data; tileServer is a URL template with
    // %1 (level), %2 (column) and %3 (row), or empty; maps are tile stores listed after
    // the sample maps.
    Workstation(const QString &sampleDir, const QString &tileServer,
                const QStringList &maps = QStringList(), QWidget *parent = nullptr);
    ~Workstation() override;

    OsmView *map() const { return m_map; }
    void showLight(QObject *light);

private:
    void buildScene(MapScene *scene);
    void buildLights();
    void addMaps(const QString &tileServer, const QStringList &maps);
    QWidget *buildImageMap();

    QString m_sampleDir;
    MapScene *m_scene = nullptr;
    QGraphicsScene *m_imageScene = nullptr;
    OsmView *m_map = nullptr;
    ImageMapView *m_imageMap = nullptr;
    CrossView *m_cross = nullptr;
    QLabel *m_position = nullptr;
    QLabel *m_zoom = nullptr;
    QList<Sivel::Light *> m_lights;
};

#endif

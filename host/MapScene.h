#ifndef MAPSCENE_H
#define MAPSCENE_H

#include <QtCore/QList>
#include <QtWidgets/QGraphicsObject>
#include <QtWidgets/QGraphicsScene>

class MapLayer;

// The reference host's scene, in longitude (x) and latitude (y), holding its items in
// named layers.
//
// Contract: invokable "QGraphicsObject* layer(QString)" and
// "QList<QGraphicsObject*> layers()", and a signal layerAdded(QString) for each new
// layer. The widgets call the two methods directly, so the scene lives on the GUI thread.
class MapScene : public QGraphicsScene
{
    Q_OBJECT

public:
    explicit MapScene(QObject *parent = nullptr);

    // Creates a layer of that name at the given stacking order and announces it.
    MapLayer *addLayer(const QString &name, qreal z = 0);

    Q_INVOKABLE QGraphicsObject *layer(QString name) const;
    Q_INVOKABLE QList<QGraphicsObject *> layers() const;

Q_SIGNALS:
    void layerAdded(QString name);
};

#endif

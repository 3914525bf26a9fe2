#include "MapScene.h"

#include "MapLayer.h"

MapScene::MapScene(QObject *parent) : QGraphicsScene(parent) { }

MapLayer *MapScene::addLayer(const QString &name, qreal z)
{
    auto *layer = new MapLayer(name);
    layer->setZValue(z);
    addItem(layer);
    Q_EMIT layerAdded(name);
    return layer;
}

QGraphicsObject *MapScene::layer(QString name) const
{
    for (QGraphicsObject *l : layers()) {
        if (l->property("name").toString() == name)
            return l;
    }
    return nullptr;
}

QList<QGraphicsObject *> MapScene::layers() const
{
    QList<QGraphicsObject *> found;
    const QList<QGraphicsItem *> all = items(Qt::AscendingOrder);
    for (QGraphicsItem *item : all) {
        if (auto *l = dynamic_cast<MapLayer *>(item))
            found.append(l);
    }
    return found;
}

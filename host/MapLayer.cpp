#include "MapLayer.h"

MapLayer::MapLayer(const QString &name, QGraphicsItem *parent)
    : QGraphicsObject(parent), m_name(name)
{
    setFlag(ItemHasNoContents);
}

QVariant MapLayer::itemChange(GraphicsItemChange change, const QVariant &value)
{
    if (change == ItemVisibleHasChanged)
        Q_EMIT visibleChanged(value.toBool());
    return QGraphicsObject::itemChange(change, value);
}

#ifndef LIGHTITEM_H
#define LIGHTITEM_H

#include <QtWidgets/QGraphicsObject>

namespace Sivel {
class Light;
}

// A traffic light on the map: a marker of constant screen size at the light's position.
class LightItem : public QGraphicsObject
{
    Q_OBJECT

public:
    LightItem(Sivel::Light *light, QPointF position, QGraphicsItem *parent = nullptr);

    QRectF boundingRect() const override;
    void paint(QPainter *painter, const QStyleOptionGraphicsItem *, QWidget *) override;

Q_SIGNALS:
    void clicked(QObject *light);

protected:
    void mousePressEvent(QGraphicsSceneMouseEvent *event) override;

private:
    Sivel::Light *m_light;
};

#endif

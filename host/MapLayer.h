#ifndef MAPLAYER_H
#define MAPLAYER_H

#include <QtWidgets/QGraphicsObject>

// A named group of the host's items; hiding the layer hides them all.
//
// Contract: a QGraphicsObject with a property "name", a slot setVisible(bool) and a
// signal visibleChanged(bool) declared in its own meta-object (QGraphicsObject's
// visibleChanged() carries no value and it has no such slot).
class MapLayer : public QGraphicsObject
{
    Q_OBJECT
    Q_PROPERTY(QString name READ name CONSTANT)

public:
    explicit MapLayer(const QString &name, QGraphicsItem *parent = nullptr);

    QString name() const { return m_name; }

    QRectF boundingRect() const override { return QRectF(); }
    void paint(QPainter *, const QStyleOptionGraphicsItem *, QWidget *) override { }

public Q_SLOTS:
    void setVisible(bool visible) { QGraphicsObject::setVisible(visible); }

Q_SIGNALS:
    void visibleChanged(bool visible);

protected:
    QVariant itemChange(GraphicsItemChange change, const QVariant &value) override;

private:
    QString m_name;
};

#endif

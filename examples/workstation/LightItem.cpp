#include "LightItem.h"

#include "Light.h"

#include <QtGui/QCursor>
#include <QtGui/QPainter>
#include <QtWidgets/QGraphicsSceneMouseEvent>

LightItem::LightItem(Sivel::Light *light, QPointF position, QGraphicsItem *parent)
    : QGraphicsObject(parent), m_light(light)
{
    setPos(position);
    setFlag(ItemIgnoresTransformations);
    setCursor(Qt::PointingHandCursor);
    setToolTip(QStringLiteral("%1: %2").arg(light->id()).arg(light->description()));
    connect(light, &Sivel::Light::stateChanged, this, [this] { update(); });
}

QRectF LightItem::boundingRect() const
{
    return QRectF(-10, -26, 60, 36);
}

void LightItem::paint(QPainter *painter, const QStyleOptionGraphicsItem *, QWidget *)
{
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(QPen(Qt::black, 1.5));
    painter->setBrush(QColor(0x30, 0x30, 0x30));
    painter->drawRoundedRect(QRectF(-8, -24, 16, 32), 4, 4);
    const bool connected = m_light->isConnected();
    const bool transition = m_light->transitionFlag().toInt() > 0;
    const QColor lamps[] = {transition ? QColor(0xff, 0xc0, 0x20) : QColor(0x60, 0x20, 0x20),
                            connected && !transition ? QColor(0x30, 0xe0, 0x50) : QColor(0x20, 0x50, 0x20)};
    painter->setPen(Qt::NoPen);
    painter->setBrush(lamps[0]);
    painter->drawEllipse(QPointF(0, -15), 5, 5);
    painter->setBrush(lamps[1]);
    painter->drawEllipse(QPointF(0, -2), 5, 5);
    painter->setPen(Qt::black);
    painter->drawText(QRectF(12, -24, 40, 16), Qt::AlignLeft | Qt::AlignVCenter,
                      QString::number(m_light->id()));
}

void LightItem::mousePressEvent(QGraphicsSceneMouseEvent *event)
{
    event->accept();
    Q_EMIT clicked(m_light);
}

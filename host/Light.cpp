#include "Light.h"

namespace Sivel {

Light::Light(QObject *parent) : QObject(parent) { }

Phase *Light::addPhase(int id, const QVariant &shema)
{
    auto *phase = new Phase(id, shema, this);
    m_phases.append(phase);
    return phase;
}

QList<QObject *> Light::phases() const
{
    return m_phases;
}

} // namespace Sivel

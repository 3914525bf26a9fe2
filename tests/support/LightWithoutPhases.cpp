#include "LightWithoutPhases.h"

#include <QtCore/QObject>
#include <QtCore/QVariant>

// Its own file: the class name is the reference host's, so the two must never meet in one
// translation unit.
namespace {
namespace Sivel {

class Light : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QVariant shema MEMBER shema)
    Q_PROPERTY(int currentPhase MEMBER currentPhase)

public:
    using QObject::QObject;
    QVariant shema;
    int currentPhase = -1;

Q_SIGNALS:
    void stateChanged();
};

} // namespace Sivel
} // namespace

QObject *createLightWithoutPhases(const QVariant &scheme, QObject *parent)
{
    auto *light = new Sivel::Light(parent);
    light->shema = scheme;
    return light;
}

#include "LightWithoutPhases.moc"

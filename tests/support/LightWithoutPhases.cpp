#include "LightWithoutPhases.h"

#include <QtCore/QObject>

// Its own file: the class name is the reference host's, so the two must never meet in one
// translation unit.
namespace {
namespace Sivel {

class Light : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

Q_SIGNALS:
    void stateChanged();
};

} // namespace Sivel
} // namespace

QObject *createLightWithoutPhases(QObject *parent)
{
    return new Sivel::Light(parent);
}

#include "LightWithoutPhases.moc"

#ifndef LIGHTSIMULATOR_H
#define LIGHTSIMULATOR_H

#include <QtCore/QObject>
#include <QtCore/QTimer>
#include <QtCore/QVector>

namespace Sivel {
class Light;
}

// Runs a light through its phases: each phase for its length in seconds, then a
// transition of a few seconds into the next. The connection to the light's
// controller can be dropped and restored.
class LightSimulator : public QObject
{
    Q_OBJECT

public:
    struct Step
    {
        int phase;
        int seconds;
    };

    LightSimulator(Sivel::Light *light, QVector<Step> plan, int transitionSeconds,
                   QObject *parent = nullptr);

    void start();
    void setConnected(bool on);
    // One simulated second.
    void tick();

private:
    void enterPhase(int index);

    Sivel::Light *m_light;
    QVector<Step> m_plan;
    int m_transitionSeconds;
    int m_index = 0;
    int m_secondsInStep = 0;
    QTimer m_timer;
};

#endif

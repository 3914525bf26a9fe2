#include "LightSimulator.h"

#include "Light.h"

LightSimulator::LightSimulator(Sivel::Light *light, QVector<Step> plan, int transitionSeconds,
                               QObject *parent)
    : QObject(parent), m_light(light), m_plan(std::move(plan)), m_transitionSeconds(transitionSeconds)
{
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &LightSimulator::tick);
}

void LightSimulator::start()
{
    if (m_plan.isEmpty())
        return;
    enterPhase(0);
    m_timer.start();
}

void LightSimulator::setConnected(bool on)
{
    m_light->setConnected(on);
    m_light->setPhaseChangeTime(QDateTime::currentDateTime());
    m_light->notify();
}

void LightSimulator::enterPhase(int index)
{
    m_index = index;
    m_secondsInStep = 0;
    m_light->setCurrentPhase(m_plan[index].phase);
    m_light->setPhaseLength(m_plan[index].seconds);
    m_light->setTransitionFlag(0);
    m_light->setPhaseChangeTime(QDateTime::currentDateTime());
    m_light->notify();
}

void LightSimulator::tick()
{
    if (m_plan.isEmpty() || !m_light->isConnected())
        return;
    ++m_secondsInStep;
    const Step &step = m_plan[m_index];
    if (m_secondsInStep == step.seconds) {
        // The transition counts down from the phase's start like the controller does.
        m_light->setTransitionFlag(step.seconds + m_transitionSeconds);
        m_light->notify();
    } else if (m_secondsInStep >= step.seconds + m_transitionSeconds) {
        enterPhase((m_index + 1) % m_plan.size());
    }
}

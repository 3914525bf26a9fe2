#include "RunClock.h"

RunClock::RunClock(bool simulated, QObject *parent) : QObject(parent), simulated(simulated)
{
    elapsed.start();
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &RunClock::woke);
}

qint64 RunClock::now() const
{
    return simulated ? simulatedNow : elapsed.elapsed();
}

void RunClock::wakeAt(qint64 at)
{
    if (simulated)
        simulatedNow = qMax(simulatedNow, at);
    // A long pause (an hour at most) still fits QTimer's int milliseconds.
    timer.start(int(qBound<qint64>(0, at - now(), 24 * 3600 * 1000)));
}

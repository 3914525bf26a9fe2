#include "RunClock.h"

#include <limits>

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
    // Beyond QTimer's range it wakes early, and is asked to wait again.
    timer.start(int(qBound(qint64(0), at - now(), qint64(std::numeric_limits<int>::max()))));
}

#include "Pacer.h"

#include <cmath>

Pacer::Pacer(double rate) : m_interval(rate > 0 ? 1000.0 / rate : 0) { }

qint64 Pacer::nextAllowed() const
{
    return qMax(qint64(std::ceil(m_next)), m_pauseEnd);
}

void Pacer::sent(qint64 now)
{
    // From the later of the slot and the send, so that an idle spell earns no burst.
    m_next = qMax(m_next, double(now)) + m_interval;
}

void Pacer::pauseUntil(qint64 at)
{
    m_pauseEnd = qMax(m_pauseEnd, at);
}

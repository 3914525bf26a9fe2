#ifndef PACER_H
#define PACER_H

#include <QtCore/QtGlobal>

// When the next request may go: no sooner than the rate allows after the one before,
// and not while the server has asked for a pause. Times are milliseconds of a RunClock.
class Pacer
{
public:
    // Requests per second; 0 for no limit.
    explicit Pacer(double rate = 0);

    qint64 nextAllowed() const;
    void sent(qint64 now);
    void pauseUntil(qint64 at);
    qint64 pausedUntil() const { return m_pauseEnd; }

private:
    double m_interval = 0;
    double m_next = 0;
    qint64 m_pauseEnd = 0;
};

#endif

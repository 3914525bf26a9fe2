#ifndef RUNCLOCK_H
#define RUNCLOCK_H

#include <QtCore/QElapsedTimer>
#include <QtCore/QObject>
#include <QtCore/QTimer>

// Milliseconds since the run began, and one wake-up at a time. A simulated clock jumps
// to the wake-up instead of waiting for it, so that rate limits, pauses and progress
// intervals can be run through without the time they stand for.
class RunClock : public QObject
{
    Q_OBJECT

public:
    explicit RunClock(bool simulated, QObject *parent = nullptr);

    qint64 now() const;
    // Emits woke() once the clock reads `at`; replaces a wake-up not yet due.
    void wakeAt(qint64 at);

Q_SIGNALS:
    void woke();

private:
    bool simulated;
    qint64 simulatedNow = 0;
    QElapsedTimer elapsed;
    QTimer timer;
};

#endif

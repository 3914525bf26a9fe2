#ifndef STOPSIGNALS_H
#define STOPSIGNALS_H

#include <QtCore/QObject>

#include <memory>

class QSocketNotifier;

// SIGINT (Ctrl-C) and SIGTERM, caught while an object of this class lives, so that a
// run can stop in order: write what arrived, report, and exit with 128 plus the signal.
// One object at a time; the previous handlers come back with its destruction.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

    // The first signal caught, 0 before any: for work that runs without the event loop.
    static int caught();

Q_SIGNALS:
    // Once per signal, through the event loop; a second one means: stop now.
    void received(int signo);

private:
    void readSignals();

    std::unique_ptr<QSocketNotifier> notifier;
};

#endif

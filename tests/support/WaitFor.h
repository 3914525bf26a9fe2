#ifndef WAITFOR_H
#define WAITFOR_H

#include <QtCore/QDeadlineTimer>
#include <QtTest/QTest>

// Runs the event loop until condition() holds, at most timeoutMs, looking again every
// 5 ms: a loopback server or a store's timer answers within a few, where QTRY_* would
// look again only after 50 ms.
template<typename F>
[[nodiscard]] bool waitFor(F condition, int timeoutMs = 5000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

// Compares once the two are equal or the time is up, so that a failure shows both values.
#define WAIT_COMPARE_WITHIN(actual, expected, timeoutMs) \
    do { \
        (void)waitFor([&] { return (actual) == (expected); }, timeoutMs); \
        QCOMPARE(actual, expected); \
    } while (false)
#define WAIT_COMPARE(actual, expected) WAIT_COMPARE_WITHIN(actual, expected, 5000)

#endif

#ifndef QUICKTRY_H
#define QUICKTRY_H

#include <QtTest/qtestcase.h>

// QTRY_* look again every 50 ms; loopback servers and the stores' timers answer within a
// few, so these tests look every 5 ms, with the same timeouts.
#undef QTRY_IMPL
#define QTRY_IMPL(expr, timeout) \
    const int qt_test_step = 5; \
    const int qt_test_timeoutValue = timeout; \
    { QTRY_LOOP_IMPL((expr), qt_test_timeoutValue, qt_test_step); } \
    QTRY_TIMEOUT_DEBUG_IMPL((expr), qt_test_timeoutValue, qt_test_step)

#endif

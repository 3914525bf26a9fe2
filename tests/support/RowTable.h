#ifndef ROWTABLE_H
#define ROWTABLE_H

#include <QtTest/QTest>

// Feeds a static table of structs to Qt Test: one row per entry, named by its first
// member `name`, carrying the entry's index in the column "row".
template<typename Row, int N>
void addRows(const Row (&rows)[N])
{
    QTest::addColumn<int>("row");
    for (int i = 0; i < N; ++i)
        QTest::newRow(rows[i].name) << i;
}

#endif

#ifndef ROWTABLE_H
#define ROWTABLE_H

#include <QtTest/QTest>

#include <cstddef>

// Feeds a static table of structs to Qt Test: one row per entry, named by its first
// member `name`, carrying the entry's index in the column "row".
template<typename Row, std::size_t N>
void addRows(const Row (&rows)[N])
{
    QTest::addColumn<int>("row");
    for (std::size_t i = 0; i < N; ++i)
        QTest::newRow(rows[i].name) << int(i);
}

#endif

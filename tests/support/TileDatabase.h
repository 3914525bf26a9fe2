#ifndef TILEDATABASE_H
#define TILEDATABASE_H

#include <QtCore/QByteArray>
#include <QtCore/QRect>
#include <QtCore/QString>
#include <QtCore/QVariant>

#include <functional>

// Writes a new tile database from the compiled-in template, holding the tiles of
// [left, right] x [top, bottom] at level z as `encode(x, y, z)` makes them.
void writeTileDatabase(const QString &path, int z, const QRect &tiles,
                       const std::function<QByteArray(int, int, int)> &encode);
// Runs each statement once per row of bound values, in one transaction, through a
// connection of the caller's own; the first value the last run returned.
QVariant runSql(const QString &path, const QStringList &statements,
                const QList<QVariantList> &rows = {{}});

#endif

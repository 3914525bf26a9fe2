#ifndef TILEDATABASE_H
#define TILEDATABASE_H

#include <QtCore/QByteArray>
#include <QtCore/QRect>
#include <QtCore/QString>

#include <functional>

// Writes a new tile database from the compiled-in template, holding the tiles of
// [left, right] x [top, bottom] at level z as `encode(x, y, z)` makes them.
void writeTileDatabase(const QString &path, int z, const QRect &tiles,
                       const std::function<QByteArray(int, int, int)> &encode);

#endif

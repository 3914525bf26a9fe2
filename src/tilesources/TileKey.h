#ifndef TILEKEY_H
#define TILEKEY_H

#include <QtCore/QHashFunctions>

// The address of one tile of the Web Mercator grid: column x from the west edge, row y
// from the north edge, level z with 2^z columns and rows.
struct TileKey
{
    // The deepest level anything of this library reads, writes or requests: 2^30 columns
    // still fit an int, and no tile server publishes deeper.
    static constexpr int MaxLevel = 30;

    int x = 0;
    int y = 0;
    int z = 0;

    TileKey() = default;
    TileKey(int x, int y, int z) : x(x), y(y), z(z) { }

    static constexpr bool isLevel(int z) { return z >= 0 && z <= MaxLevel; }
    // Columns and rows of level z; 0 for a level that is not one.
    static constexpr qint64 side(int z) { return isLevel(z) ? qint64(1) << z : 0; }

    // A tile the grid has: its level is one, and its column and row are on it.
    constexpr bool isOnGrid() const
    {
        return isLevel(z) && x >= 0 && x < side(z) && y >= 0 && y < side(z);
    }

    friend bool operator==(const TileKey &a, const TileKey &b)
    {
        return a.x == b.x && a.y == b.y && a.z == b.z;
    }
};

inline uint qHash(const TileKey &key, uint seed = 0)
{
    return qHash(quint64(quint32(key.x)) << 32 | quint32(key.y), seed) ^ uint(key.z);
}

#endif

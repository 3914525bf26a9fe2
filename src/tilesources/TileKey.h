#ifndef TILEKEY_H
#define TILEKEY_H

#include <QtCore/QHashFunctions>

struct TileKey
{
    int x = 0;
    int y = 0;
    int z = 0;

    TileKey() = default;
    TileKey(int x, int y, int z) : x(x), y(y), z(z) { }

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

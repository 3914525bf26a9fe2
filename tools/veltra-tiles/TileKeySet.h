#ifndef TILEKEYSET_H
#define TILEKEYSET_H

#include "TileKey.h"

#include <vector>

// A set of tile keys in eight bytes each, for the keys of a whole store: filled first,
// then sorted once, then asked.
class TileKeySet
{
public:
    // Keys off the grid are not kept.
    void insert(const TileKey &key);
    // Sorts and drops repeats; call it after the last insert and before contains().
    void seal();
    bool contains(const TileKey &key) const;
    qint64 size() const;

private:
    std::vector<quint64> m_levels[TileKey::MaxLevel + 1]; // column << 32 | row
};

#endif

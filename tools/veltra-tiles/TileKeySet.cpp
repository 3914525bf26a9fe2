#include "TileKeySet.h"

#include <algorithm>

namespace {

quint64 packed(const TileKey &key)
{
    return quint64(quint32(key.x)) << 32 | quint32(key.y);
}

} // namespace

void TileKeySet::insert(const TileKey &key)
{
    if (key.isOnGrid())
        m_levels[key.z].push_back(packed(key));
}

void TileKeySet::seal()
{
    for (std::vector<quint64> &level : m_levels) {
        std::sort(level.begin(), level.end());
        level.erase(std::unique(level.begin(), level.end()), level.end());
        level.shrink_to_fit();
    }
}

bool TileKeySet::contains(const TileKey &key) const
{
    if (!key.isOnGrid())
        return false;
    const std::vector<quint64> &level = m_levels[key.z];
    return std::binary_search(level.begin(), level.end(), packed(key));
}

qint64 TileKeySet::size() const
{
    qint64 n = 0;
    for (const std::vector<quint64> &level : m_levels)
        n += qint64(level.size());
    return n;
}

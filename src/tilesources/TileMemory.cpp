#include "TileMemory.h"

qint64 TileMemory::costOf(const QPixmap &pixmap)
{
    return qint64(pixmap.width()) * pixmap.height() * pixmap.depth() / 8;
}

void TileMemory::setBudget(qint64 bytes)
{
    budgetBytes = qMax<qint64>(0, bytes);
    makeRoom(0, true, true);
}

void TileMemory::setShown(int z, const QRect &tiles)
{
    shownLevel = z;
    shownTiles = tiles;
}

void TileMemory::beginOutlook()
{
    for (const TileKey &key : prepared)
        entries[key].kind = Kind::Earlier;
    earlier.splice(earlier.end(), prepared);
}

bool TileMemory::keepForOutlook(const TileKey &key)
{
    const auto it = entries.find(key);
    if (it == entries.end())
        return false;
    if (it->kind == Kind::Earlier) {
        prepared.splice(prepared.end(), earlier, it->position);
        it->kind = Kind::Prepared;
    }
    return true;
}

QPixmap TileMemory::take(const TileKey &key)
{
    const auto it = entries.find(key);
    if (it == entries.end())
        return QPixmap();
    drawn.splice(drawn.end(), listOf(it->kind), it->position);
    it->kind = Kind::Drawn;
    return it->pixmap;
}

void TileMemory::insert(const TileKey &key, const QPixmap &pixmap)
{
    remove(key);
    const qint64 cost = costOf(pixmap);
    makeRoom(cost, true, true);
    entries.insert(key, {pixmap, cost, Kind::Drawn, drawn.insert(drawn.end(), key)});
    heldBytes += cost;
}

bool TileMemory::insertPrepared(const TileKey &key, const QPixmap &pixmap)
{
    if (entries.contains(key))
        return true;
    const qint64 cost = costOf(pixmap);
    if (!makeRoom(cost, false, false))
        return false;
    entries.insert(key, {pixmap, cost, Kind::Prepared, prepared.insert(prepared.end(), key)});
    heldBytes += cost;
    return true;
}

void TileMemory::clear()
{
    entries.clear();
    drawn.clear();
    prepared.clear();
    earlier.clear();
    heldBytes = 0;
}

std::list<TileKey> &TileMemory::listOf(Kind kind)
{
    switch (kind) {
    case Kind::Prepared:
        return prepared;
    case Kind::Earlier:
        return earlier;
    case Kind::Drawn:
        break;
    }
    return drawn;
}

bool TileMemory::isShown(const TileKey &key) const
{
    return key.z == shownLevel && shownTiles.contains(key.x, key.y);
}

void TileMemory::remove(const TileKey &key)
{
    const auto it = entries.find(key);
    if (it == entries.end())
        return;
    listOf(it->kind).erase(it->position);
    heldBytes -= it->cost;
    entries.erase(it);
}

bool TileMemory::makeRoom(qint64 needed, bool preparedToo, bool shownToo)
{
    const auto fits = [&] { return heldBytes + needed <= budgetBytes; };
    while (!fits() && !earlier.empty())
        remove(earlier.front());
    for (auto it = drawn.begin(); !fits() && it != drawn.end();) {
        const TileKey key = *it++;
        if (!isShown(key))
            remove(key);
    }
    while (preparedToo && !fits() && !prepared.empty())
        remove(prepared.back());
    while (shownToo && !fits() && !drawn.empty())
        remove(drawn.front());
    return fits();
}

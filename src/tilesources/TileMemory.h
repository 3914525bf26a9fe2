#ifndef TILEMEMORY_H
#define TILEMEMORY_H

#include "TileKey.h"

#include <QtCore/QHash>
#include <QtCore/QRect>
#include <QtGui/QPixmap>

#include <list>

// Decoded tiles within a budget of bytes, so that a tile scrolled back into view or
// prepared ahead costs no read and no decode. A tile is drawn (asked for by a paint) or
// prepared (decoded ahead of a paint that may need it). When room is needed, what goes
// first is what is least likely drawn next: tiles prepared for an earlier outlook, then
// drawn tiles the view no longer shows, least recently drawn first, then the farthest of
// the tiles prepared for the current outlook, and only then tiles on screen. A prepared
// tile never takes the place of one on screen or of one prepared for the same outlook.
class TileMemory
{
public:
    qint64 budget() const { return budgetBytes; }
    // Gives up tiles until the rest fit.
    void setBudget(qint64 bytes);
    qint64 bytes() const { return heldBytes; }
    int count() const { return int(entries.size()); }

    // The tiles on screen, at level z.
    void setShown(int z, const QRect &tiles);
    // Tiles prepared from now on belong to a new outlook; earlier ones go first.
    void beginOutlook();

    bool contains(const TileKey &key) const { return entries.contains(key); }
    // Whether the tile is held; one prepared for an earlier outlook belongs to this one now.
    bool keepForOutlook(const TileKey &key);
    // The tile, null when not held; it counts as drawn now.
    QPixmap take(const TileKey &key);
    void insert(const TileKey &key, const QPixmap &pixmap);
    // False when the tile does not fit without giving up one on screen or one prepared
    // for the same outlook; it is not kept then.
    bool insertPrepared(const TileKey &key, const QPixmap &pixmap);
    void clear();

    static qint64 costOf(const QPixmap &pixmap);

private:
    enum class Kind { Drawn, Prepared, Earlier };
    struct Entry
    {
        QPixmap pixmap;
        qint64 cost = 0;
        Kind kind = Kind::Drawn;
        std::list<TileKey>::iterator position;
    };

    std::list<TileKey> &listOf(Kind kind);
    bool isShown(const TileKey &key) const;
    void remove(const TileKey &key);
    // Gives up tiles until `needed` more bytes fit, none on screen unless `shownToo`, none
    // prepared for this outlook unless `preparedToo`. False when that is not enough.
    bool makeRoom(qint64 needed, bool preparedToo, bool shownToo);

    QHash<TileKey, Entry> entries;
    std::list<TileKey> drawn;    // least recently drawn first
    std::list<TileKey> prepared; // this outlook's, nearest first
    std::list<TileKey> earlier;  // earlier outlooks', oldest first
    qint64 budgetBytes = 0;
    qint64 heldBytes = 0;
    int shownLevel = -1;
    QRect shownTiles;
};

#endif

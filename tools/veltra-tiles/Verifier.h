#ifndef VERIFIER_H
#define VERIFIER_H

#include "Tiles.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QMap>
#include <QtCore/QVector>

// Decodes every stored tile and finds the ones that are no tile image: error pages that
// older tools stored as tiles, empty or truncated files, formats the map cannot show.
// Every copy of a tile held twice is looked at, and stored tiles that cannot be read
// (too large, off the grid) are counted rather than passed over. Optionally removes the
// bad copies, and nothing else, so that a later seed fetches them again.
class Verifier
{
    Q_DECLARE_TR_FUNCTIONS(Verifier)

public:
    struct Bad
    {
        TileKey key;
        QString what;
    };

    // False when the store could not be read to the end.
    bool check(Tiles &store);
    qint64 checked() const { return m_checked; }
    const QVector<Bad> &bad() const { return m_bad; }
    // The stored tiles that could not be checked.
    const QVector<Tiles::StoredTile> &unchecked() const { return m_unchecked; }
    // What the bytes are, for a tile that does not decode.
    static QString describe(const QByteArray &data);
    // Why a stored tile with this flaw was not read, in a few words that group alike ones.
    static QString unreadReason(Tiles::Flaw flaw);
    // "2 larger than 16 MiB, 1 off the tile grid", from counts by unreadReason().
    static QString countsText(const QMap<QString, qint64> &counts);

    // Opens the store at path, checks it and, with purge, removes the bad tiles; prints
    // what it found and returns the exit code: a failure while tiles are bad or could
    // not be checked.
    static int run(const QString &path, bool purge);

private:
    qint64 m_checked = 0;
    QVector<Bad> m_bad;
    QVector<Tiles::StoredTile> m_badCopies;
    QVector<Tiles::StoredTile> m_unchecked;
};

#endif

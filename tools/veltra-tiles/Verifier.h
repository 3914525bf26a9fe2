#ifndef VERIFIER_H
#define VERIFIER_H

#include "TileKey.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QVector>

class Tiles;

// Decodes every tile of a store and finds the ones that are no tile image: error pages
// that older tools stored as tiles, empty or truncated files, formats the map cannot
// show. Optionally removes them, so that a later seed fetches them again.
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
    // What the bytes are, for a tile that does not decode.
    static QString describe(const QByteArray &data);

    // Opens the store at path, checks it and, with purge, removes the bad tiles; prints
    // what it found and returns the exit code.
    static int run(const QString &path, bool purge);

private:
    qint64 m_checked = 0;
    QVector<Bad> m_bad;
};

#endif

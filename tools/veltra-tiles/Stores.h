#ifndef STORES_H
#define STORES_H

#include "Tiles.h"

// How the tool opens stores: it may wait seconds for another program's lock, and it
// writes a second's worth of tiles per transaction.
namespace Stores {

inline std::unique_ptr<Tiles> open(const QString &path, bool create, QString *error)
{
    Tiles::OpenOptions options;
    options.create = create;
    options.busyTimeoutMs = 5000;
    // What a run that is cut short loses of it is fetched again by the next.
    options.writeDelayMs = 1000;
    options.connectionPrefix = QStringLiteral("veltra-tiles");
    // A statement that runs this long on one row is stuck, not slow.
    options.statementTimeLimitMs = 10000;
    return Tiles::open(path, options, error);
}

} // namespace Stores

#endif

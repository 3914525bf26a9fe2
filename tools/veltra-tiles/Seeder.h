#ifndef SEEDER_H
#define SEEDER_H

#include "PackageMetadata.h"
#include "Progress.h"
#include "Region.h"

#include <QtCore/QObject>

#include <memory>

// Fetches the tiles of a region that a store lacks from a tile server, politely: two
// requests at a time, a rate limit, a pause wherever the server asks for one, and no
// request for a tile the store holds, so that an interrupted run resumes where it
// stopped. Transient failures are tried again after the server's or a growing wait; a
// server that refuses connections or a host that does not exist ends the run at once,
// unless tiles came this run. SIGINT and SIGTERM stop it in order: the tiles on their
// way get StopGraceMs to arrive, and everything that arrived is stored. Only what the
// store confirms written counts as stored.
//
// What the server says of each tile is kept with it: when it came, its ETag and
// Last-Modified and its lifetime. With refreshOlderThanSecs, stored tiles of the region
// that are older are asked for again with a conditional request once every missing tile
// is: a 304 renews the tile's age, a new tile replaces it. A tile the server sends with
// "Cache-Control: no-store" is not stored.
class Seeder : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxInFlight = 2;
    // No tile server publishes deeper: a deeper level asked of one is a typing error that
    // would fetch millions of tiles that do not exist.
    static constexpr int DeepestServedLevel = 22;
    // Above this many tiles to fetch a run needs `yes`.
    static constexpr qint64 TileLimit = 10000;
    // A run whose first tiles all fail stops after this many.
    static constexpr int HopelessFailures = 10;
    // What a tile is guessed to weigh before it is fetched.
    static constexpr qint64 EstimatedTileBytes = 20 * 1000;
    // How long requests in flight may take to end once a run is asked to stop.
    static constexpr int StopGraceMs = 2000;

    struct Options
    {
        QString urlTemplate;
        Region region;
        QString output;
        double rate = 4; // requests per second, 0 for no limit
        QString contact;
        bool yes = false;
        bool acceptFailures = false;
        int attempts = 4; // per tile, for transient failures
        Progress::Style progress = Progress::Style::Lines;
        qint64 progressIntervalMs = 10 * 1000;
        bool simulatedClock = false;
        bool dryRun = false;
        QString failedList; // where the failed tiles are listed, if anywhere
        // Stored tiles of the region older than this, or than the longer lifetime their
        // server gave, are revalidated; -1: none are.
        qint64 refreshOlderThanSecs = -1;
        // Written into an output package.
        PackageMetadata metadata = {};
    };

    explicit Seeder(const Options &options, QObject *parent = nullptr);
    ~Seeder() override;

    static QByteArray userAgent(const QString &contact);

    // Runs to the end and returns the exit code.
    int run();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

#endif

// Writing, copying and reading tiles through the stores against the plain QtSql calls
// that do the same work: (a) the 54 tiles of a full-HD screen arriving in one burst,
// (b) copying a store of 20 000 tiles with bytes unchanged, as a seeding tool would,
// (c) reading tiles by key, where every statement runs under the time limit, and (d) a
// read that a hostile file makes run through 200 000 rows, which the limit cuts.
#include "BenchSupport.h"
#include "SampleMap.h"
#include "Tiles.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QRandomGenerator>
#include <QtCore/QTemporaryDir>
#include <QtCore/QVariant>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtGui/QGuiApplication>

#include <cstdio>

namespace {

constexpr int Runs = 15;
constexpr int CopyRuns = 7;
constexpr int CopyTiles = 20000;

const QString InsertSql =
    QStringLiteral("insert or replace into tiles (x, y, z, image) values (?, ?, ?, ?)");

struct Tile
{
    TileKey key;
    QByteArray data;
};

double timeStoreBurst(const QString &path, const QVector<Tile> &tiles)
{
    Bench::freshDatabase(path);
    std::unique_ptr<Tiles> store = Tiles::open(path, Tiles::OpenOptions(), nullptr);
    QElapsedTimer timer;
    timer.start();
    for (const Tile &tile : tiles)
        store->setData(tile.key, tile.data);
    store->flush();
    return timer.nsecsElapsed() / 1e6;
}

double timePlainBurst(const QString &path, const QVector<Tile> &tiles, bool oneTransaction)
{
    Bench::freshDatabase(path);
    double ms = 0;
    Bench::withConnection(QStringLiteral("plain"), path, [&](QSqlDatabase &db) {
        QElapsedTimer timer;
        timer.start();
        if (oneTransaction)
            db.transaction();
        QSqlQuery insert(db);
        insert.prepare(InsertSql);
        for (const Tile &tile : tiles) {
            insert.addBindValue(tile.key.x);
            insert.addBindValue(tile.key.y);
            insert.addBindValue(tile.key.z);
            insert.addBindValue(tile.data);
            insert.exec();
        }
        if (oneTransaction)
            db.commit();
        ms = timer.nsecsElapsed() / 1e6;
    });
    return ms;
}

double timeStoreCopy(const QString &from, const QString &to)
{
    Bench::freshDatabase(to);
    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<Tiles> source = Tiles::open(from, Tiles::OpenOptions(), nullptr);
    std::unique_ptr<Tiles> target = Tiles::open(to, Tiles::OpenOptions(), nullptr);
    int copied = 0;
    source->forEachTile(0, 30, Tiles::Content::KeysAndData,
                        [&](const TileKey &key, const QByteArray &data) {
                            target->setData(key, data);
                            ++copied;
                            return true;
                        });
    target->flush();
    const double ms = timer.nsecsElapsed() / 1e6;
    if (copied != CopyTiles)
        std::printf("store copy: %d tiles instead of %d\n", copied, CopyTiles);
    return ms;
}

double timePlainCopy(const QString &from, const QString &to)
{
    Bench::freshDatabase(to);
    double ms = 0;
    QElapsedTimer timer;
    timer.start();
    Bench::withConnection(QStringLiteral("from"), from, [&](QSqlDatabase &source) {
        Bench::withConnection(QStringLiteral("to"), to, [&](QSqlDatabase &target) {
            target.transaction();
            QSqlQuery select(source);
            select.setForwardOnly(true);
            select.exec(QStringLiteral("select x, y, z, image from tiles"));
            QSqlQuery insert(target);
            insert.prepare(InsertSql);
            while (select.next()) {
                for (int i = 0; i < 4; ++i)
                    insert.addBindValue(select.value(i));
                insert.exec();
            }
            target.commit();
        });
    });
    ms = timer.nsecsElapsed() / 1e6;
    return ms;
}

// Reads every key of the 20 000-tile store in random order.
QVector<TileKey> shuffledKeys()
{
    QVector<TileKey> keys;
    for (int i = 0; i < CopyTiles; ++i)
        keys.append(TileKey(i % 200, i / 200, 14 + i % 3));
    QRandomGenerator random(7);
    for (int i = keys.size() - 1; i > 0; --i)
        std::swap(keys[i], keys[int(random.bounded(i + 1))]);
    return keys;
}

double timeStoreReads(const QString &path, const QVector<TileKey> &keys)
{
    std::unique_ptr<Tiles> store = Tiles::open(path, Tiles::OpenOptions(), nullptr);
    QElapsedTimer timer;
    timer.start();
    qint64 bytes = 0;
    for (const TileKey &key : keys) {
        Tiles::ReadResult result;
        bytes += store->tileData(key, &result).size();
    }
    const double ms = timer.nsecsElapsed() / 1e6;
    if (bytes == 0)
        std::printf("store reads: nothing read\n");
    return ms;
}

double timePlainReads(const QString &path, const QVector<TileKey> &keys)
{
    double ms = 0;
    Bench::withConnection(QStringLiteral("reads"), path, [&](QSqlDatabase &db) {
        QSqlQuery select(db);
        select.setForwardOnly(true);
        select.prepare(QStringLiteral("select image from tiles where x = ? and y = ? and z = ?"));
        QElapsedTimer timer;
        timer.start();
        for (const TileKey &key : keys) {
            select.addBindValue(key.x);
            select.addBindValue(key.y);
            select.addBindValue(key.z);
            if (select.exec() && select.next())
                select.value(0).toByteArray();
            select.finish();
        }
        ms = timer.nsecsElapsed() / 1e6;
    });
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    Bench::useOffscreenPlatform();
    QGuiApplication app(argc, argv); // the sample tiles draw text
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("burst.sqlitedb"));

    // The 54 tiles of a full-HD screen at level 14, as a tile server sends them.
    QVector<Tile> burst;
    for (int x = 0; x < 9; ++x)
        for (int y = 0; y < 6; ++y)
            burst.append({TileKey(9372 + x, 4700 + y, 14),
                          SampleMap::encodeTile(9372 + x, 4700 + y, 14)});

    QVector<double> store, plain, perRow;
    for (int run = 0; run < Runs; ++run) {
        store << timeStoreBurst(path, burst);
        plain << timePlainBurst(path, burst, true);
        perRow << timePlainBurst(path, burst, false);
    }
    std::printf("| figure | store | baseline | ratio | goal |\n|---|---|---|---|---|\n");
    Bench::printRow(QStringLiteral("54 tiles through setData (vs. one transaction)"),
                    Bench::median(store), Bench::median(plain), 1.25);
    std::printf("(for scale: a transaction per tile takes %.1f ms, %.1f times one transaction)\n",
                Bench::median(perRow), Bench::median(perRow) / Bench::median(plain));

    // 20 000 tiles of 2 to 6 KB: the bytes are copied, never decoded.
    const QString from = tmp.filePath(QStringLiteral("from.sqlitedb"));
    const QString to = tmp.filePath(QStringLiteral("to.sqlitedb"));
    Bench::freshDatabase(from);
    Bench::withConnection(QStringLiteral("fill"), from, [](QSqlDatabase &db) {
        db.transaction();
        QSqlQuery insert(db);
        insert.prepare(InsertSql);
        QRandomGenerator random(14);
        for (int i = 0; i < CopyTiles; ++i) {
            QByteArray data(2048 + int(random.bounded(4096)), Qt::Uninitialized);
            for (char &c : data)
                c = char(random.generate());
            insert.addBindValue(i % 200);
            insert.addBindValue(i / 200);
            insert.addBindValue(14 + i % 3);
            insert.addBindValue(data);
            insert.exec();
        }
        db.commit();
    });
    QVector<double> storeCopy, plainCopy;
    for (int run = 0; run < CopyRuns; ++run) {
        storeCopy << timeStoreCopy(from, to);
        plainCopy << timePlainCopy(from, to);
    }
    Bench::printRow(QStringLiteral("copy 20 000 tiles (vs. SELECT/INSERT, one transaction)"),
                    Bench::median(storeCopy), Bench::median(plainCopy), 1.20);

    const QVector<TileKey> keys = shuffledKeys();
    QVector<double> storeReads, plainReads;
    for (int run = 0; run < Runs; ++run) {
        storeReads << timeStoreReads(from, keys);
        plainReads << timePlainReads(from, keys);
    }
    Bench::printRow(QStringLiteral("read 20 000 tiles by key (vs. a prepared SELECT)"),
                    Bench::median(storeReads), Bench::median(plainReads), 1.10);

    // One key held by 200 000 rows without bytes behind a plain index: a read runs
    // through all of them unless it is cut.
    const QString slow = tmp.filePath(QStringLiteral("slow.mbtiles"));
    Bench::withConnection(QStringLiteral("slow"), slow, [](QSqlDatabase &db) {
        QSqlQuery q(db);
        q.exec(QStringLiteral("create table tiles (zoom_level, tile_column, tile_row, tile_data)"));
        q.exec(QStringLiteral("create index k on tiles (zoom_level, tile_column, tile_row)"));
        q.exec(QStringLiteral("insert into tiles with recursive n(i) as (select 1 union all "
                              "select i + 1 from n where i < 200000) select 3, 5, 5, null from n"));
        q.exec(QStringLiteral("create table metadata (name, value)"));
    });
    QVector<double> cut, whole;
    double longest = 0;
    for (int run = 0; run < Runs; ++run) {
        // A store leaves a file alone for a while after a cut: each run opens its own.
        std::unique_ptr<Tiles> store = Tiles::open(slow, Tiles::OpenOptions(), nullptr);
        Tiles::ReadResult result;
        QElapsedTimer timer;
        timer.start();
        store->tileData(TileKey(5, 2, 3), &result);
        cut << timer.nsecsElapsed() / 1e6;
        longest = qMax(longest, cut.last());
        if (result != Tiles::ReadResult::Busy)
            std::printf("slow read: not cut\n");
        whole << Bench::timeMedian(1, [&] {
            Bench::withConnection(QStringLiteral("whole"), slow, [](QSqlDatabase &db) {
                QSqlQuery q(db);
                q.exec(QStringLiteral("select tile_data from tiles where zoom_level = 3 and "
                                      "tile_column = 5 and tile_row = 5 and typeof(tile_data) = "
                                      "'blob'"));
                q.next();
            });
        });
    }
    Bench::printRow(QStringLiteral("read through 200 000 rows, cut at 4 ms (vs. run to its end)"),
                    Bench::median(cut), Bench::median(whole), 0.25);
    std::printf("(the longest cut read of %d took %.2f ms)\n", Runs, longest);
    return 0;
}

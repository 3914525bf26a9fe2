#include "RowTable.h"
#include "TestTiles.h"
#include "TileDatabase.h"
#include "TilesFromMbtiles.h"
#include "WaitFor.h"

#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtTest/QtTest>

#include <csignal>
#include <sys/resource.h>

using Kind = Tiles::Kind;
using Read = Tiles::ReadResult;

namespace {

// A tile's bytes as plain SQL or the file system sees them.
QByteArray stored(Kind kind, const QString &path, const TileKey &k)
{
    QFile file(QStringLiteral("%1/%2/%3/%4.png").arg(path).arg(k.z).arg(k.x).arg(k.y));
    if (kind == Kind::Directory)
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const bool db = kind == Kind::Database;
    return runSql(path,
                  {db ? "select image from tiles where x = ? and y = ? and z = ?"
                      : "select tile_data from tiles where tile_column = ? and tile_row = ? "
                        "and zoom_level = ?"},
                  {{k.x, db ? k.y : (1 << k.z) - 1 - k.y, k.z}})
        .toByteArray();
}

// Committed transactions, as the header of an SQLite file counts them.
quint32 commits(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? qFromBigEndian<quint32>(file.read(28).mid(24).data())
                                          : 0;
}

// The metadata of a package, by name, as another program reads it.
QString metadataOf(const QString &path)
{
    return runSql(path,
                  {"select group_concat(name || '=' || value, ' ') from (select * from "
                   "metadata order by name)"})
        .toString();
}

// A package's table of tiles and its key, unique or not.
QStringList packageTable(const char *index = "unique index")
{
    return {"create table tiles (zoom_level, tile_column, tile_row, tile_data)",
            QStringLiteral("create %1 k on tiles (zoom_level, tile_column, tile_row)").arg(index)};
}

// A schema given is written before the store opens the file.
// clang-format off
const struct { const char *name, *file; Kind kind; const char *schema; } roundTripRows[] = {
    {"directory", "tree", Kind::Directory, ""},
    {"tile database", "t.sqlitedb", Kind::Database, ""},
    {"mbtiles rows counted from the south", "t.mbtiles", Kind::Mbtiles, ""},
    {"mbtiles whose key is not unique", "t.mbtiles", Kind::Mbtiles, "create table tiles (zoom_level, tile_column, tile_row, tile_data);"
     "create index by_key on tiles (tile_row, zoom_level, tile_column)"},
};
// clang-format on

// What another program or the disk does to the file under an open store: a statement on
// the store's own connection, or a lock another program takes. `keeps`: the write waits
// in memory; `lists`: the file can be listed; `lacking`: what a read of a tile the file
// lacks answers while it lasts and right after.
// clang-format off
const struct { const char *name, *sql, *lock, *warning; bool keeps, lists; Read lacking; } faultRows[] = {
    {"file turns read-only: remembered", "PRAGMA query_only = 1", "", "does not take tiles", false, true, Read::Missing},
    {"disk full: kept, not retried before its time", "PRAGMA max_page_count = 1", "", "cannot write tile store .*full", true, true, Read::Missing},
    {"a tile the file refuses: dropped alone", "CREATE TEMP TRIGGER refuse BEFORE INSERT ON tiles WHEN length(NEW.image) > 10000 "
     "BEGIN SELECT RAISE(ABORT, 'refused'); END", "", "tile db insert error.*refused", false, true, Read::Missing},
    {"locked: reads left alone until the retry", "", "EXCLUSIVE", "", true, false, Read::Busy},
    {"locked for writing: a kept tile listed once", "", "IMMEDIATE", "", true, true, Read::Missing},
};
// clang-format on

// What a store opened while another program locked the file finds once the lock is gone,
// and what its reads of tile 3/5/2 answer then.
// clang-format off
const struct { const char *name, *file, *schema, *warning; Read read; } lateRows[] = {
    {"a view, which takes no tiles", "t.mbtiles", "create table images (zoom_level, tile_column, tile_row, tile_data);"
     "create index images_key on images (zoom_level, tile_column, tile_row);"
     "create view tiles as select * from images;insert into images values (3, 5, 5, x'78')", "does not take tiles", Read::Found},
    {"writes that compute: a function in a check", "t.mbtiles", "create table tiles (zoom_level, tile_column, tile_row, tile_data check (length(hex(tile_data)) > 0));"
     "create unique index k on tiles (zoom_level, tile_column, tile_row);insert into tiles values (3, 5, 5, x'78')",
     "does not take tiles: a write of a tile to \"tiles\" calls hex\\(\\)", Read::Found},
    {"no tile store: said once, neither drawn nor fetched", "t.sqlitedb", "create table maps (x, y, z, image)", "cannot use tile store .*no table", Read::Busy},
};
// clang-format on

// Files whose reads by key would take unbounded time are refused when opened, with the
// reason; the others give tile 3/5/2 (stored as row 5). `tiles` stands for the columns
// (zoom_level, tile_column, tile_row, tile_data).
// clang-format off
const struct { const char *name, *file, *schema, *error; } boundRows[] = {
    {"recursive view", "t.mbtiles", "create view tiles as with recursive r(n) as (select 0 union all select n + 1 from r) "
     "select n as zoom_level, n as tile_column, n as tile_row, x'00' as tile_data from r", "the view \"tiles\" is a recursive query"},
    {"package without an index", "t.mbtiles", "create table tiles %", "table \"tiles\" has no index on \\(zoom_level, tile_column, tile_row\\)"},
    {"index on the level alone", "t.mbtiles", "create table tiles %;create index z on tiles (zoom_level)", "has no index on"},
    {"database without its key", "t.sqlitedb", "create table tiles (x, y, z, image)", "table \"tiles\" has no index on \\(z, x, y\\)"},
    {"view of a table without an index", "t.mbtiles", "create table images %;create view tiles as select * from images",
     "the view \"tiles\" finds a tile in \"images\" without an index"},
    {"view whose data scans a table", "t.mbtiles", "create table images %;create unique index k on images (zoom_level, tile_column, tile_row);"
     "create table blobs (b);create view tiles as select zoom_level, tile_column, tile_row, (select max(b) from blobs) as tile_data from images",
     "finds a tile in \"blobs\""},
    {"view whose data a function makes", "t.mbtiles", "create table images %;create unique index k on images (zoom_level, tile_column, tile_row);"
     "create view tiles as select zoom_level, tile_column, tile_row, instr(tile_data, tile_data) as tile_data from images",
     "a read of a tile from \"tiles\" calls instr\\(\\)"},
    {"view joining by indexes", "t.mbtiles", "create table map (zoom_level, tile_column, tile_row, id);create unique index k on map (zoom_level, tile_column, tile_row);"
     "create table images (id, tile_data);create unique index i on images (id);insert into images values (7, x'89');insert into map values (3, 5, 5, 7);"
     "create view tiles as select zoom_level, tile_column, tile_row, tile_data from map join images using (id)", ""},
    {"key in another order", "t.mbtiles", "create table tiles %;create index k on tiles (tile_row, tile_column, zoom_level);insert into tiles values (3, 5, 5, x'89')", ""},
};
// clang-format on

// Records of what a server said of a tile, beside the tiles: `schema` is what another
// program left in the file before; `warning` says a table of records is left alone, and
// the tiles are written without their records then.
// clang-format off
const struct { const char *name, *file, *schema, *warning; } recordRows[] = {
    {"directory: the file's time", "tree", "", ""},
    {"database: a table of its own, made with the first record", "t.sqlitedb", "", ""},
    {"package: rows counted from the south", "t.mbtiles", "", ""},
    {"a table another program made", "t.sqlitedb", "create table TILE_FRESHNESS (note, z, y, x, fetched, lifetime, etag, last_modified);"
     "create unique index k on tile_freshness (x, y, z)", ""},
    {"a view: left alone", "t.sqlitedb", "create table r (x, y, z, fetched, lifetime, etag, last_modified);"
     "create view tile_freshness as select * from r", "it is a view, not a table"},
    {"no key: left alone", "t.sqlitedb", "create table tile_freshness (x, y, z, fetched, lifetime, etag, last_modified)",
     "it has no unique key"},
    {"writes that compute: left alone", "t.mbtiles", "create table tile_freshness (zoom_level, tile_column, tile_row, fetched, lifetime, "
     "etag check (length(hex(etag)) >= 0), last_modified, primary key (zoom_level, tile_column, tile_row))",
     "a read or write of it calls hex\\(\\)"},
};
// clang-format on

// The link goes to the same path under outside/; none: the disk is full.
// clang-format off
const struct { const char *name, *link, *warning; } treeRows[] = {
    {"link to a tile file", "7/5/6.png", ""},
    {"link to a column directory", "7/5", "out of the tile directory"},
    {"link to a level directory", "7", "out of the tile directory"},
    {"disk full", "", "^cannot write tile .*7/5/6.png"},
};
// clang-format on

} // namespace

class tst_TileStores : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data() { addRows(roundTripRows); }
    void roundTrip();
    void faultsOfTheFile_data() { addRows(faultRows); }
    void faultsOfTheFile();
    void checkedOnceTheLockIsGone_data() { addRows(lateRows); }
    void checkedOnceTheLockIsGone();
    void longBurstReachesTheFileAsItGoes();
    void treeListsTheTileItReads();
    void packageMadeByPlainSql();
    void readsBoundedOrRefused_data() { addRows(boundRows); }
    void readsBoundedOrRefused();
    void slowReadIsCut();
    void packageMetadataCoversItsTiles();
    void everyStoredCopyListed();
    void freshnessRecords_data() { addRows(recordRows); }
    void freshnessRecords();
    void directoryWritesStayInTheTree_data() { addRows(treeRows); }
    void directoryWritesStayInTheTree();
};

void tst_TileStores::roundTrip()
{
    QFETCH(int, row);
    const auto &r = roundTripRows[row];
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QLatin1String(r.file));
    if (*r.schema)
        runSql(path, QString(r.schema).split(';') << "create table metadata (name, value)");
    const TileKey a(23, 45, 12), gone(24, 45, 12), low(1, 2, 3);
    const QByteArray tile = TestTiles::encoded(2, 2, 2), text("<html>not a tile</html>");
    QString error;
    std::unique_ptr<Tiles> store = Tiles::open(path, {}, &error);
    QVERIFY2(store && store->kind() == r.kind, qPrintable(error));
    Read result;
    auto read = [&](const TileKey &key) { return store->tileData(key, &result); };
    const quint32 before = commits(path);
    store->setData(gone, TestTiles::encoded(2, 2, 2, "JPEG")); // a new package's format
    store->setData(a, text);                                   // no image: no format
    store->setData(a, tile);
    store->setData(low, text);
    QVERIFY(store->remove(gone));
    QCOMPARE(read(a), tile); // before it reaches the file
    QCOMPARE(result, Read::Found);
    QCOMPARE((read(gone), result), Read::Missing);
    QVERIFY(store->pixmap(low).isNull());
    QList<TileKey> visited;
    auto visit = [&](const TileKey &key, const QByteArray &bytes) {
        visited << key;
        return bytes == tile;
    };
    QVERIFY(store->forEachTile(10, 12, Tiles::Content::KeysAndData, visit));
    QVERIFY(store->forEachTile(0, 30, Tiles::Content::Keys, visit)); // no data: stops at once
    QCOMPARE(visited.size(), 2);
    QCOMPARE(visited.first(), a);

    store.reset(); // writes what it holds, in one transaction
    QCOMPARE(stored(r.kind, path, a), tile);
    QVERIFY(stored(r.kind, path, gone).isNull());
    if (r.kind != Kind::Directory)
        QCOMPARE(commits(path), before + 1); // the metadata with the tiles
    store = Tiles::open(path, {}, &error);
    QCOMPARE(read(low), text);
    store->setPixmap(gone, QPixmap::fromImage(TestTiles::image(3, 4, 5, 200)));
    QVERIFY(waitFor(
        [&] { return stored(r.kind, path, gone).startsWith("\x89PNG"); })); // soon, without a flush
    if (r.kind == Kind::Mbtiles && !*r.schema)
        QCOMPARE(runSql(path, {"select value from metadata where name = 'format'"}),
                 QVariant("jpg"));
    if (r.kind != Kind::Database)
        return;

    // Another program locks the file before the store can read its schema: reads are busy
    // at once, writes are kept up to a bound and land once the lock is gone, and are given
    // up only when the store goes. Both SQLite kinds share this code; one of them waits out
    // the lock's retries.
    SqliteLock locker;
    QVERIFY(locker.lock(path));
    Tiles::OpenOptions soon;
    soon.retryMs = 50;
    store = Tiles::open(path, soon, &error);
    QVERIFY2(store, qPrintable(error));
    QCOMPARE((read(a), result), Read::Busy);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(
                             "8192 tiles wait to be written; further tiles are not kept"));
    for (int x = 0; x <= 8192; ++x) // as many as it keeps, and one more
        store->setData(TileKey(x, 0, 13), "x");
    QCOMPARE((read(TileKey(8191, 0, 13)), result), Read::Found);
    QVERIFY((read(TileKey(8192, 0, 13)), result) != Read::Found);
    QVERIFY(!store->flush());
    locker.release();
    WAIT_COMPARE(stored(r.kind, path, TileKey(8190, 0, 13)), QByteArray("x"));
    WAIT_COMPARE(read(a), tile);
    QVERIFY(locker.lock(path));
    store->setData(low, tile);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("1 tiles could not be written"));
    store.reset();
}

// No event loop turns here: nothing is written but by a flush or an explicit listing.
void tst_TileStores::faultsOfTheFile()
{
    QFETCH(int, row);
    const auto &r = faultRows[row];
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("t.sqlitedb"));
    const TileKey a(1, 2, 12), lacking(2, 2, 12);
    const QByteArray old("old"), tile(20000, 'n'); // a page and more
    Tiles::open(path, {}, nullptr)->setData(a, old);
    Tiles::OpenOptions options;
    options.retryMs = 3600 * 1000;
    options.connectionPrefix = QStringLiteral("faulty");
    std::unique_ptr<Tiles> store = Tiles::open(path, options, nullptr);
    QSqlQuery connection(QSqlDatabase::database(options.connectionPrefix, false));
    SqliteLock locker;
    QVERIFY(!*r.sql || connection.exec(r.sql));
    QVERIFY(!*r.lock || locker.lock(path, r.lock));
    if (*r.warning)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(r.warning)); // once only

    Read result;
    store->setData(a, tile);
    QVERIFY(!store->flush() || !r.keeps);
    QCOMPARE(store->tileData(a, &result), r.keeps ? tile : old);
    QCOMPARE((store->tileData(lacking, &result), result), r.lacking);
    QByteArray listed;
    const auto list = [&](const TileKey &key, const QByteArray &data) {
        return listed += QByteArray::number(key.x) + ':' + data.left(3), true;
    };
    QCOMPARE(store->forEachTile(0, 30, Tiles::Content::KeysAndData, list), r.lists);
    QCOMPARE(listed, "1:" + (r.keeps ? tile : old).left(3));
    if (r.keeps) { // what it keeps is bounded, and the bound is reached exactly
        store->setData(TileKey(3, 2, 12), QByteArray(64 * 1024 * 1024 - tile.size(), 'b'));
        QCOMPARE((store->tileData(TileKey(3, 2, 12), &result), result), Read::Found);
        store->remove(TileKey(3, 2, 12)); // not worth writing
    }

    locker.release();
    QVERIFY(connection.exec("PRAGMA query_only = 0")
            && connection.exec("PRAGMA max_page_count = 100000"));
    QCOMPARE((store->tileData(lacking, &result), result), r.lacking);
    QCOMPARE(store->remove(lacking),
             !QByteArray(r.sql).contains("query_only")); // only read-only refuses
    QVERIFY(store->forEachTile(0, 30, Tiles::Content::Keys,
                               [](const TileKey &, const QByteArray &) { return true; }));
    QCOMPARE(stored(Kind::Database, path, a), old);
    QVERIFY(store->flush());
    QCOMPARE(stored(Kind::Database, path, a), r.keeps ? tile : old);
}

// A file locked while it was opened is checked once the lock is gone; what was written
// meanwhile goes with one warning if the file takes no tiles after all.
void tst_TileStores::checkedOnceTheLockIsGone()
{
    QFETCH(int, row);
    const auto &r = lateRows[row];
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QLatin1String(r.file));
    runSql(path, QString::fromLatin1(r.schema).split(QLatin1Char(';')));
    SqliteLock locker;
    QVERIFY(locker.lock(path));
    Tiles::OpenOptions atOnce;
    atOnce.retryMs = 0;
    const std::unique_ptr<Tiles> store = Tiles::open(path, atOnce, nullptr);
    QVERIFY(store);
    store->setData(TileKey(1, 1, 3), "y");
    locker.release();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(r.warning)); // once only
    Read result;
    for (int i = 0; i < 2; ++i)
        QCOMPARE((store->tileData(TileKey(5, 2, 3), &result), result), r.read);
    QVERIFY(!store->flush());
    QVERIFY(!store->contains(1, 1, 3));
}

// Memory for tiles on their way to the file stays bounded however long a burst runs:
// a batch goes once it holds 4096 tiles or 16 MiB.
void tst_TileStores::longBurstReachesTheFileAsItGoes()
{
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("burst.sqlitedb"));
    std::unique_ptr<Tiles> store = Tiles::open(path, {}, nullptr);
    for (int x = 0; x < 4096; ++x)
        store->setData(TileKey(x, 0, 12), "x");
    QCOMPARE(runSql(path, {"select count(*) from tiles"}).toInt(), 4096); // no event loop turn
    store->setData(TileKey(0, 1, 12), QByteArray(16 << 20, 'x'));
    QCOMPARE(runSql(path, {"select count(*) from tiles"}).toInt(), 4097);
}

// A tile held twice in a tree, as the store writes it and as another program left it:
// listing and reading agree on the store's own kind.
void tst_TileStores::treeListsTheTileItReads()
{
    QTemporaryDir tmp;
    std::unique_ptr<Tiles> store = Tiles::open(tmp.path(), {}, nullptr);
    const QByteArray jpeg = TestTiles::encoded(1, 2, 3, "JPEG");
    store->setData(TileKey(1, 2, 3), jpeg);
    QFile stale(tmp.filePath(QStringLiteral("3/1/2.png")));
    QVERIFY(stale.open(QIODevice::WriteOnly) && stale.write(TestTiles::encoded(1, 2, 3)) > 0);
    stale.close();
    QByteArray listed;
    QVERIFY(store->forEachTile(0, 30, Tiles::Content::KeysAndData,
                               [&](const TileKey &, const QByteArray &data) {
                                   listed = data;
                                   return true;
                               }));
    Read result;
    QCOMPARE(store->tileData(TileKey(1, 2, 3), &result), jpeg);
    QCOMPARE(listed, jpeg);
}

void tst_TileStores::packageMadeByPlainSql()
{
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("made.mbtiles"));
    const QByteArray tile = TestTiles::encoded(5, 2, 3);
    // Tiles behind a view, as packaging tools that share images write them.
    runSql(path,
           {"create table images (zoom_level, tile_column, tile_row, tile_data)",
            "create unique index images_key on images (zoom_level, tile_column, tile_row)",
            "create view tiles as select * from images", "create table metadata (name, value)",
            "insert into metadata values ('name', 'Harbour'), ('format', 'png'), "
            "('bounds', '-180,-90,180,90'), ('minzoom', '3'), ('maxzoom', '17')"});
    runSql(path, {"insert into images values (3, 5, 5, ?)"}, {{tile}});
    QString error;
    const std::unique_ptr<TilesFromMbtiles> package = TilesFromMbtiles::open(path, {}, &error);
    QVERIFY2(package, qPrintable(error));
    QCOMPARE(package->pixmap(5, 2, 3).toImage().pixelColor(9, 9), TestTiles::colourOf(5, 2, 3));
    QCOMPARE((QVariantList{package->name(), package->format(), package->bounds(),
                           package->minZoom(), package->maxZoom(), package->isReadOnly()}),
             (QVariantList{"Harbour", "png", QRectF(-180, -90, 360, 180), 3, 17, true}));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("made.mbtiles.*does not take tiles"));
    package->setData(1, 1, 3, tile);
    package->setData(2, 1, 3, tile);
    QVERIFY(!package->contains(1, 1, 3));
}

void tst_TileStores::readsBoundedOrRefused()
{
    QFETCH(int, row);
    const auto &r = boundRows[row];
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QLatin1String(r.file));
    QString schema = QString::fromLatin1(r.schema);
    runSql(path, schema.replace('%', "(zoom_level, tile_column, tile_row, tile_data)").split(';'));
    QString error;
    const std::unique_ptr<Tiles> store = Tiles::open(path, {}, &error);
    QCOMPARE(!store, *r.error != 0);
    QVERIFY2(QRegularExpression(QString::fromLatin1(r.error)).match(error).hasMatch(),
             qPrintable(error));
    Read result;
    QVERIFY(!store || store->tileData(TileKey(5, 2, 3), &result) == "\x89");
}

// A file that passes the check yet makes one read run through 200 000 rows of one key:
// that read is cut, said once, and the file left alone for a while; with a tool's limit
// the same read runs to its end.
void tst_TileStores::slowReadIsCut()
{
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("slow.mbtiles"));
    runSql(path,
           packageTable("index")
               << "insert into tiles with recursive n(i) as (select 1 union all select "
                  "i + 1 from n where i < 200000) select 3, 5, 5, null from n");
    for (const int limitMs : {1, 60000}) {
        Tiles::OpenOptions options;
        options.statementTimeLimitMs = limitMs;
        QString error;
        const std::unique_ptr<Tiles> store = Tiles::open(path, options, &error);
        QVERIFY2(store, qPrintable(error));
        const bool cut = limitMs == 1;
        if (cut)
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(
                                     "slow.mbtiles\": a statement ran longer than 1 ms; "
                                     "its tiles are left out while it is that slow"));
        Read result;
        for (int i = 0; i < 2; ++i)
            QCOMPARE((store->tileData(TileKey(5, 2, 3), &result), result),
                     cut ? Read::Busy : Read::Missing);
    }

    // A view that works where the time is never looked at: read once, then left alone.
    const QString view = tmp.filePath(QStringLiteral("view.mbtiles"));
    runSql(view,
           {"create table t (zoom_level, tile_column, tile_row, tile_data)",
            "create unique index k on t (zoom_level, tile_column, tile_row)",
            "insert into t values (3, 5, 5, zeroblob(16000000))",
            "create view tiles as select zoom_level, tile_column, tile_row, case when tile_data = "
            "tile_data and tile_data = tile_data then tile_data end as tile_data from t"});
    Tiles::OpenOptions options;
    options.statementTimeLimitMs = 1;
    const std::unique_ptr<Tiles> store = Tiles::open(view, options, nullptr);
    QVERIFY(store);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(
                             "view.mbtiles\": a read of a tile from the view \"tiles\" worked "
                             "[0-9.]+ ms; it is not read again"));
    Read result;
    for (const Read read : {Read::Found, Read::Busy})
        QCOMPARE((store->tileData(TileKey(5, 2, 3), &result), result), read);
}

// The metadata of a package after each burst of tiles written into it, as another
// program reads it: widened to cover them in the same transaction, the rest kept.
void tst_TileStores::packageMetadataCoversItsTiles()
{
    // clang-format off
    const struct { const char *name; QList<TileKey> tiles; const char *metadata; } steps[] = {
        {"a new package", {},
         "format=png name=cover type=baselayer version=1"},
        {"its first tiles, JPEG", {{0, 1, 2}, {1, 1, 2}},
         "bounds=-180,0,0,66.5132604431119 center=-90,33.2566302215559,2 format=jpg maxzoom=2 minzoom=2 name=cover type=baselayer version=1"},
        {"a deeper level elsewhere: the centre stays", {{8, 9, 4}},
         "bounds=-180,-40.9798980696201,22.5,66.5132604431119 center=-90,33.2566302215559,2 format=jpg maxzoom=4 minzoom=2 name=cover type=baselayer version=1"},
        {"the whole world", {{0, 0, 0}},
         "bounds=-180,-85.0511287798066,180,85.0511287798066 center=-90,33.2566302215559,2 format=jpg maxzoom=4 minzoom=0 name=cover type=baselayer version=1"},
    };
    // clang-format on
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("cover.mbtiles"));
    for (const auto &step : steps) {
        std::unique_ptr<Tiles> store = Tiles::open(path, {}, nullptr);
        const quint32 before = commits(path);
        for (const TileKey &key : step.tiles)
            store->setData(key, TestTiles::encoded(key.x, key.y, key.z, "JPEG"));
        store.reset();
        QCOMPARE(metadataOf(path), QString::fromLatin1(step.metadata));
        QCOMPARE(commits(path), before + !step.tiles.isEmpty());
    }

    // Made by another program: what it says of itself stays, what it lacks is added, a
    // centre outside its area is moved into it.
    const QString foreign = tmp.filePath(QStringLiteral("foreign.mbtiles"));
    runSql(foreign,
           packageTable() << "create table metadata (name, value)"
                          << "insert into metadata values ('name', 'Harbour'), ('format', "
                             "'png'), ('attribution', '&copy; Port'), ('description', "
                             "'Quays'), ('center', '100,50,1'), ('bounds', '-1,-1,1,1')");
    Tiles::open(foreign, {}, nullptr)->setData(TileKey(1, 1, 1), TestTiles::encoded(1, 1, 1));
    QCOMPARE(metadataOf(foreign),
             QString("attribution=&copy; Port bounds=-1,-85.0511287798066,180,1 "
                     "center=89.5,-42.0255643899033,1 "
                     "description=Quays format=png maxzoom=1 minzoom=1 name=Harbour"));

    // Metadata that cannot be kept up in time: the tiles reach the file without them.
    // clang-format off
    const struct { const char *name, *metadata, *warning; } slow[] = {
        {"too many to search, which undoes the transaction", "insert into metadata with recursive n(i) as (select 1 union all "
         "select i + 1 from n where i < 200000) select 'k' || i, 'v' from n", "could not be written with them; its tiles are written alone"},
        {"a trigger that computes", "create trigger t after insert on metadata begin select randomblob(9); end",
         "its metadata is left as it is: a change of it calls randomblob\\(\\)"},
    };
    // clang-format on
    for (const auto &t : slow) {
        const QString slowPath = tmp.filePath(QLatin1String(t.name) + QLatin1String(".mbtiles"));
        runSql(slowPath, packageTable() << "create table metadata (name, value)" << t.metadata);
        Tiles::OpenOptions options;
        options.statementTimeLimitMs = 1;
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QLatin1String(t.warning)));
        Tiles::open(slowPath, options, nullptr)->setData(TileKey(1, 1, 1), "tile");
        QCOMPARE(stored(Kind::Mbtiles, slowPath, TileKey(1, 1, 1)), QByteArray("tile"));
    }
}

// Copies of one tile in two rows or two formats are listed apart, and removing the bad
// one leaves the good one in place; rows that cannot be tiles are listed with their flaw.
void tst_TileStores::everyStoredCopyListed()
{
    QTemporaryDir tmp;
    const QByteArray good = TestTiles::encoded(1, 2, 3), junk("<html>");
    const QString package = tmp.filePath(QStringLiteral("twice.mbtiles")),
                  tree = tmp.filePath(QStringLiteral("tree"));
    runSql(package, packageTable("index"));
    runSql(package,
           {"insert into tiles values (3, 1, 5, ?), (3, 1, 5, ?), (3, 'one', 5, x'00'), (3, 1, 9, "
            "x'00'), (3, 1, 4, zeroblob(16777217)), (3, 1, 3, null), (3, 1, 2, 'text')"},
           {{good, junk}});
    TestTiles::writeTree(tree, 3, 1, 1, 2, 2);
    QFile other(tree + QStringLiteral("/3/1/2.jpeg"));
    QVERIFY(other.open(QIODevice::WriteOnly) && other.write(junk) == junk.size());
    other.close();
    for (const QString &path : {package, tree}) {
        QString error;
        const std::unique_ptr<Tiles> store = Tiles::open(path, {}, &error);
        QVERIFY2(store, qPrintable(error));
        QVector<Tiles::StoredTile> bad;
        QStringList listed;
        const auto list = [&](const Tiles::StoredTile &tile) {
            listed << QString::number(int(tile.flaw)) + ':' + tile.data.left(6).toHex();
            if (tile.data == junk)
                bad << tile;
            return true;
        };
        QVERIFY(store->forEachStored(0, 30, Tiles::Content::KeysAndData, list));
        listed.sort();
        QCOMPARE(listed.join(' '),
                 path == tree ? "0:3c68746d6c3e 0:89504e470d0a"
                              : "0:3c68746d6c3e 0:89504e470d0a 1: 1: 2: 3: 3:");
        QCOMPARE(store->removeStored(bad), 1);
        Read result;
        QCOMPARE(store->tileData(TileKey(1, 2, 3), &result), good);
    }
    QCOMPARE(QDir(tree + QStringLiteral("/3/1")).entryList(QDir::Files), QStringList{"2.png"});
}

void tst_TileStores::freshnessRecords()
{
    QFETCH(int, row);
    const auto &r = recordRows[row];
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QLatin1String(r.file));
    QString error;
    Tiles::close(Tiles::open(path, {}, &error));
    const bool sqlite = Tiles::kindOf(path) != Kind::Directory;
    const QString tilesTable = "select sql from sqlite_master where name = 'tiles'";
    const QString records
        = "select count(*) from sqlite_master where name = 'tile_freshness' collate nocase";
    const QVariant schema = sqlite ? runSql(path, {tilesTable}) : QVariant();
    if (*r.schema)
        runSql(path, QString(r.schema).split(';'));
    std::unique_ptr<Tiles> store = Tiles::open(path, {}, &error);
    QVERIFY2(store, qPrintable(error));
    const TileKey plain(3, 1, 4), recorded(4, 1, 4);
    const Tiles::Freshness said{QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9), Qt::UTC), 600, "\"e\"",
                                "Mon, 06 May 2024 07:00:00 GMT"};
    const QRegularExpression leftAlone(QString("tile_freshness.* is left alone: ") + r.warning);
    if (*r.warning)
        QTest::ignoreMessage(QtWarningMsg,
                             leftAlone); // once per store, when it reads or writes one
    store->setData(plain, TestTiles::encoded(3, 1, 4));
    QVERIFY(store->flush());
    if (sqlite) {
        QVERIFY(store->lastModified(plain).isNull());
        QCOMPARE(runSql(path, {records}).toInt(), int(*r.schema != 0)); // none made for nothing
    }
    store->setData(recorded, TestTiles::encoded(4, 1, 4));
    store->setFreshness(recorded, said);
    QVERIFY(store->flush());
    store.reset();

    store = Tiles::open(path, {}, &error);
    if (*r.warning)
        QTest::ignoreMessage(QtWarningMsg, leftAlone);
    Read result;
    QCOMPARE((store->tileData(recorded, &result), result), Read::Found);
    const Tiles::Freshness kept = store->freshness(recorded, &result);
    QCOMPARE(result, *r.warning ? Read::Missing : Read::Found);
    QCOMPARE(store->lastModified(recorded), *r.warning ? QDateTime() : said.fetched);
    if (sqlite) {
        QCOMPARE(runSql(path, {tilesTable}), schema); // the tiles' table as it was
        if (*r.warning)
            return;
        QCOMPARE(kept.etag, said.etag);
        QCOMPARE(kept.lastModified, said.lastModified);
        QCOMPARE(kept.lifetime, said.lifetime);
        // The last copy of a tile takes its record along; a tile from elsewhere has none.
        QVector<Tiles::StoredTile> copies;
        store->forEachStored(4, 4, Tiles::Content::Keys, [&](const Tiles::StoredTile &tile) {
            copies << tile;
            return true;
        });
        QCOMPARE(store->removeStored(copies), 2);
        QVERIFY(store->lastModified(recorded).isNull());
        store->setData(plain, TestTiles::encoded(3, 1, 4));
        store->setFreshness(plain, said);
        QCOMPARE(store->lastModified(plain), said.fetched);
        store->setData(plain, TestTiles::encoded(3, 1, 4));
        QCOMPARE((store->freshness(plain, &result), result), Read::Missing);
    }
}

void tst_TileStores::directoryWritesStayInTheTree()
{
    QFETCH(int, row);
    const QString link = QLatin1String(treeRows[row].link),
                  warning = QLatin1String(treeRows[row].warning);
    QTemporaryDir tmp;
    const QString root = tmp.filePath(QStringLiteral("tree")), outside = tmp.filePath("outside");
    TestTiles::writeTree(root, 1, 0, 0, 0, 0);
    TestTiles::writeTree(outside, 7, 5, 5, 6, 6);
    QDir().mkpath(QFileInfo(root + '/' + link).path());
    QVERIFY(link.isEmpty() || QFile::link(outside + '/' + link, root + '/' + link));

    const std::unique_ptr<Tiles> store = Tiles::open(root, {}, nullptr);
    QVERIFY(!store->contains(5, 6, 7));
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    // Without a link the file system refuses files longer than 100 bytes, as a full disk would.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous;
    getrlimit(RLIMIT_FSIZE, &previous);
    const rlimit limit{link.isEmpty() ? 100 : previous.rlim_cur, previous.rlim_max};
    setrlimit(RLIMIT_FSIZE, &limit);
    store->setData(5, 6, 7, TestTiles::encoded(0, 0, 0));
    store->setData(5, 8, 7, TestTiles::encoded(0, 0, 0));
    setrlimit(RLIMIT_FSIZE, &previous);
    int inside = 0;
    store->forEachTile(0, 30, Tiles::Content::Keys,
                       [&](const TileKey &, const QByteArray &) { return ++inside; });
    QCOMPARE(inside, link.endsWith(".png") ? 3 : 1); // a zero-byte tile would count too
    QCOMPARE(stored(Kind::Directory, outside, TileKey(5, 6, 7)), TestTiles::encoded(5, 6, 7));
    QCOMPARE(QDir(outside + "/7/5").entryList(QDir::Files), QStringList{"6.png"});
}

QTEST_MAIN(tst_TileStores)
#include "tst_tilestores.moc"

#include "TestTiles.h"
#include "TileDatabase.h"
#include "TilesFromDb.h"
#include "TilesFromFile.h"
#include "TilesFromMbtiles.h"

#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtCore/QtEndian>
#include <QtSql/QSqlDatabase>
#include <QtTest/QtTest>

#include <csignal>
#include <sys/resource.h>

using Kind = Tiles::Kind;
using Read = Tiles::ReadResult;
Q_DECLARE_METATYPE(Tiles::Kind)

namespace {


QString fileFor(Kind kind)
{
    return kind == Kind::Directory ? "tree" : kind == Kind::Database ? "t.sqlitedb" : "t.mbtiles";
}

// A tile's bytes as plain SQL or the file system sees them.
QByteArray stored(Kind kind, const QString &path, const TileKey &k)
{
    QFile file(QStringLiteral("%1/%2/%3/%4.png").arg(path).arg(k.z).arg(k.x).arg(k.y));
    if (kind == Kind::Directory)
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    if (kind == Kind::Database)
        return runSql(path, {"select image from tiles where x = ? and y = ? and z = ?"},
                      {{k.x, k.y, k.z}}).toByteArray();
    return runSql(path, {"select tile_data from tiles where tile_column = ? and tile_row = ? and "
                         "zoom_level = ?"},
                  {{k.x, (1 << k.z) - 1 - k.y, k.z}}).toByteArray();
}

// Committed transactions, as the header of an SQLite file counts them.
quint32 commits(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? qFromBigEndian<quint32>(file.read(28).mid(24).data()) : 0;
}

} // namespace

class tst_TileStores : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void roundTrip_data();
    void roundTrip();
    void lockedByAnotherProgram_data();
    void lockedByAnotherProgram();
    void packageMadeByPlainSql();
    void storesKeepToTheirConnections();
    void linksNeverFollowedOutOfTheTree_data();
    void linksNeverFollowedOutOfTheTree();
    void failedWriteLeavesNoTile();
};

void tst_TileStores::roundTrip_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::addColumn<QString>("schema");
    QTest::newRow("directory") << Kind::Directory << "";
    QTest::newRow("tile database") << Kind::Database << "";
    QTest::newRow("mbtiles rows counted from the south") << Kind::Mbtiles << "";
    QTest::newRow("mbtiles without a unique index")
        << Kind::Mbtiles << "create table tiles (zoom_level, tile_column, tile_row, tile_data)";
}

void tst_TileStores::roundTrip()
{
    QFETCH(Kind, kind);
    QFETCH(QString, schema);
    QTemporaryDir tmp;
    const QString path = tmp.filePath(fileFor(kind));
    if (!schema.isEmpty())
        runSql(path, {schema, "create table metadata (name, value)"});
    const TileKey a(23, 45, 12), gone(24, 45, 12), low(1, 2, 3);
    const QByteArray tile = TestTiles::encoded(2, 2, 2), text("<html>not a tile</html>");
    QString error;
    std::unique_ptr<Tiles> store = Tiles::open(path, {}, &error);
    QVERIFY2(store && store->kind() == kind, qPrintable(error));
    const quint32 before = commits(path);
    store->setData(a, text);
    store->setData(a, tile);
    store->setData(gone, tile);
    store->setData(low, text);
    QVERIFY(store->remove(gone));
    Read result;
    QCOMPARE(store->tileData(a, &result), tile); // before it reaches the file
    QCOMPARE(result, Read::Found);
    store->tileData(gone, &result);
    QCOMPARE(result, Read::Missing);
    QVERIFY(store->pixmap(low).isNull());
    QList<TileKey> visited;
    QVERIFY(store->forEachTile(10, 12, Tiles::Content::KeysAndData,
                               [&](const TileKey &key, const QByteArray &bytes) {
                                   visited << key;
                                   return bytes == tile;
                               }));
    QCOMPARE(visited, QList<TileKey>{a});
    int seen = 0; // and stops when told to
    store->forEachTile(0, 30, Tiles::Content::Keys, [&](const TileKey &, const QByteArray &) {
        return ++seen < 1;
    });
    QCOMPARE(seen, 1);

    store.reset(); // writes what it holds, in one transaction
    QCOMPARE(stored(kind, path, a), tile);
    QVERIFY(stored(kind, path, gone).isNull());
    if (kind != Kind::Directory)
        QCOMPARE(commits(path), before + 1);
    store = Tiles::open(path, {}, &error);
    QCOMPARE(store->tileData(low, &result), text);
    store->setPixmap(gone, QPixmap::fromImage(TestTiles::image(3, 4, 5, 200)));
    QVERIFY(store->flush());
    QVERIFY(stored(kind, path, gone).startsWith("\x89PNG"));
    QCOMPARE(store->pixmap(gone).size(), QSize(200, 200));
    if (kind == Kind::Mbtiles && schema.isEmpty())
        QCOMPARE(runSql(path, {"select value from metadata where name = 'format'"}), QVariant("png"));
}

void tst_TileStores::lockedByAnotherProgram_data()
{
    QTest::addColumn<Kind>("kind");
    QTest::newRow("tile database") << Kind::Database;
    QTest::newRow("mbtiles") << Kind::Mbtiles;
}

void tst_TileStores::lockedByAnotherProgram()
{
    QFETCH(Kind, kind);
    QTemporaryDir tmp;
    const QString path = tmp.filePath(fileFor(kind));
    const TileKey early(1, 1, 4), late(2, 2, 4);
    QString error;
    Tiles::open(path, {}, &error)->setData(early, TestTiles::encoded(1, 1, 4));
    std::unique_ptr<Tiles> store;
    Read result;
    {
        SqliteLock locker;
        QVERIFY(locker.lock(path));
        store = Tiles::open(path, {}, &error); // before its schema can be read
        QVERIFY2(store, qPrintable(error));
        for (int paint = 0; paint < 2; ++paint) {
            store->tileData(early, &result);
            QCOMPARE(result, Read::Busy);
        }
        store->setData(late, TestTiles::encoded(2, 2, 4));
        store->tileData(late, &result);
        QCOMPARE(result, Read::Found);
        QVERIFY(!store->flush());
        QVERIFY(!store->forEachTile(5, 30, Tiles::Content::Keys,
                                    [](const TileKey &, const QByteArray &) { return false; }));
    }
    QTRY_COMPARE(stored(kind, path, late), TestTiles::encoded(2, 2, 4));
    QTRY_COMPARE((store->tileData(early, &result), result), Read::Found);

    SqliteLock locker;
    QVERIFY(locker.lock(path));
    store->setData(3, 3, 4, TestTiles::encoded(3, 3, 4));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("1 tiles could not be written"));
    store.reset();
}

void tst_TileStores::packageMadeByPlainSql()
{
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("made.mbtiles"));
    const QByteArray tile = TestTiles::encoded(5, 2, 3);
    // Deduplicated images behind a view, as packaging tools write them.
    runSql(path, {"create table map (zoom_level, tile_column, tile_row, tile_id)",
                  "create table images (tile_id, tile_data)",
                  "create view tiles as select zoom_level, tile_column, tile_row, tile_data "
                  "from map join images using (tile_id)",
                  "create table metadata (name, value)",
                  "insert into metadata values ('name', 'Harbour'), ('format', 'png'), "
                  "('bounds', '30.1,59.8,30.6,60.1'), ('minzoom', '3'), ('maxzoom', '17')",
                  "insert into map values (3, 5, 5, 'a')"});
    runSql(path, {"insert into images values ('a', ?)"}, {{tile}});
    QString error;
    std::unique_ptr<Tiles> opened = Tiles::open(path, {}, &error);
    QVERIFY2(opened, qPrintable(error));
    auto *package = static_cast<TilesFromMbtiles *>(opened.get());
    QCOMPARE(package->pixmap(5, 2, 3).toImage().pixelColor(9, 9), TestTiles::colourOf(5, 2, 3));
    QCOMPARE(package->name(), QStringLiteral("Harbour"));
    QCOMPARE(package->format(), QStringLiteral("png"));
    QCOMPARE(package->bounds(), QRectF(30.1, 59.8, 0.5, 0.3));
    QCOMPARE(package->minZoom(), 3);
    QCOMPARE(package->maxZoom(), 17);
    QVERIFY(package->isReadOnly());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("made.mbtiles.*does not take tiles"));
    package->setData(1, 1, 3, tile);
    package->setData(2, 1, 3, tile);
    QVERIFY(!package->contains(1, 1, 3));
}

void tst_TileStores::storesKeepToTheirConnections()
{
    QTemporaryDir tmp;
    const QString a = tmp.filePath(QStringLiteral("a.sqlitedb"));
    const QString b = tmp.filePath(QStringLiteral("b.sqlitedb"));
    std::unique_ptr<Tiles> storeA = Tiles::open(a, {}, nullptr), storeB = Tiles::open(b, {}, nullptr);
    storeA->setData(1, 2, 3, TestTiles::encoded(1, 2, 3));
    QTRY_VERIFY(!stored(Kind::Database, a, TileKey(1, 2, 3)).isNull()); // no flush needed
    QVERIFY(stored(Kind::Database, b, TileKey(1, 2, 3)).isNull() && !storeB->contains(1, 2, 3));
    storeA.reset();
    storeB.reset();
    QVERIFY(QSqlDatabase::connectionNames().isEmpty());

    // A caller's connection is left to the caller, unless its name hands it over.
    for (const QString &name : {QStringLiteral("TilesDb_1"), QStringLiteral("host")}) {
        QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name).setDatabaseName(a);
        TilesFromDb store(QSqlDatabase::database(name, false));
        store.setData(4, 4, 4, TestTiles::encoded(4, 4, 4));
    }
    QCOMPARE(QSqlDatabase::connectionNames(), QStringList{"host"});
    QVERIFY(QSqlDatabase::database(QStringLiteral("host"), false).isOpen());
    QVERIFY(!stored(Kind::Database, a, TileKey(4, 4, 4)).isNull());
}

void tst_TileStores::linksNeverFollowedOutOfTheTree_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("tile file") << "7/5/6.png" << "outside/5/6.png" << true;
    QTest::newRow("column directory") << "7/5" << "outside/5" << false;
    QTest::newRow("level directory") << "7" << "outside" << false;
}

void tst_TileStores::linksNeverFollowedOutOfTheTree()
{
    QFETCH(QString, link);
    QFETCH(QString, target);
    QFETCH(bool, replaced);
    QTemporaryDir tmp;
    const QString root = tmp.filePath(QStringLiteral("tree"));
    const QString planted = tmp.filePath(QStringLiteral("outside/5/6.png"));
    TestTiles::writeTree(root, 1, 0, 0, 0, 0);
    QDir().mkpath(tmp.filePath(QStringLiteral("outside/5")));
    QDir().mkpath(QFileInfo(root + QLatin1Char('/') + link).path());
    QFile file(planted);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(TestTiles::encoded(9, 9, 9)) > 0);
    file.close();
    QVERIFY(QFile::link(tmp.filePath(target), root + QLatin1Char('/') + link));

    TilesFromFile store(root);
    QVERIFY(!store.contains(5, 6, 7));
    if (!replaced)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("out of the tile directory"));
    store.setData(5, 6, 7, TestTiles::encoded(5, 6, 7));
    store.setData(5, 8, 7, TestTiles::encoded(5, 8, 7));
    QCOMPARE(store.contains(5, 6, 7), replaced);
    int inside = 0;
    store.forEachTile(0, 30, Tiles::Content::Keys, [&](const TileKey &, const QByteArray &) {
        return ++inside;
    });
    QCOMPARE(inside, replaced ? 3 : 1);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), TestTiles::encoded(9, 9, 9));
    QCOMPARE(QDir(tmp.filePath(QStringLiteral("outside/5"))).entryList(QDir::Files),
             QStringList{"6.png"});
}

void tst_TileStores::failedWriteLeavesNoTile()
{
    // The file system refuses files longer than 100 bytes, as a full disk would.
    QTemporaryDir tmp;
    TilesFromFile store(tmp.path());
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous, small;
    getrlimit(RLIMIT_FSIZE, &previous);
    small = previous;
    small.rlim_cur = 100;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^cannot write tile .*7/5/6.png"));
    setrlimit(RLIMIT_FSIZE, &small);
    store.setData(5, 6, 7, TestTiles::encoded(5, 6, 7));
    store.setData(5, 7, 7, TestTiles::encoded(5, 7, 7));
    setrlimit(RLIMIT_FSIZE, &previous);
    QCOMPARE(QDir(tmp.filePath(QStringLiteral("7/5"))).entryList(QDir::Files), QStringList());
}

QTEST_MAIN(tst_TileStores)
#include "tst_tilestores.moc"

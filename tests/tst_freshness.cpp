#include "RowTable.h"
#include "TestTiles.h"
#include "TileDatabase.h"
#include "TileDownloader.h"
#include "TileProvider.h"
#include "TileServer.h"
#include "Tiles.h"
#include "WaitFor.h"

#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

// The tile provider keeps the tiles it draws fresh: a stored tile on screen whose age is
// past maxTileAge, or past the longer lifetime its server gave, is drawn and revalidated.
namespace {

using Request = TileServer::Request;
using Response = TileServer::Response;
using Tile = TileProvider::Tile;

const TileKey Key(5, 7, 12);
const char *const Unchanged = "unchanged", *const Changed = "changed";

QColor colourOf(const QPixmap &pixmap)
{
    return pixmap.toImage().pixelColor(128, 128);
}

// Version v of the tile, as TileServer::validating serves it.
QColor versionColour(const TileKey &key, int version)
{
    return TestTiles::colourOf(key.x, key.y, key.z + 8 * version);
}

QByteArray eTag(const TileKey &key, int version)
{
    return QString::asprintf("\"%d-%d-%d-%d\"", key.z, key.x, key.y, version).toLatin1();
}

struct Fixture
{
    Fixture(const QString &file, int version, const QByteArray &headers)
        : path(dir.filePath(file)),
          server(TileServer::validating([version](int, int, int) { return version; }, headers))
    {
        server.start();
    }
    // Version 0 of `key` stored `age` seconds ago (-1: of an age the store does not know)
    // with the server's validators and `lifetime`.
    void store(const TileKey &key, qint64 age, qint64 lifetime)
    {
        QString error;
        std::unique_ptr<Tiles> store = Tiles::open(path, {}, &error);
        store->setData(key, TestTiles::encoded(key.x, key.y, key.z));
        if (age >= 0) {
            const QDateTime at = QDateTime::currentDateTimeUtc().addSecs(-age);
            store->setFreshness(key, {at, lifetime, eTag(key, 0), {}});
        }
        store.reset();
    }
    void show(int maxTileAge, const QRect &window)
    {
        provider.open(path);
        provider.setUrlTemplate(server.urlTemplate());
        provider.setMaxTileAge(maxTileAge);
        provider.setDownloading(true);
        provider.setView(Key.z, window, QPointF(window.center()) + QPointF(0.5, 0.5));
    }
    int waiting() const
    {
        return provider.downloader()->queuedCount() + provider.downloader()->inFlightCount();
    }
    // The tile's data and when it was fetched; what reading its record gave.
    Tiles::ReadResult stored(const TileKey &key, QByteArray *data, QDateTime *fetched)
    {
        QString error;
        std::unique_ptr<Tiles> store = Tiles::open(path, {}, &error);
        Tiles::ReadResult result, record;
        *data = store->tileData(key, &result);
        *fetched = store->freshness(key, &record).fetched;
        return record;
    }

    QTemporaryDir dir;
    QString path;
    TileServer server;
    TileProvider provider;
};

// Tile 12/5/7 stored `age` seconds ago with `lifetime` (-1: none) as version 0, on screen
// with maxTileAge one hour; the server has `version` of it. What reaches the server
// (nothing, or a request with the conditional header named), what it answers, what the
// cell shows then and what the store holds.
// clang-format off
const struct { const char *name, *file; qint64 age, lifetime; int version; const char *headers, *conditional; int status; const char *shown, *stored; } freshRows[] = {
    {"fresh", "t.sqlitedb", 60, -1, 1, "", nullptr, 0, Unchanged, Unchanged},
    {"fresh by its server's longer lifetime", "t.mbtiles", 7200, 86400, 1, "", nullptr, 0, Unchanged, Unchanged},
    {"stale, 304: held, not written", "t.sqlitedb", 7200, 600, 0, "", "if-none-match", 304, Unchanged, Unchanged},
    {"stale, 200: replaced and drawn", "t.mbtiles", 7200, -1, 1, "Cache-Control: max-age=60\r\n", "if-none-match", 200, Changed, Changed},
    {"stale, no-store: drawn, not stored", "t.sqlitedb", 7200, -1, 1, "Cache-Control: no-store\r\n", "if-none-match", 200, Changed, Unchanged},
    {"of no known age: asked for plainly", "t.sqlitedb", -1, -1, 0, "", "", 200, Unchanged, Unchanged},
    {"directory, stale by its file's time: 304", "tree", 7200, -1, 0, "", "if-modified-since", 304, Unchanged, Unchanged},
    {"directory, its file's time ten years on: of no known age", "tree", -315360000, -1, 0, "", "", 200, Unchanged, Unchanged},
};

// The record of tile 12/5/7 in a database, fresh for a minute with the server's ETag, as
// another program then changed it with `sql`: whether the tile on screen is asked for,
// and a header the request must not carry.
const struct { const char *name, *sql; bool asked; const char *absent; } foreignRecordRows[] = {
    {"ETag ending in a header of its own", "update tile_freshness set etag = cast(x'2261220d0a582d496e6a65637465643a20796573' as blob), fetched = 0", true, "x-injected"},
    {"Last-Modified ending in a header of its own", "update tile_freshness set last_modified = cast(x'4d6f6e0d0a582d496e6a65637465643a2031' as blob), fetched = 0", true, "x-injected"},
    {"a lifetime past any bound: fresh", "update tile_freshness set lifetime = 9223372036854775807", false, nullptr},
    {"fetched ten years on: of no known age", "update tile_freshness set fetched = fetched + 315360000", true, "if-modified-since"},
};
// clang-format on

} // namespace

class tst_Freshness : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void staleTilesRevalidated_data() { addRows(freshRows); }
    void staleTilesRevalidated();
    void recordsOfAnotherProgram_data() { addRows(foreignRecordRows); }
    void recordsOfAnotherProgram();
    void missingTilesFirstAndNoneWhileBackingOff();
    void offKeepsStoredTilesForGood();
};

void tst_Freshness::staleTilesRevalidated()
{
    QFETCH(int, row);
    const auto &t = freshRows[row];
    Fixture f(t.file, t.version, t.headers);
    f.store(Key, t.age, t.lifetime);
    if (Tiles::kindOf(f.path) == Tiles::Kind::Directory) {
        QFile file(QStringLiteral("%1/12/5/7.png").arg(f.path));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-t.age),
                                 QFileDevice::FileModificationTime));
    }
    f.show(3600, QRect(5, 7, 1, 1));
    QList<QPixmap> changed;
    connect(&f.provider, &TileProvider::tileChanged,
            [&](const TileKey &, const Tile &tile) { changed << tile.pixmap; });
    QSignalSpy fresh(f.provider.downloader(), &TileDownloader::tileFresh);
    const Tile drawn = f.provider.tile(Key);
    QCOMPARE(drawn.state, Tile::Settled); // drawn at once, stale or not
    QCOMPARE(colourOf(drawn.pixmap), versionColour(Key, 0));
    if (!t.conditional) {
        QCOMPARE(f.waiting(), 0);
    } else {
        WAIT_COMPARE(fresh.count(), 1);
        QCOMPARE(f.server.requests.size(), 1);
        const Request &asked = f.server.requests.first();
        if (*t.conditional)
            QVERIFY(asked.headers.contains(t.conditional));
        else
            QVERIFY(!asked.headers.contains("if-none-match")
                    && !asked.headers.contains("if-modified-since"));
        QCOMPARE(f.server.answered.keys(), QList<int>{t.status});
        WAIT_COMPARE(changed.count(), int(t.status == 200));
        if (t.status == 200)
            QCOMPARE(colourOf(changed.first()),
                     versionColour(Key, t.shown == Changed ? t.version : 0));
    }
    // Once per lifetime: drawn again, it is not asked for again.
    QCOMPARE(colourOf(f.provider.tile(Key).pixmap),
             versionColour(Key, t.shown == Changed ? t.version : 0));
    QCOMPARE(f.waiting(), 0);
    f.provider.open(QString()); // writes what it holds
    QByteArray stored;
    QDateTime fetched;
    f.stored(Key, &stored, &fetched);
    QCOMPARE(stored,
             TestTiles::encoded(Key.x, Key.y, Key.z + 8 * (t.stored == Changed ? t.version : 0)));
    const bool renewed = qAbs(fetched.secsTo(QDateTime::currentDateTimeUtc())) < 30;
    QCOMPARE(renewed, t.status != 0 && t.shown == t.stored);
}

void tst_Freshness::recordsOfAnotherProgram()
{
    QFETCH(int, row);
    const auto &t = foreignRecordRows[row];
    Fixture f("t.sqlitedb", 0, {});
    f.store(Key, 0, 60);
    runSql(f.path, {t.sql});
    f.show(3600, QRect(5, 7, 1, 1));
    QCOMPARE(f.provider.tile(Key).state, Tile::Settled);
    QCOMPARE(f.waiting(), int(t.asked));
    if (!t.asked)
        return;
    QTRY_COMPARE(f.server.requests.size(), 1);
    QTRY_COMPARE(f.waiting(), 0);
    if (t.absent)
        QVERIFY(!f.server.requests.first().headers.contains(t.absent));
}

// Two stale tiles and two missing ones on screen, one request at a time: the missing go
// first, each kind nearest the centre first. A server that answers 503 backs off, and the stale
// tiles wait for it.
void tst_Freshness::missingTilesFirstAndNoneWhileBackingOff()
{
    for (const int status : {200, 503}) {
        Fixture f("t.sqlitedb", 0, {});
        if (status == 503)
            f.server.setHandler([](const Request &) {
                return Response{503, "Retry-After: 60\r\n", "busy"};
            });
        const TileKey stale[] = {TileKey(5, 7, 12), TileKey(6, 7, 12)};
        for (const TileKey &key : stale)
            f.store(key, 7200, -1);
        f.show(3600, QRect(5, 7, 4, 1));
        f.provider.downloader()->setMaxInFlight(1);
        for (int x = 5; x < 9; ++x)
            f.provider.tile(TileKey(x, 7, 12));
        if (status == 503) {
            // The other missing one waits for the pause; the stale ones are dropped.
            WAIT_COMPARE(f.waiting(), 1);
            QCOMPARE(f.server.requests.size(), 1);
            for (const TileKey &key : stale)
                f.provider.tile(key);
            QCOMPARE(f.waiting(), 1);
            QVERIFY(!f.provider.downloader()->revalidate(stale[0]));
            continue;
        }
        WAIT_COMPARE(f.server.answered.value(200) + f.server.answered.value(304), 4);
        QStringList order;
        for (const Request &r : qAsConst(f.server.requests))
            order << QString::fromLatin1(r.path);
        QCOMPARE(order, QStringList({"/12/7/7.png", "/12/8/7.png", "/12/6/7.png", "/12/5/7.png"}));
        QCOMPARE(f.server.answered.value(304), 2);
    }
}

// Left at 0, a stored tile of any age is never asked for, and nothing is recorded.
void tst_Freshness::offKeepsStoredTilesForGood()
{
    Fixture f("t.sqlitedb", 1, {});
    f.store(Key, -1, -1);
    f.show(0, QRect(5, 7, 2, 1));
    QCOMPARE(f.provider.tile(Key).state, Tile::Settled);
    QCOMPARE(f.provider.tile(TileKey(6, 7, 12)).state, Tile::Downloading);
    WAIT_COMPARE(f.server.answered.value(200), 1);
    f.provider.open(QString());
    QByteArray data;
    QDateTime fetched;
    QCOMPARE(f.stored(TileKey(6, 7, 12), &data, &fetched), Tiles::ReadResult::Missing);
}

QTEST_MAIN(tst_Freshness)
#include "tst_freshness.moc"

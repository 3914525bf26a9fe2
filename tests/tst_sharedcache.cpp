#include "MapFixture.h"
#include "Nginx.h"
#include "OsmView.h"
#include "RowTable.h"
#include "TestTiles.h"
#include "TileDatabase.h"
#include "TileDownloader.h"
#include "TileProvider.h"
#include "TileServer.h"
#include "WaitFor.h"

#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

// Workstations behind a real nginx: a caching proxy in front of the loopback tile server,
// or a static server of a tree the tool wrote. What reaches the tile server is counted
// there; what the workstations show is read back from their viewports.
namespace {

// The static server of the README, serving the tree at @TREE.
const char *const StaticTree = R"(
    server {
        listen 127.0.0.1:@PORT;
        root @TREE;
        if_modified_since before;
        location / {
            try_files $uri =404;
        }
    })";

enum Scenario {
    FanIn,        // three workstations at once: each tile reaches the tile server once
    Stale,        // maxTileAge passed and the tile server changed some tiles
    UpstreamDown, // the tile server stopped: the proxy serves what it has, stale or not
    ProxyDown,    // the proxy stopped: the workstation backs off, then recovers
    Tree,         // a tree the tool copied out of a database, served as files
};

// `headers` go with each tile the tile server sends. "X-Accel-Expires: @1" makes the
// proxy's copies stale at once, so that it asks the tile server again every time.
const struct
{
    const char *name;
    Scenario scenario;
    const char *headers;
} rows[] = {
    {"proxy fan-in: three workstations, each tile fetched once", FanIn, ""},
    {"stale: changed tiles replaced, unchanged ones answered 304", Stale,
     "X-Accel-Expires: @1\r\n"},
    {"tile server down: the proxy's stale tiles shown", UpstreamDown, "X-Accel-Expires: @1\r\n"},
    {"proxy down: back-off, then recovery", ProxyDown, ""},
    {"static tree written by the tool, revalidated by file times", Tree, ""},
};

struct Workstation
{
    explicit Workstation(const QString &store, const QString &url, int maxTileAge = 0)
    {
        view().setImagePath(store);
        view().setTileServerUrl(url);
        view().setMaxTileAge(maxTileAge);
        view().setEnableTileDownload(true);
    }
    OsmView &view() { return *map.view; }
    TileProvider *provider() { return map.view->findChild<TileProvider *>(); }
    // Every pixel shows its tile, as the tile server first sent it.
    bool complete(QString *why)
    {
        why->clear();
        return map.wrongSamples(map.grab(), 1.0, QRect(0, 0, 1 << 20, 1 << 20), why) == 0;
    }

    MapFixture map;
};

} // namespace

class tst_SharedCache : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void workstations_data() { addRows(rows); }
    void workstations();
};

void tst_SharedCache::workstations()
{
    QFETCH(int, row);
    const auto &r = rows[row];
    QTemporaryDir dir;
    int changedColumn = -1; // its tiles are of version 1 once set
    TileServer upstream(
        TileServer::validating([&](int x, int, int) { return x == changedColumn ? 1 : 0; },
                               r.headers));
    QVERIFY(upstream.start());
    Nginx nginx;
    QString http = QString::fromLatin1(r.scenario == Tree ? StaticTree : Nginx::CachingProxy);
    http.replace("@UPSTREAM", QString::number(upstream.port()))
        .replace("@TREE", dir.filePath("tree"));
    if (r.scenario == Tree) {
        MapFixture shape(12, QSize(512, 384), false);
        writeDatabase(dir.filePath("city.sqlitedb"), 12, shape.visibleTiles());
        QProcess copy;
        copy.start(VELTRA_TILES_TOOL,
                   {"copy", dir.filePath("city.sqlitedb"), dir.filePath("tree")});
        QVERIFY(copy.waitForFinished(30000));
        QCOMPARE(copy.exitCode(), 0);
    }
    QVERIFY2(nginx.start(http), qPrintable(nginx.error()));
    QString why;

    switch (r.scenario) {
    case FanIn: {
        std::vector<std::unique_ptr<Workstation>> wall;
        for (const char *store : {"a.sqlitedb", "b.mbtiles", "c"})
            wall.emplace_back(new Workstation(dir.filePath(store), nginx.urlTemplate()));
        for (auto &w : wall)
            QVERIFY2(waitFor([&] { return w->complete(&why); }, 20000), qPrintable(why));
        QVERIFY(upstream.hits.size() >= 6);
        for (auto it = upstream.hits.cbegin(); it != upstream.hits.cend(); ++it)
            QVERIFY2(it.value() == 1,
                     (it.key() + " asked for " + QByteArray::number(it.value())).constData());
        break;
    }
    case Stale: {
        Workstation w(dir.filePath("a.sqlitedb"), nginx.urlTemplate(), 3600);
        QVERIFY2(waitFor([&] { return w.complete(&why); }, 20000), qPrintable(why));
        const int shown = upstream.hits.size();
        QCOMPARE(upstream.answered.value(200), shown);
        const QPoint middle = w.map.tileAt(QPointF(256, 192));
        changedColumn = middle.x();
        int changed = 0;
        for (const QByteArray &path : upstream.hits.keys())
            changed += path.split('/').value(2).toInt() == changedColumn;
        // Two hours on: every tile on screen is stale, and asked for once.
        const qint64 later = 2 * 3600 * 1000;
        w.provider()->setWallClock([later] { return QDateTime::currentMSecsSinceEpoch() + later; });
        WAIT_COMPARE_WITHIN(upstream.answered.value(200) + upstream.answered.value(304), 2 * shown,
                            20000);
        QCOMPARE(upstream.answered.value(304), shown - changed);
        QCOMPARE(upstream.answered.value(200), shown + changed);
        const QColor now = TestTiles::colourOf(middle.x(), middle.y(), 12 + 8);
        QVERIFY(
            waitFor([&] { return TestTiles::sameColour(w.map.grab().pixelColor(256, 192), now); }));
        QVERIFY(TestTiles::sameColour(w.map.grab().pixelColor(256, 192), now)); // for good
        QCOMPARE(upstream.requests.size(), 2 * shown);
        break;
    }
    case UpstreamDown: {
        auto first = std::make_unique<Workstation>(dir.filePath("a.sqlitedb"), nginx.urlTemplate());
        QVERIFY2(waitFor([&] { return first->complete(&why); }, 20000), qPrintable(why));
        first.reset();
        const int asked = upstream.requests.size();
        upstream.stop();
        Workstation second(dir.filePath("b.mbtiles"), nginx.urlTemplate());
        QVERIFY2(waitFor([&] { return second.complete(&why); }, 20000), qPrintable(why));
        QCOMPARE(upstream.requests.size(), asked);
        break;
    }
    case ProxyDown: {
        nginx.stop();
        Workstation w(dir.filePath("a.sqlitedb"), nginx.urlTemplate());
        TileDownloader *downloader = w.provider()->downloader();
        downloader->setBackoff(200, 1000);
        w.map.grab();
        QVERIFY(waitFor([&] { return downloader->markCount() > 0; }));
        QCOMPARE(upstream.requests.size(), 0);
        QVERIFY(downloader->serverWaitUntil(
                    TileKey(w.map.tileAt(QPointF()).x(), w.map.tileAt(QPointF()).y(), 12))
                > 0);
        QVERIFY2(nginx.start(http), qPrintable(nginx.error()));
        QVERIFY2(waitFor([&] { return w.complete(&why); }, 20000), qPrintable(why));
        QCOMPARE(downloader->markCount(), 0);
        break;
    }
    case Tree: {
        // A workstation whose store is a directory asks again with its files' times,
        // later than those of the tree, made a day ago.
        QDirIterator files(dir.filePath("tree"), QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            QFile file(files.next());
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(QDateTime::currentDateTimeUtc().addDays(-1),
                                     QFileDevice::FileModificationTime));
        }
        Workstation w(dir.filePath("w"), nginx.urlTemplate(), 3600);
        int fetched = 0, held = 0;
        QObject::connect(w.provider()->downloader(), &TileDownloader::tileFresh,
                         [&](const TileKey &, qint64, bool changed) {
                             ++(changed ? fetched : held);
                         });
        QVERIFY2(waitFor([&] { return w.complete(&why); }, 20000), qPrintable(why));
        QVERIFY(fetched >= 6);
        const qint64 later = 2 * 3600 * 1000;
        w.provider()->setWallClock([later] { return QDateTime::currentMSecsSinceEpoch() + later; });
        WAIT_COMPARE(held, fetched);
        QVERIFY2(w.complete(&why), qPrintable(why));
        break;
    }
    }
}

QTEST_MAIN(tst_SharedCache)
#include "tst_sharedcache.moc"

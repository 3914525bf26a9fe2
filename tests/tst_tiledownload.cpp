#include "MapFixture.h"
#include "OsmView.h"
#include "RowTable.h"
#include "TileDatabase.h"
#include "TileDownloader.h"
#include "TileProvider.h"
#include "TileServer.h"
#include "WaitFor.h"

#include <QtCore/QTemporaryDir>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkReply>
#include <QtTest/QtTest>

// What a view does with download on: which tiles it asks for, what it draws meanwhile
// and after, and what a server, a lock or a host's moves can and cannot do to it. The
// request bookkeeping itself is tested in tst_tiledownloader.
namespace {

using Request = TileServer::Request;
using Response = TileServer::Response;

int pixels(const QImage &image, bool (*like)(QColor))
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += like(image.pixelColor(x, y));
    return n;
}

bool red(QColor c) // the failure mark
{
    return c.red() > 180 && c.green() < 90;
}

// A view downloading from a server that answers each tile after `delayMs` (-1: never).
struct Downloading
{
    explicit Downloading(int delayMs = 0, const QString &file = QStringLiteral("tiles.sqlitedb"))
        : server([delayMs](const Request &r) {
              Response tile = TileServer::tile(r);
              tile.delayMs = delayMs;
              return tile;
          })
    {
        server.start();
        store = tmp.filePath(file);
        map.view->setImagePath(store);
        map.view->setTileServerUrl(server.urlTemplate());
        map.view->setEnableTileDownload(true);
    }
    int visible() const
    {
        const QRect r = map.visibleTiles().adjusted(1, 1, -1, -1);
        return r.width() * r.height();
    }

    QTemporaryDir tmp;
    MapFixture map;
    TileServer server;
    QString store;
};

void centreBy(Downloading &d, QPoint offset)
{
    d.map.view->centerOn(d.map.view->mapToScene(d.map.view->viewport()->rect().center() + offset));
}

// What the view is given, and what it stores and draws: every visible tile, asked once.
// clang-format off
const struct { const char *name, *store; int delayMs; } fetchRows[] = {
    {"tile database, slow server: placeholder first", "tiles.sqlitedb", 400},
    {"directory tree", "tree", 0},
    {"mbtiles package", "city.mbtiles", 0},
};
// clang-format on

// What keeps a view from downloading at all, and the warning it gives.
// clang-format off
const struct { const char *name; void (*action)(Downloading &); const char *warning; } idleRows[] = {
    {"no template", [](Downloading &d) { d.map.view->setTileServerUrl({}); }, nullptr},
    {"no store", [](Downloading &d) { d.map.view->setImagePath({}); }, nullptr},
    {"download off", [](Downloading &d) { d.map.view->setEnableTileDownload(false); }, nullptr},
    {"opacity 0", [](Downloading &d) { d.map.view->setOpacity(0); }, nullptr},
    {"refused template", [](Downloading &d) { d.map.view->setTileServerUrl("file:///etc/%1/%2/%3"); }, "http"},
};
// clang-format on

// Where the host takes the view while the first tiles are on their way.
// clang-format off
const struct { const char *name; void (*move)(Downloading &); } moveRows[] = {
    {"host centres north", [](Downloading &d) { centreBy(d, QPoint(0, -200)); }},
    {"host centres east", [](Downloading &d) { centreBy(d, QPoint(170, 0)); }},
    {"host fits a rectangle", [](Downloading &d) { d.map.view->fitRect(QRectF(d.map.view->mapToScene(QPoint(100, 80)), d.map.view->mapToScene(QPoint(400, 300)))); }},
    {"next level: stored, not drawn", [](Downloading &d) { d.map.view->setZoom(13); }},
};
// clang-format on

// After tiles failed with 404 at level 12, what lifts their marks.
// clang-format off
const struct { const char *name; void (*change)(Downloading &); bool retried; } markRows[] = {
    {"switching download off and on keeps them", [](Downloading &d) { d.map.view->setEnableTileDownload(false); d.map.view->setEnableTileDownload(true); }, false},
    {"another level is another tile", [](Downloading &d) { d.map.view->setZoom(13); }, true},
    {"another server URL may have the tiles", [](Downloading &d) { d.map.view->setTileServerUrl(d.server.urlTemplate() + "?v=2"); }, true},
    {"another source", [](Downloading &d) { d.map.view->setImagePath(d.tmp.filePath("other.sqlitedb")); }, true},
    {"a zoom clamped to the maximum", [](Downloading &d) { d.map.view->setZoomMax(12); d.map.view->setZoom(20); }, true},
};
// clang-format on

// The User-Agent a host sets, or none, and what a server receives.
// clang-format off
const struct { const char *name; const char *set; const char *sent; } userAgentRows[] = {
    {"the library's by default", nullptr, "VeltraCenter 2.1"},
    {"a host's with a contact", "CityTraffic/4.2 (tiles@city.example)", "CityTraffic/4.2 (tiles@city.example)"},
    {"a line break adds no header", "CityTraffic/4.2\r\nX-Injected: 1", "CityTraffic/4.2  X-Injected: 1"},
};
// clang-format on

} // namespace

class tst_TileDownload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fetchedOnceStoredAndDrawn_data() { addRows(fetchRows); }
    void fetchedOnceStoredAndDrawn();
    void nothingRequested();
    void arrivalShowsWhereTheViewNowIs_data() { addRows(moveRows); }
    void arrivalShowsWhereTheViewNowIs();
    void failureMarks_data() { addRows(markRows); }
    void failureMarks();
    void lockedStoreNeitherFreezesNorLoses();
    void idleViewHealsByItself();
    void exchangeLoggedAndViewDestroyedInFlight();
    void userAgentSent_data() { addRows(userAgentRows); }
    void userAgentSent();
};

void tst_TileDownload::fetchedOnceStoredAndDrawn()
{
    QFETCH(int, row);
    const auto &t = fetchRows[row];
    Downloading d(t.delayMs, QString::fromLatin1(t.store));
    QSignalSpy prepared(d.map.view->findChild<TileProvider *>(), &TileProvider::prepared);
    const QImage first = d.map.grab(); // the placeholder: white with dark text
    QVERIFY(!t.delayMs
            || (pixels(first, [](QColor c) { return c.lightness() < 80; }) > 20
                && pixels(first, [](QColor c) { return c == Qt::white; })
                    > first.width() * first.height() / 2
                && pixels(first, [](QColor c) { return c == Qt::lightGray; }) > 500)); // framed
    WAIT_COMPARE(d.server.tilesServed, d.visible());
    WAIT_COMPARE(d.map.wrongSamples(d.map.screen()), 0);
    // What the view prepared ahead meanwhile, around and above and below, was read from
    // the store only: the server saw the visible tiles alone.
    QVERIFY(waitFor([&] { return prepared.count() > 0; }));
    QCOMPARE(d.server.requests.size(), d.visible());
    // Stored: once the view lets go of the store, another view shows them without a
    // server.
    d.map.view->setImagePath(QString());
    MapFixture again;
    again.view->setImagePath(d.store);
    WAIT_COMPARE(again.wrongSamples(again.grab()), 0);
    QCOMPARE(d.server.requests.size(), d.visible());
}

// One view per row, all at once, so that the wait for nothing is waited out once.
void tst_TileDownload::nothingRequested()
{
    std::vector<std::unique_ptr<Downloading>> views;
    for (const auto &t : idleRows) {
        views.emplace_back(new Downloading);
        if (t.warning)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(t.warning));
        t.action(*views.back());
        views.back()->map.grab();
    }
    QTest::qWait(100); // the only wait for nothing: requests would have gone out by now
    for (std::size_t i = 0; i < views.size(); ++i)
        QVERIFY2(views[i]->server.requests.isEmpty(), idleRows[i].name);
}

void tst_TileDownload::arrivalShowsWhereTheViewNowIs()
{
    QFETCH(int, row);
    Downloading d(100);
    d.map.grab();
    const int first = d.visible();
    WAIT_COMPARE(d.server.requests.size(), first);
    moveRows[row].move(d);
    WAIT_COMPARE(d.server.requests.size(), d.server.tilesServed);
    WAIT_COMPARE(d.map.wrongSamples(d.map.screen()), 0);
    // What arrived for level 12 is stored, wherever the view went.
    QVERIFY(waitFor([&] {
        return runSql(d.store, {"select count(*) from tiles where z = 12"}).toInt() >= first;
    }));
}

void tst_TileDownload::failureMarks()
{
    QFETCH(int, row);
    const auto &t = markRows[row];
    Downloading d;
    d.server.setHandler([](const Request &) { return Response{404, {}, "no such tile"}; });
    d.map.grab();
    QVERIFY(waitFor([&] { return pixels(d.map.screen(), red) > 0; }));
    // Every failure has reached the view, not only the first.
    const auto *downloader = d.map.view->findChild<TileDownloader *>();
    WAIT_COMPARE(downloader->inFlightCount() + downloader->queuedCount(), 0);
    const int asked = d.server.requests.size();
    d.server.setHandler(TileServer::tile);
    t.change(d);
    d.map.view->viewport()->update();
    if (t.retried) {
        WAIT_COMPARE(d.map.wrongSamples(d.map.screen()), 0);
    } else {
        QTest::qWait(200); // the only wait for nothing
        QCOMPARE(d.server.requests.size(), asked);
        QVERIFY(pixels(d.map.grab(), red) > 0);
    }
}

void tst_TileDownload::lockedStoreNeitherFreezesNorLoses()
{
    // Half the view is stored. Another program locks the file while the other half is
    // on its way: the arrivals show at once and reach the file once the lock is gone;
    // a paint meanwhile fetches nothing it cannot read.
    Downloading d(100);
    const QRect visible = d.map.visibleTiles().adjusted(1, 1, -1, -1);
    const QRect stored(visible.topLeft(), QSize(visible.width() / 2, visible.height()));
    d.map.view->setImagePath(QString());
    writeDatabase(d.store, 12, stored);
    d.map.view->setImagePath(d.store);
    d.map.grab();
    const int missing = d.visible() - stored.width() * stored.height();
    WAIT_COMPARE(d.server.requests.size(), missing);
    SqliteLock lock;
    QVERIFY(lock.lock(d.store));
    WAIT_COMPARE(d.server.tilesServed, missing);
    WAIT_COMPARE(d.map.wrongSamples(d.map.screen()), 0);

    d.map.view->setImagePath(d.store); // forget what was read: every read meets the lock
    d.map.view->viewport()->repaint();
    lock.release();
    WAIT_COMPARE(d.map.wrongSamples(d.map.screen()), 0);
    WAIT_COMPARE(runSql(d.store, {"select count(*) from tiles"}).toInt(), d.visible());
    QCOMPARE(d.server.requests.size(), missing);
}

void tst_TileDownload::idleViewHealsByItself()
{
    // An outage, then the server is back: a view that nothing repaints shows its tiles.
    Downloading d;
    bool down = true;
    d.server.setHandler([&down](const Request &r) {
        return down ? Response{503, {}, "busy"} : TileServer::tile(r);
    });
    auto *downloader = d.map.view->findChild<TileDownloader *>();
    downloader->setBackoff(100, 100);
    d.map.grab();
    const QRect visible = d.map.visibleTiles().adjusted(1, 1, -1, -1);
    const auto allFailed = [&] {
        for (int x = visible.left(); x <= visible.right(); ++x)
            for (int y = visible.top(); y <= visible.bottom(); ++y)
                if (downloader->retryAt(TileKey(x, y, d.map.level())) <= 0)
                    return false;
        return true;
    };
    QVERIFY(waitFor([&] { return allFailed(); }));
    QVERIFY(waitFor([&] { return pixels(d.map.screen(), red) > 0; }));
    down = false;
    WAIT_COMPARE(d.map.wrongSamples(d.map.screen()), 0);
}

void tst_TileDownload::exchangeLoggedAndViewDestroyedInFlight()
{
    Downloading d(-1); // no answers
    d.map.view->setDumpServerExchange(true);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^send request to \"http://127.0.0.1"));
    d.map.view->viewport()->repaint();
    QVERIFY(waitFor([&] { return !d.server.requests.isEmpty(); }));
    // A host may hand the view's slot any reply: none, or one of its own, which the slot
    // disposes of like its own.
    QNetworkAccessManager host;
    const QPointer<QNetworkReply> own = host.get(
        QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:9/"))));
    for (QNetworkReply *reply : {static_cast<QNetworkReply *>(nullptr), own.data()})
        d.map.view->tileServerReply(reply);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!own);
    d.map.view.reset(); // requests in flight die with the view, and nothing is written
    QCOMPARE(runSql(d.store, {"select count(*) from tiles"}).toInt(), 0);
}

void tst_TileDownload::userAgentSent()
{
    QFETCH(int, row);
    const auto &t = userAgentRows[row];
    Downloading d;
    if (t.set)
        d.map.view->setUserAgent(QString::fromUtf8(t.set));
    QCOMPARE(d.map.view->userAgent(), QString::fromUtf8(t.set ? t.set : t.sent));
    d.map.grab();
    WAIT_COMPARE(d.server.requests.size(), d.visible());
    for (const Request &r : qAsConst(d.server.requests)) {
        QCOMPARE(r.headers.value("user-agent"), QByteArray(t.sent));
        QVERIFY(!r.headers.contains("x-injected"));
    }
}

QTEST_MAIN(tst_TileDownload)
#include "tst_tiledownload.moc"

#include "MapFixture.h"
#include "OsmView.h"
#include "TestTiles.h"
#include "TileServer.h"
#include "ViewProbe.h"

#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtNetwork/QNetworkReply>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtTest/QtTest>

inline uint qHash(const QPoint &p, uint seed = 0)
{
    return qHash(qMakePair(p.x(), p.y()), seed);
}

namespace {

// Rows of a tile database as a connection of the test's own sees them, keyed "z/x/y".
QHash<QString, QByteArray> rowsOf(const QString &path)
{
    QHash<QString, QByteArray> rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                    QStringLiteral("inspector"));
        db.setDatabaseName(path);
        db.open();
        QSqlQuery q(db);
        q.exec(QStringLiteral("select z, x, y, image from tiles"));
        while (q.next())
            rows.insert(QStringLiteral("%1/%2/%3")
                            .arg(q.value(0).toInt())
                            .arg(q.value(1).toInt())
                            .arg(q.value(2).toInt()),
                        q.value(3).toByteArray());
    }
    QSqlDatabase::removeDatabase(QStringLiteral("inspector"));
    return rows;
}

int visibleTileCount(MapFixture &map)
{
    QSet<QPoint> seen;
    const QSize size = map.view->viewport()->size();
    for (int y = 0; y < size.height(); y += 8)
        for (int x = 0; x < size.width(); x += 8)
            seen.insert(ViewProbe::tileAt(*map.view, QPoint(x, y)));
    return seen.size();
}

// Lets the event loop deliver whatever the network has for a while; bounded.
void settle(int ms = 300)
{
    QTest::qWait(ms);
}

bool hasRed(const QImage &image)
{
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 180 && c.green() < 90 && c.blue() < 90)
                return true;
        }
    return false;
}

using Request = TileServer::Request;
using Response = TileServer::Response;

TileServer::Handler delayed(TileServer::Handler handler, int ms)
{
    return [handler, ms](const Request &request) {
        Response response = handler(request);
        response.delayMs = ms;
        return response;
    };
}

Response notFound(const Request &)
{
    return Response{404, "Content-Type: text/plain\r\n", "no such tile"};
}

Response stall(const Request &)
{
    Response response;
    response.delayMs = -1;
    return response;
}

Response redirect(const Request &request)
{
    if (request.path.contains("?moved"))
        return TileServer::tile(request);
    return Response{302, "Location: " + request.path + "?moved\r\n", "<html>moved</html>"};
}

const struct
{
    const char *name;
    TileServer::Handler handler;
} faults[] = {
    {"404", notFound},
    {"500", [](const Request &) { return Response{500, {}, "broken"}; }},
    {"html page with 200",
     [](const Request &) {
         return Response{200, "Content-Type: text/html\r\n",
                         "<html><body>Please log in to see the map.</body></html>"};
     }},
    {"connection closed",
     [](const Request &) {
         Response response;
         response.cutAt = 0;
         return response;
     }},
    {"9 MiB body",
     [](const Request &) { return Response{200, {}, QByteArray(9 * 1024 * 1024, 'x')}; }},
    {"gzip bomb",
     [](const Request &) {
         static const QByteArray bomb = TileServer::gzip(QByteArray(32 * 1024 * 1024, '\0'));
         return Response{200, "Content-Encoding: gzip\r\n", bomb};
     }},
    {"png declaring 30000 x 30000",
     [](const Request &) { return Response{200, {}, TestTiles::pngDeclaring(30000)}; }},
};

struct Downloading
{
    explicit Downloading(int level = 12, QSize size = QSize(512, 384)) : map(level, size)
    {
        server.start();
        database = tmp.filePath(QStringLiteral("tiles.sqlitedb"));
        map.view->setImagePath(database);
        map.view->setTileServerUrl(server.urlTemplate());
        map.view->setEnableTileDownload(true);
    }

    QTemporaryDir tmp;
    MapFixture map;
    TileServer server;
    QString database;
};

} // namespace

class tst_TileDownload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void missingTilesFetchedOnceAndStored_data();
    void missingTilesFetchedOnceAndStored();
    void plainServerOverDirectoryTree();
    void nothingRequested_data();
    void nothingRequested();
    void faultsFailOnceAndStoreNothing_data();
    void faultsFailOnceAndStoreNothing();
    void storeRefusingWritesShowsReply();
    void switchingDownloadOffAndOnKeepsFailures();
    void switchingDownloadOffDropsRepliesInFlight();
    void replyForAnotherLevelStoredNotDrawn();
    void cancelledReplyNotWritten();
    void dumpServerExchangeLogs();
    void destroyedWithRequestsInFlight();
};

void tst_TileDownload::missingTilesFetchedOnceAndStored_data()
{
    QTest::addColumn<bool>("slow");
    QTest::addColumn<int>("requestsPerTile");
    QTest::newRow("served at once") << false << 1;
    QTest::newRow("served slowly") << true << 1;
    QTest::newRow("redirected") << false << 2;
}

void tst_TileDownload::missingTilesFetchedOnceAndStored()
{
    QFETCH(bool, slow);
    QFETCH(int, requestsPerTile);
    Downloading d(12, QSize(384, 256));
    if (slow)
        d.server.setHandler(delayed(TileServer::tile, 1500));
    else if (requestsPerTile == 2)
        d.server.setHandler(redirect);
    const int expected = visibleTileCount(d.map);
    const QImage first = ViewProbe::grab(*d.map.view);
    ViewProbe::grab(*d.map.view);
    if (slow) {
        // Meanwhile the placeholder: white with dark text and a light grey grid line.
        int dark = 0;
        for (int y = 0; y < first.height(); ++y)
            for (int x = 0; x < first.width(); ++x)
                dark += first.pixelColor(x, y).lightness() < 80;
        QVERIFY(dark > 20);
        QVERIFY(!d.map.showsOwnTiles());
    }
    QTRY_COMPARE_WITH_TIMEOUT(d.server.tilesServed, expected, 15000);
    QString why;
    QTRY_VERIFY2_WITH_TIMEOUT(d.map.showsOwnTiles(&why), qPrintable(why), 5000);
    QCOMPARE(d.server.requests.size(), expected * requestsPerTile);

    QTRY_COMPARE(rowsOf(d.database).size(), expected); // written in a batch
    const QHash<QString, QByteArray> rows = rowsOf(d.database);
    for (const TileServer::Request &r : qAsConst(d.server.requests)) {
        QCOMPARE(r.method, QByteArray("GET"));
        QCOMPARE(r.headers.value("user-agent"), QByteArray("VeltraCenter 2.1"));
        const QString key = QString::fromLatin1(r.path.split('?').first().mid(1).chopped(4));
        const QStringList zxy = key.split(QLatin1Char('/'));
        QVERIFY2(rows.contains(key), r.path.constData());
        QCOMPARE(rows.value(key), TestTiles::encoded(zxy[1].toInt(), zxy[2].toInt(), zxy[0].toInt()));
    }
    // Painting again reads the store: no further request.
    d.map.view->viewport()->repaint();
    settle(100);
    QCOMPARE(d.server.requests.size(), expected * requestsPerTile);
}

void tst_TileDownload::plainServerOverDirectoryTree()
{
    QTemporaryDir served;
    MapFixture map(14, QSize(320, 256));
    const QRect r = map.visibleTiles();
    TestTiles::writeTree(served.path(), 14, r.left(), r.right(), r.top(), r.bottom());
    QProcess python;
    const quint16 port = ViewProbe::startPythonServer(python, served.path());
    if (port == 0)
        QFAIL("python3 -m http.server did not start");

    QTemporaryDir tmp;
    map.view->setImagePath(tmp.filePath(QStringLiteral("cache")));
    map.view->setTileServerUrl(QStringLiteral("http://127.0.0.1:%1/").arg(port)
                               + QStringLiteral("%1/%2/%3.png"));
    map.view->setEnableTileDownload(true);
    ViewProbe::grab(*map.view);
    QString why;
    QTRY_VERIFY2_WITH_TIMEOUT(map.showsOwnTiles(&why), qPrintable(why), 20000);
    // The tiles landed in the local directory store as PNG files.
    const QPoint first = ViewProbe::tileAt(*map.view, QPoint(100, 100));
    QVERIFY(QFileInfo::exists(
        tmp.filePath(QStringLiteral("cache/14/%1/%2.png").arg(first.x()).arg(first.y()))));
    python.terminate();
    python.waitForFinished(5000);
}

void tst_TileDownload::nothingRequested_data()
{
    QTest::addColumn<bool>("store");
    QTest::addColumn<bool>("url");
    QTest::addColumn<bool>("download");
    QTest::newRow("no template") << true << false << true;
    QTest::newRow("no store") << false << true << true;
    QTest::newRow("download off") << true << true << false;
}

void tst_TileDownload::nothingRequested()
{
    QFETCH(bool, store);
    QFETCH(bool, url);
    QFETCH(bool, download);
    QTemporaryDir tmp;
    MapFixture map(12, QSize(256, 256));
    TileServer server;
    QVERIFY(server.start());
    if (store)
        map.view->setImagePath(tmp.filePath(QStringLiteral("t.sqlitedb")));
    if (url)
        map.view->setTileServerUrl(server.urlTemplate());
    map.view->setEnableTileDownload(download);
    QCOMPARE(map.view->getEnableTileDownload(), download);
    ViewProbe::grab(*map.view);
    settle(200);
    QVERIFY(server.requests.isEmpty());
    QVERIFY(map.blankSamples() > 0);
}

void tst_TileDownload::faultsFailOnceAndStoreNothing_data()
{
    QTest::addColumn<int>("fault");
    for (int i = 0; i < int(std::size(faults)); ++i)
        QTest::newRow(faults[i].name) << i;
}

void tst_TileDownload::faultsFailOnceAndStoreNothing()
{
    QFETCH(int, fault);
    Downloading d(12, QSize(256, 256));
    d.server.setHandler(faults[fault].handler);
    const int expected = visibleTileCount(d.map);
    ViewProbe::grab(*d.map.view);
    // Qt itself retries a GET once when a kept-alive connection closes under it.
    QTRY_VERIFY_WITH_TIMEOUT(d.server.requests.size() >= expected, 15000);
    QTRY_VERIFY_WITH_TIMEOUT(hasRed(ViewProbe::grab(*d.map.view)), 15000);
    settle();
    const int asked = d.server.requests.size();
    QVERIFY(asked <= 2 * expected);
    // Every tile is an error tile now, and none is asked for again however often
    // the view paints.
    for (int i = 0; i < 5; ++i) {
        d.map.view->viewport()->repaint();
        settle(60);
    }
    QCOMPARE(d.server.requests.size(), asked);
    QVERIFY(rowsOf(d.database).isEmpty());
    const QImage shown = ViewProbe::grab(*d.map.view);
    const QSize size = shown.size();
    for (const QPoint corner : {QPoint(0, 0), QPoint(size.width() - 1, size.height() - 1)}) {
        const QPoint tile = ViewProbe::tileAt(*d.map.view, corner);
        QVERIFY(!TestTiles::sameColour(shown.pixelColor(corner),
                                       TestTiles::colourOf(tile.x(), tile.y(), 12), 10));
    }
}

void tst_TileDownload::storeRefusingWritesShowsReply()
{
    // A database that takes no rows: each arriving tile is shown from the reply itself
    // and is not asked for again.
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("refusing.sqlitedb"));
    QFile::copy(QStringLiteral(":/db/dbtemplate.sqlitedb"), path);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("setup"));
        db.setDatabaseName(path);
        db.open();
        QSqlQuery(db).exec(QStringLiteral("create trigger refuse before insert on tiles begin "
                                          "select raise(abort, 'read only'); end"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("setup"));

    MapFixture map(12, QSize(256, 256));
    TileServer server;
    QVERIFY(server.start());
    map.view->setImagePath(path);
    map.view->setTileServerUrl(server.urlTemplate());
    map.view->setEnableTileDownload(true);
    const int tiles = visibleTileCount(map);
    for (int i = 0; i < tiles; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^tile db insert error: ")));
    ViewProbe::grab(*map.view);
    QString why;
    QTRY_VERIFY2_WITH_TIMEOUT(map.showsOwnTiles(&why), qPrintable(why), 15000);
    for (int i = 0; i < 3; ++i) {
        map.view->viewport()->repaint();
        settle(60);
    }
    QCOMPARE(server.requests.size(), tiles);
    QVERIFY(rowsOf(path).isEmpty());
}

void tst_TileDownload::switchingDownloadOffAndOnKeepsFailures()
{
    Downloading d(12, QSize(256, 256));
    d.server.setHandler(notFound);
    ViewProbe::grab(*d.map.view);
    QTRY_COMPARE_WITH_TIMEOUT(d.server.requests.size(), visibleTileCount(d.map), 15000);
    settle();
    QVERIFY(hasRed(ViewProbe::grab(*d.map.view)));
    const int asked = d.server.requests.size();
    d.server.setHandler(TileServer::tile);
    d.map.view->setEnableTileDownload(false);
    d.map.view->setEnableTileDownload(true);
    ViewProbe::grab(*d.map.view);
    settle();
    QCOMPARE(d.server.requests.size(), asked);
    QVERIFY(hasRed(ViewProbe::grab(*d.map.view)));
}

void tst_TileDownload::switchingDownloadOffDropsRepliesInFlight()
{
    Downloading d(12, QSize(256, 256));
    d.server.setHandler(stall);
    const int stalled = visibleTileCount(d.map);
    ViewProbe::grab(*d.map.view);
    QTRY_COMPARE_WITH_TIMEOUT(d.server.requests.size(), stalled, 10000);
    d.map.view->setEnableTileDownload(false);
    d.server.setHandler(TileServer::tile);
    d.map.view->setEnableTileDownload(true);
    d.map.view->setImagePath(d.database);
    ViewProbe::grab(*d.map.view);
    // The tiles that were in flight are asked for again and arrive.
    QTRY_VERIFY_WITH_TIMEOUT(d.map.showsOwnTiles(), 15000);
    QCOMPARE(d.server.tilesServed, stalled);
}

void tst_TileDownload::replyForAnotherLevelStoredNotDrawn()
{
    Downloading d(12, QSize(256, 256));
    d.server.setHandler(delayed(TileServer::tile, 400));
    const int atTwelve = visibleTileCount(d.map);
    ViewProbe::grab(*d.map.view);
    QTRY_COMPARE_WITH_TIMEOUT(d.server.requests.size(), atTwelve, 10000);
    d.server.setHandler(stall);
    d.map.view->setZoom(13.1667);
    ViewProbe::grab(*d.map.view);
    QTRY_COMPARE_WITH_TIMEOUT(d.server.tilesServed, atTwelve, 15000);
    settle();
    const QHash<QString, QByteArray> rows = rowsOf(d.database);
    QCOMPARE(rows.size(), atTwelve);
    for (auto it = rows.begin(); it != rows.end(); ++it)
        QVERIFY(it.key().startsWith(QLatin1String("12/")));
    // Level 13 still waits: no tile colour of either level is on screen.
    const QImage shown = ViewProbe::grab(*d.map.view);
    const QPoint tile = ViewProbe::tileAt(*d.map.view, QPoint(128, 128));
    QVERIFY(!TestTiles::sameColour(shown.pixelColor(128, 128),
                                   TestTiles::colourOf(tile.x(), tile.y(), 13), 10));
    QVERIFY(!TestTiles::sameColour(shown.pixelColor(128, 128),
                                   TestTiles::colourOf(tile.x() / 2, tile.y() / 2, 12), 10));
}

void tst_TileDownload::cancelledReplyNotWritten()
{
    Downloading d(12, QSize(256, 256));
    d.server.setHandler(delayed(TileServer::tile, 300));
    ViewProbe::grab(*d.map.view);
    QTRY_COMPARE_WITH_TIMEOUT(d.server.requests.size(), visibleTileCount(d.map), 10000);
    const QString other = d.tmp.filePath(QStringLiteral("other.sqlitedb"));
    d.map.view->setEnableTileDownload(true);
    d.server.setHandler(stall);
    d.map.view->setImagePath(other); // cancels what is in flight
    settle(900);
    QVERIFY(rowsOf(d.database).isEmpty());
    QVERIFY(rowsOf(other).isEmpty());
}

void tst_TileDownload::dumpServerExchangeLogs()
{
    Downloading d(12, QSize(200, 200));
    d.map.view->centerOn(-179.99, 85.0);
    d.map.view->setDumpServerExchange(true);
    QVERIFY(d.map.view->dumpServerExchange());
    const QRegularExpression any(QStringLiteral("^send request to \"http://127\\.0\\.0\\.1:\\d+/12/\\d+/\\d+\\.png\"$"));
    const QRegularExpression reply(QStringLiteral("^tile server reply QUrl\\(\"http://127\\.0\\.0\\.1:\\d+/12/\\d+/\\d+\\.png\"\\)$"));
    const int tiles = visibleTileCount(d.map);
    for (int i = 0; i < tiles; ++i) {
        QTest::ignoreMessage(QtDebugMsg, any);
        QTest::ignoreMessage(QtDebugMsg, reply);
    }
    ViewProbe::grab(*d.map.view);
    QTRY_COMPARE_WITH_TIMEOUT(d.server.tilesServed, tiles, 15000);
    settle(100);
}

void tst_TileDownload::destroyedWithRequestsInFlight()
{
    auto d = std::make_unique<Downloading>(12, QSize(256, 256));
    d->server.setHandler(delayed(TileServer::tile, 100));
    ViewProbe::grab(*d->map.view);
    QTRY_VERIFY_WITH_TIMEOUT(!d->server.requests.isEmpty(), 10000);
    d->map.view.reset();
    settle(300); // the server answers sockets whose replies are gone
    d.reset();
}

QTEST_MAIN(tst_TileDownload)
#include "tst_tiledownload.moc"

#include "MapFixture.h"
#include "OsmView.h"
#include "TestTiles.h"
#include "TileDatabase.h"
#include "TileServer.h"

#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

#include "QuickTry.h"

// What a view does with download on: which tiles it asks for, what it draws meanwhile
// and after, and what a server, a lock or a host's moves can and cannot do to it. The
// request bookkeeping itself is tested in tst_tiledownloader.
namespace {

using Request = TileServer::Request;
using Response = TileServer::Response;

int storedTiles(const QString &database)
{
    return runSql(database, {QStringLiteral("select count(*) from tiles")}).toInt();
}

bool showsRed(const QImage &image)
{
    for (int y = 0; y < image.height(); y += 4)
        for (int x = 0; x < image.width(); x += 4)
            if (image.pixelColor(x, y).red() > 180 && image.pixelColor(x, y).green() < 90)
                return true;
    return false;
}

long peakRssKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return 0;
}

TileServer::Handler late(int ms)
{
    return [ms](const Request &r) {
        Response response = TileServer::tile(r);
        response.delayMs = ms;
        return response;
    };
}

TileServer::Handler answer(int status, const QByteArray &headers, const QByteArray &body)
{
    return [=](const Request &) { return Response{status, headers, body}; };
}

struct Downloading
{
    explicit Downloading(const QString &file = QStringLiteral("tiles.sqlitedb"), int level = 12)
        : map(level)
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

// Something the host does to a view that is downloading.
using Action = std::function<void(Downloading &)>;

} // namespace

Q_DECLARE_METATYPE(TileServer::Handler)
Q_DECLARE_METATYPE(Action)

class tst_TileDownload : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fetchedOnceStoredAndDrawn_data();
    void fetchedOnceStoredAndDrawn();
    void nothingRequested_data();
    void nothingRequested();
    void arrivalShowsWhereTheViewNowIs_data();
    void arrivalShowsWhereTheViewNowIs();
    void failureMarks_data();
    void failureMarks();
    void lockedStoreNeitherFreezesNorLoses();
    void hostileServerCannotExhaustTheView_data();
    void hostileServerCannotExhaustTheView();
    void exchangeLoggedAndViewDestroyedInFlight();
};

void tst_TileDownload::fetchedOnceStoredAndDrawn_data()
{
    QTest::addColumn<QString>("store");
    QTest::addColumn<int>("delayMs");
    QTest::newRow("tile database") << "tiles.sqlitedb" << 0;
    QTest::newRow("tile database, slow server: placeholder first") << "tiles.sqlitedb" << 400;
    QTest::newRow("directory tree") << "tree" << 0;
    QTest::newRow("mbtiles package") << "city.mbtiles" << 0;
}

void tst_TileDownload::fetchedOnceStoredAndDrawn()
{
    QFETCH(QString, store);
    QFETCH(int, delayMs);
    Downloading d(store);
    d.server.setHandler(late(delayMs));
    const QImage first = d.map.grab();
    if (delayMs) {
        // The placeholder: white with dark text.
        int dark = 0;
        for (int y = 0; y < first.height(); ++y)
            for (int x = 0; x < first.width(); ++x)
                dark += first.pixelColor(x, y).lightness() < 80;
        QVERIFY(dark > 20);
    }
    QTRY_COMPARE(d.server.tilesServed, d.visible());
    QTRY_COMPARE(d.map.wrongSamples(d.map.screen()), 0);
    for (const Request &r : qAsConst(d.server.requests))
        QCOMPARE(r.headers.value("user-agent"), QByteArray("VeltraCenter 2.1"));
    // Stored: once the view lets go of the store, another view shows them without a
    // server.
    d.map.view->setImagePath(QString());
    MapFixture again;
    again.view->setImagePath(d.store);
    QTRY_COMPARE(again.wrongSamples(again.grab()), 0);
    QCOMPARE(d.server.requests.size(), d.visible());
}

void tst_TileDownload::nothingRequested_data()
{
    QTest::addColumn<Action>("action");
    QTest::addColumn<QString>("warning");
    QTest::newRow("no template") << Action([](Downloading &d) { d.map.view->setTileServerUrl({}); }) << "";
    QTest::newRow("no store") << Action([](Downloading &d) { d.map.view->setImagePath({}); }) << "";
    QTest::newRow("download off") << Action([](Downloading &d) { d.map.view->setEnableTileDownload(false); }) << "";
    QTest::newRow("opacity 0") << Action([](Downloading &d) { d.map.view->setOpacity(0); }) << "";
    QTest::newRow("template without markers") << Action([](Downloading &d) { d.map.view->setTileServerUrl("http://127.0.0.1:1/t.png"); }) << "markers";
    QTest::newRow("file template") << Action([](Downloading &d) { d.map.view->setTileServerUrl("file:///etc/%1/%2/%3"); }) << "http";
}

void tst_TileDownload::nothingRequested()
{
    QFETCH(Action, action);
    QFETCH(QString, warning);
    Downloading d;
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    action(d);
    d.map.grab();
    QTest::qWait(100); // the only wait for nothing: requests would have gone out by now
    QCOMPARE(d.server.requests.size(), 0);
}

void tst_TileDownload::arrivalShowsWhereTheViewNowIs_data()
{
    QTest::addColumn<Action>("move");
    auto by = [](QPoint offset) {
        return Action([offset](Downloading &d) {
            d.map.view->centerOn(d.map.view->mapToScene(d.map.view->viewport()->rect().center() + offset));
        });
    };
    QTest::newRow("host centres north") << by(QPoint(0, -200));
    QTest::newRow("host centres south") << by(QPoint(0, 300));
    QTest::newRow("host centres east") << by(QPoint(170, 0));
    QTest::newRow("host fits a rectangle") << Action([](Downloading &d) {
        d.map.view->fitRect(QRectF(d.map.view->mapToScene(QPoint(100, 80)), d.map.view->mapToScene(QPoint(400, 300))));
    });
    QTest::newRow("next level: stored, not drawn") << Action([](Downloading &d) { d.map.view->setZoom(13); });
}

void tst_TileDownload::arrivalShowsWhereTheViewNowIs()
{
    QFETCH(Action, move);
    Downloading d;
    d.server.setHandler(late(100));
    d.map.grab();
    const int first = d.visible();
    QTRY_COMPARE(d.server.requests.size(), first);
    move(d);
    QTRY_COMPARE(d.server.requests.size(), d.server.tilesServed);
    QTRY_COMPARE(d.map.wrongSamples(d.map.screen()), 0);
    // What arrived for level 12 is stored, wherever the view went.
    QTRY_VERIFY(runSql(d.store, {"select count(*) from tiles where z = 12"}).toInt() >= first);
}

void tst_TileDownload::failureMarks_data()
{
    // After tiles failed with 404 at level 12, what lifts their marks.
    QTest::addColumn<Action>("change");
    QTest::addColumn<bool>("retried");
    QTest::newRow("nothing: permanent failures stay marked") << Action([](Downloading &) {}) << false;
    QTest::newRow("switching download off and on keeps them") << Action([](Downloading &d) {
        d.map.view->setEnableTileDownload(false);
        d.map.view->setEnableTileDownload(true);
    }) << false;
    QTest::newRow("another level is another tile") << Action([](Downloading &d) { d.map.view->setZoom(13); }) << true;
    QTest::newRow("another server URL may have the tiles") << Action([](Downloading &d) {
        d.map.view->setTileServerUrl(d.server.urlTemplate() + QStringLiteral("?v=2"));
    }) << true;
    QTest::newRow("another source") << Action([](Downloading &d) {
        d.map.view->setImagePath(d.tmp.filePath(QStringLiteral("other.sqlitedb")));
    }) << true;
    QTest::newRow("a zoom clamped to the maximum") << Action([](Downloading &d) {
        d.map.view->setZoomMax(12);
        d.map.view->setZoom(20);
    }) << true;
}

void tst_TileDownload::failureMarks()
{
    QFETCH(Action, change);
    QFETCH(bool, retried);
    Downloading d;
    d.server.setHandler(answer(404, {}, "no such tile"));
    d.map.grab();
    QTRY_VERIFY(showsRed(d.map.screen()));
    const int asked = d.server.requests.size();
    d.server.setHandler(TileServer::tile);
    change(d);
    d.map.view->viewport()->update();
    if (retried) {
        QTRY_COMPARE(d.map.wrongSamples(d.map.screen()), 0);
    } else {
        QTest::qWait(200); // the only wait for nothing
        QCOMPARE(d.server.requests.size(), asked);
        QVERIFY(showsRed(d.map.grab()));
    }
}

void tst_TileDownload::lockedStoreNeitherFreezesNorLoses()
{
    // Half the view is stored. Another program locks the file while the other half is
    // on its way: the arrivals show at once and reach the file once the lock is gone;
    // a paint meanwhile fetches nothing it cannot read.
    Downloading d;
    const QRect visible = d.map.visibleTiles().adjusted(1, 1, -1, -1);
    const QRect stored(visible.topLeft(), QSize(visible.width() / 2, visible.height()));
    d.map.view->setImagePath(QString());
    writeDatabase(d.store, 12, stored);
    d.map.view->setImagePath(d.store);
    d.server.setHandler(late(100));
    d.map.grab();
    const int missing = d.visible() - stored.width() * stored.height();
    QTRY_COMPARE(d.server.requests.size(), missing);
    SqliteLock lock;
    QVERIFY(lock.lock(d.store));
    QTRY_COMPARE(d.server.tilesServed, missing);
    QTRY_COMPARE(d.map.wrongSamples(d.map.screen()), 0);

    d.map.view->setImagePath(d.store); // forget what was read: every read meets the lock
    d.map.view->viewport()->repaint();
    lock.release();
    QTRY_COMPARE(d.map.wrongSamples(d.map.screen()), 0);
    QTRY_COMPARE(storedTiles(d.store), d.visible());
    QCOMPARE(d.server.requests.size(), missing);
}

void tst_TileDownload::hostileServerCannotExhaustTheView_data()
{
    QTest::addColumn<TileServer::Handler>("handler");
    const QByteArray svg = "<svg xmlns='http://www.w3.org/2000/svg' width='60000' height='60000'>"
                           "<rect width='60000' height='60000'/></svg>";
    const QByteArray svgImage = "<svg xmlns='http://www.w3.org/2000/svg' "
                                "xmlns:xlink='http://www.w3.org/1999/xlink'><image "
                                "xlink:href='/etc/hostname' width='256' height='256'/></svg>";
    // A 35-byte GIF whose frame claims 65535 x 65535 pixels.
    const QByteArray gif = QByteArray::fromHex("474946383961010001000000002c00000000ffffffff00000"
                                               "2024c01003b");
    QTest::newRow("svg") << answer(200, "Content-Type: image/svg+xml\r\n", svg);
    QTest::newRow("svg with an image reference") << answer(200, {}, svgImage);
    QTest::newRow("gif bomb") << answer(200, {}, gif);
    QTest::newRow("4096 x 4096 png") << answer(200, {}, TestTiles::pngDeclaring(4096));
    QTest::newRow("gzip bomb") << answer(200, "Content-Encoding: gzip\r\n",
                                         TileServer::gzip(QByteArray(64 << 20, '\0')));
}

void tst_TileDownload::hostileServerCannotExhaustTheView()
{
    QFETCH(TileServer::Handler, handler);
    Downloading d;
    d.server.setHandler(handler);
    const long before = peakRssKb();
    d.map.grab();
    QTRY_VERIFY(showsRed(d.map.screen()));
    QTRY_COMPARE(d.server.requests.size(), d.visible());
    QCOMPARE(storedTiles(d.store), 0);
    QVERIFY2(peakRssKb() - before < 64 * 1024, qPrintable(QString::number(peakRssKb() - before)));
}

void tst_TileDownload::exchangeLoggedAndViewDestroyedInFlight()
{
    Downloading d;
    d.server.setHandler([](const Request &) { return Response{200, {}, {}, -1}; });
    d.map.view->setDumpServerExchange(true);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^send request to \"http://127.0.0.1"));
    d.map.view->viewport()->repaint();
    QTRY_VERIFY(!d.server.requests.isEmpty());
    d.map.view.reset(); // requests in flight die with the view, and nothing is written
    QCOMPARE(storedTiles(d.store), 0);
}

QTEST_MAIN(tst_TileDownload)
#include "tst_tiledownload.moc"

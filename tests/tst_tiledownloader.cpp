#include "TestTiles.h"
#include "TileDownloader.h"
#include "TileServer.h"
#include "TilesFromFile.h"

#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

Q_DECLARE_METATYPE(TileServer::Response)
Q_DECLARE_METATYPE(TileDownloader::State)

namespace {

using Request = TileServer::Request;
using Response = TileServer::Response;
using Status = TileDownloader::Status;

const TileKey Key(5, 7, 12);
const QByteArray KeyPath = "/12/5/7.png";

Response reply(int status, const QByteArray &headers = {}, const QByteArray &body = "<html/>")
{
    return Response{status, headers, body};
}

Response served(int delayMs = 0, int dripMs = 0, int cutAt = -1)
{
    const QByteArray png = TestTiles::encoded(Key.x, Key.y, Key.z);
    return Response{200, "Content-Type: image/png\r\n", png, delayMs, dripMs, cutAt};
}

Response stall(const Request & = {})
{
    return Response{200, {}, {}, -1};
}

quint16 refusingPort()
{
    QTcpServer closed;
    closed.listen(QHostAddress::LocalHost, 0);
    return closed.serverPort();
}

// A downloader over a directory store and a loopback server, on a clock the test moves.
struct Fixture
{
    explicit Fixture(TileServer::Handler handler = TileServer::tile) : server(std::move(handler))
    {
        server.start();
        downloader.setStore(&store);
        downloader.setUrlTemplate(server.urlTemplate());
        downloader.setClock([this] { return now; });
    }

    int outcomes() const { return arrived.count() + failed.count(); }
    QStringList paths() const
    {
        QStringList paths;
        for (const Request &request : server.requests)
            paths << QString::fromLatin1(request.path);
        return paths;
    }

    QTemporaryDir dir;
    TilesFromFile store{dir.path()};
    TileServer server;
    TileDownloader downloader;
    qint64 now = 0;
    QSignalSpy arrived{&downloader, &TileDownloader::tileArrived};
    QSignalSpy failed{&downloader, &TileDownloader::tileFailed};
};

} // namespace

class tst_TileDownloader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void serverBehaviours_data();
    void serverBehaviours();
    void backoffDoublesUpToTenMinutes();
    void changes_data();
    void changes();
    void staleQueuedRequestsDropped_data();
    void staleQueuedRequestsDropped();
    void visibleTilesCentreFirstWithinBudget();
    void templates_data();
    void templates();
    void offGridNeverRequested_data();
    void offGridNeverRequested();
};

void tst_TileDownloader::serverBehaviours_data()
{
    // What the server answers to GET /12/5/7.png, and what becomes of the tile: stored
    // (error 0), or failed with `error` and asked for again `retryMs` after the failure
    // when wanted (-1: never). Status 0: nothing listens on the port.
    QTest::addColumn<Response>("response");
    QTest::addColumn<int>("error");
    QTest::addColumn<qint64>("retryMs");
    const QByteArray gzip = "Content-Encoding: gzip\r\n";
    const QByteArray date = "Date: Tue, 15 Nov 1994 08:12:31 GMT\r\n";
    const QByteArray svg = "<svg xmlns=\"http://www.w3.org/2000/svg\"><rect/></svg>";
    const QByteArray bigPng = TestTiles::encoded(5, 7, 12, "PNG", 4096);
    const QByteArray bomb = TileServer::gzip(QByteArray(4 << 20, '\0'));
    const Response endless{200, {}, QByteArray(64 << 10, 'x'), 0, 0, -1, true};
    const qint64 never = -1;
    const qint64 soon = 10000; // the first backoff
    const qint64 twoMinutes = 120000;
    const qint64 anHour = 3600000;
    QTest::newRow("served") << served() << 0 << never;
    QTest::newRow("served late") << served(200) << 0 << never;
    QTest::newRow("redirected") << reply(302, "Location: /12/5/7.png?moved\r\n") << 0 << never;
    QTest::newRow("404 not found") << reply(404) << 203 << never;
    QTest::newRow("410 gone") << reply(410) << 207 << never;
    QTest::newRow("408 request timeout") << reply(408) << 299 << soon;
    QTest::newRow("429, wait 120 s") << reply(429, "Retry-After: 120\r\n") << 299 << twoMinutes;
    QTest::newRow("429, wait until a date 120 s on")
        << reply(429, date + "Retry-After: Tue, 15 Nov 1994 08:14:31 GMT\r\n") << 299 << twoMinutes;
    QTest::newRow("429, wait 10^20 s: an hour")
        << reply(429, "Retry-After: 100000000000000000000\r\n") << 299 << anHour;
    QTest::newRow("500 internal error") << reply(500) << 401 << soon;
    QTest::newRow("502 bad gateway") << reply(502) << 499 << soon;
    QTest::newRow("503, wait a day: an hour") << reply(503, "Retry-After: 86400\r\n") << 403
                                              << anHour;
    QTest::newRow("503, wait 1 s: the backoff") << reply(503, "Retry-After: 1\r\n") << 403 << soon;
    QTest::newRow("504 gateway timeout") << reply(504) << 499 << soon;
    QTest::newRow("no answer: inactivity timeout") << stall() << 4 << soon;
    QTest::newRow("slow drip: deadline") << served(0, 100) << 4 << soon;
    QTest::newRow("connection refused") << reply(0) << 1 << soon;
    QTest::newRow("closed mid-body") << served(0, 0, 100) << 2 << soon;
    QTest::newRow("html page with 200") << reply(200) << 299 << never;
    QTest::newRow("svg") << reply(200, {}, svg) << 299 << never;
    QTest::newRow("4096 x 4096 png") << reply(200, {}, bigPng) << 299 << never;
    QTest::newRow("gzip bomb") << reply(200, gzip, bomb) << 299 << never;
    QTest::newRow("png labelled gzip") << reply(200, gzip, served().body) << 299 << never;
    QTest::newRow("endless body") << endless << 299 << never;
}

void tst_TileDownloader::serverBehaviours()
{
    QFETCH(Response, response);
    QFETCH(int, error);
    QFETCH(qint64, retryMs);
    Fixture f([&](const Request &r) { return r.path.endsWith("?moved") ? served() : response; });
    f.downloader.setTransferTimeout(1000);
    f.downloader.setDeadline(1500);
    if (response.status == 0)
        f.downloader.setUrlTemplate(QStringLiteral("http://127.0.0.1:%1/").arg(refusingPort())
                                    + QStringLiteral("{z}/{x}/{y}.png"));
    QCOMPARE(f.downloader.want(Key).state, TileDownloader::Requested);
    QCOMPARE(f.downloader.want(Key).state, TileDownloader::Requested);
    QTRY_COMPARE_WITH_TIMEOUT(f.outcomes(), 1, 10000);
    for (const Request &request : qAsConst(f.server.requests)) {
        QCOMPARE(request.headers.value("user-agent"), QByteArray("VeltraCenter 2.1"));
        QCOMPARE(request.headers.value("accept-encoding"), QByteArray("identity"));
    }
    QCOMPARE(f.arrived.count(), int(error == 0));
    if (error == 0) {
        const QImage stored = f.store.pixmap(Key).toImage();
        QVERIFY(TestTiles::sameColour(stored.pixelColor(0, 0), TestTiles::colourOf(5, 7, 12)));
        QCOMPARE(f.arrived.first().at(0).value<TileKey>(), Key);
        QCOMPARE(f.paths().count(KeyPath), 1); // wanted twice, fetched once
        return;
    }
    QCOMPARE(f.failed.first().at(0).value<TileKey>(), Key);
    QCOMPARE(f.failed.first().at(1).toInt(), error);
    QVERIFY(QDir(f.dir.path()).isEmpty());
    QTRY_COMPARE(f.server.busy(), 0); // no connection stays held

    f.now = retryMs < 0 ? 2 * 3600 * 1000 : retryMs - 1;
    const Status early = f.downloader.want(Key);
    QCOMPARE(early.state, TileDownloader::Failed);
    QCOMPARE(early.error, error);
    QCOMPARE(f.downloader.queuedCount() + f.downloader.inFlightCount(), 0);
    if (retryMs < 0)
        return;
    f.now = retryMs;
    QCOMPARE(f.downloader.want(Key).state, TileDownloader::Requested);
    QTRY_COMPARE_WITH_TIMEOUT(f.outcomes(), 2, 10000);
}

void tst_TileDownloader::backoffDoublesUpToTenMinutes()
{
    Fixture f([](const Request &) { return reply(503); });
    f.downloader.want(Key);
    for (const qint64 seconds : {10, 20, 40, 80, 160, 320, 600, 600}) {
        QTRY_COMPARE(f.failed.count(), 1);
        f.failed.clear();
        f.now += seconds * 1000 - 1;
        QCOMPARE(f.downloader.want(Key).state, TileDownloader::Failed);
        f.now += 1;
        QCOMPARE(f.downloader.want(Key).state, TileDownloader::Requested);
    }
    // A success ends the series: the next failure waits the first delay again.
    f.server.setHandler(TileServer::tile);
    QTRY_COMPARE(f.arrived.count(), 1);
    f.server.setHandler([](const Request &) { return reply(503); });
    f.downloader.want(Key);
    QTRY_COMPARE(f.failed.count(), 1);
    f.now += 10000;
    QCOMPARE(f.downloader.want(Key).state, TileDownloader::Requested);
}

void tst_TileDownloader::changes_data()
{
    // After a failed tile and three requests that wait (two in flight, one queued): what
    // a want() of the failed tile (or of its column and row one level down) gives, and
    // whether the waiting requests survive the change.
    QTest::addColumn<int>("change");
    QTest::addColumn<TileDownloader::State>("probe");
    QTest::addColumn<bool>("requestsKept");
    const auto failed = TileDownloader::Failed;
    const auto requested = TileDownloader::Requested;
    QTest::newRow("nothing: the mark holds") << 0 << failed << true;
    QTest::newRow("another level: marks are per level") << 1 << requested << true;
    QTest::newRow("same template again") << 2 << failed << true;
    QTest::newRow("template changed") << 3 << requested << false;
    QTest::newRow("store changed") << 4 << requested << false;
    QTest::newRow("store removed") << 5 << TileDownloader::NotRequested << false;
    QTest::newRow("cancelAll") << 6 << failed << false;
    QTest::newRow("clearMarks") << 7 << requested << true;
}

void tst_TileDownloader::changes()
{
    QFETCH(int, change);
    QFETCH(TileDownloader::State, probe);
    QFETCH(bool, requestsKept);
    Fixture f([](const Request &r) { return r.path == KeyPath ? reply(404) : stall(); });
    f.downloader.setMaxInFlight(2);
    f.downloader.want(Key);
    QTRY_COMPARE(f.failed.count(), 1);
    for (int x = 0; x < 3; ++x)
        f.downloader.want(TileKey(x, 0, 12));
    QTRY_COMPARE(f.server.busy(), 2);
    QTemporaryDir otherDir;
    TilesFromFile otherStore(otherDir.path());
    if (change == 2)
        QVERIFY(f.downloader.setUrlTemplate(f.server.urlTemplate()));
    else if (change == 3)
        QVERIFY(f.downloader.setUrlTemplate(f.server.urlTemplate() + QStringLiteral("?v=2")));
    else if (change == 4 || change == 5)
        f.downloader.setStore(change == 4 ? &otherStore : nullptr);
    else if (change == 6)
        f.downloader.cancelAll();
    else if (change == 7)
        f.downloader.clearMarks();

    QCOMPARE(f.downloader.inFlightCount() + f.downloader.queuedCount(), requestsKept ? 3 : 0);
    if (!requestsKept)
        QTRY_COMPARE(f.server.busy(), 0); // the connections were dropped
    QCOMPARE(f.downloader.want(change == 1 ? TileKey(5, 7, 13) : Key).state, probe);
    QCOMPARE(f.outcomes(), 1); // a cancelled request reports nothing
}

void tst_TileDownloader::staleQueuedRequestsDropped_data()
{
    QTest::addColumn<TileKey>("next"); // top-left tile of the next 2 x 2 window
    QTest::newRow("level changed") << TileKey(0, 0, 13);
    QTest::newRow("long pan") << TileKey(100, 100, 12);
}

void tst_TileDownloader::staleQueuedRequestsDropped()
{
    QFETCH(TileKey, next);
    Fixture f;
    f.downloader.setMaxInFlight(1);
    for (int x = 0; x < 4; ++x)
        for (int y = 0; y < 4; ++y)
            f.downloader.want(TileKey(x, y, 12));
    f.downloader.setView(12, QRect(0, 0, 4, 4), QPointF(2.5, 2.5));
    const QRect window(next.x, next.y, 2, 2);
    for (int x = window.left(); x <= window.right(); ++x)
        for (int y = window.top(); y <= window.bottom(); ++y)
            f.downloader.want(TileKey(x, y, next.z));
    f.downloader.setView(next.z, window, QPointF(window.center()));
    QTRY_COMPARE(f.arrived.count(), 5);
    // Of the first view only the request in flight ran on.
    QCOMPARE(f.paths().filter(QRegularExpression(QStringLiteral("^/12/[0-3]/[0-3]\\.png$"))),
             QStringList{QStringLiteral("/12/2/2.png")});
    QCOMPARE(f.downloader.queuedCount(), 0);
    // A dropped tile is forgotten, not left queued: wanted again, it comes.
    QCOMPARE(f.downloader.want(TileKey(0, 0, 12)).state, TileDownloader::Requested);
    QTRY_COMPARE(f.arrived.count(), 6);
}

void tst_TileDownloader::visibleTilesCentreFirstWithinBudget()
{
    Fixture f;
    f.downloader.setMaxInFlight(1);
    const QRect window(10, 20, 5, 5);
    for (int y = window.top(); y <= window.bottom(); ++y)
        for (int x = window.left(); x <= window.right(); ++x)
            f.downloader.want(TileKey(x, y, 12));
    const QPointF centre(12.5, 22.5);
    f.downloader.setView(12, window, centre);
    QTRY_COMPARE(f.arrived.count(), 25);
    QCOMPARE(f.server.mostBusy, 1);
    QCOMPARE(f.server.requests.first().path, QByteArray("/12/12/22.png"));
    double last = 0;
    for (const Request &request : qAsConst(f.server.requests)) {
        const QList<QByteArray> zxy = request.path.mid(1).chopped(4).split('/');
        const QPointF tileCentre(zxy[1].toInt() + 0.5, zxy[2].toInt() + 0.5);
        QVERIFY2(QLineF(centre, tileCentre).length() >= last, request.path.constData());
        last = QLineF(centre, tileCentre).length();
    }
}

void tst_TileDownloader::templates_data()
{
    // "@" stands for the server's host and port; no path: the template is refused.
    QTest::addColumn<QString>("urlTemplate");
    QTest::addColumn<QString>("path");
    QTest::newRow("%1/%2/%3") << "http://@/%1/%2/%3.png" << "/12/5/7.png";
    QTest::newRow("{z}/{x}/{y}") << "http://@/{z}/{x}/{y}.png" << "/12/5/7.png";
    QTest::newRow("any order, repeated") << "http://@/%3/%2/%1.png?z=%1" << "/7/5/12.png?z=12";
    QTest::newRow("literal %2F and %20 kept") << "http://@/a%2F%20/%1/%2/%3" << "/a%2F%20/12/5/7";
    QTest::newRow("literal %2f beside braces") << "http://@/%2f/{z}/{x}/{y}" << "/%2F/12/5/7";
    QTest::newRow("file:// refused") << "file:///tmp/%1/%2/%3.png" << "";
    QTest::newRow("ftp:// refused") << "ftp://@/%1/%2/%3.png" << "";
    QTest::newRow("no markers refused") << "http://@/tile.png" << "";
    QTest::newRow("no level marker refused") << "http://@/{x}/{y}.png" << "";
}

void tst_TileDownloader::templates()
{
    QFETCH(QString, urlTemplate);
    QFETCH(QString, path);
    Fixture f;
    f.downloader.setUrlTemplate(QString());
    urlTemplate.replace(QLatin1Char('@'), QStringLiteral("127.0.0.1:%1").arg(f.server.port()));
    if (path.isEmpty()) {
        // One warning naming the template; a second would fail the run as an unexpected one.
        const QString quoted = QRegularExpression::escape(QLatin1Char('"') + urlTemplate + '"');
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(quoted));
        QVERIFY(!f.downloader.setUrlTemplate(urlTemplate));
        QVERIFY(!f.downloader.setUrlTemplate(urlTemplate));
        QCOMPARE(f.downloader.want(Key).state, TileDownloader::NotRequested);
        QCOMPARE(f.downloader.queuedCount(), 0);
        return;
    }
    QVERIFY(f.downloader.setUrlTemplate(urlTemplate));
    f.downloader.setDumpServerExchange(true);
    const QString host = QRegularExpression::escape(
        QStringLiteral("\"http://127.0.0.1:%1/").arg(f.server.port()));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^send request to " + host + ".*\"$"));
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression("^tile server reply QUrl\\(" + host + ".*\"\\)$"));
    QVariantList attributes; // level, column and row
    connect(f.downloader.network(), &QNetworkAccessManager::finished, [&](QNetworkReply *reply) {
        for (int i = QNetworkRequest::User + 1; i <= QNetworkRequest::User + 3; ++i)
            attributes << reply->request().attribute(QNetworkRequest::Attribute(i));
    });
    QCOMPARE(f.downloader.want(Key).state, TileDownloader::Requested);
    QTRY_COMPARE(f.outcomes(), 1);
    QCOMPARE(f.paths(), QStringList{path});
    QCOMPARE(attributes, (QVariantList{12, 5, 7}));
}

void tst_TileDownloader::offGridNeverRequested_data()
{
    QTest::addColumn<TileKey>("key");
    QTest::newRow("column west of the grid") << TileKey(-1, 0, 3);
    QTest::newRow("column east of the grid") << TileKey(8, 0, 3);
    QTest::newRow("row north of the grid") << TileKey(0, -1, 3);
    QTest::newRow("row south of the grid") << TileKey(0, 8, 3);
    QTest::newRow("level below 0") << TileKey(0, 0, -1);
    QTest::newRow("level above 30") << TileKey(0, 0, 31);
}

void tst_TileDownloader::offGridNeverRequested()
{
    QFETCH(TileKey, key);
    Fixture f;
    const Status status = f.downloader.want(key);
    QCOMPARE(status.state, TileDownloader::Failed);
    QCOMPARE(status.error, int(TileDownloader::OffGridError));
    QCOMPARE(f.downloader.queuedCount(), 0);
    // The last tile of the deepest level is on the grid.
    QCOMPARE(f.downloader.want(TileKey((1 << 30) - 1, (1 << 30) - 1, 30)).state,
             TileDownloader::Requested);
}

QTEST_MAIN(tst_TileDownloader)
#include "tst_tiledownloader.moc"

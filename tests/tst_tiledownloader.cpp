#include "RowTable.h"
#include "TestTiles.h"
#include "TileDownloader.h"
#include "TileServer.h"
#include "TilesFromDb.h"
#include "TilesFromFile.h"
#include "WaitFor.h"

#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

// The downloader against a loopback server that each row scripts, on a clock the test
// moves, so that backoffs and Retry-After are checked without waiting for them.
namespace {

using Request = TileServer::Request;
using Response = TileServer::Response;

const TileKey Key(5, 7, 12);

QString path(const TileKey &key)
{
    return QStringLiteral("/%1/%2/%3.png").arg(key.z).arg(key.x).arg(key.y);
}

Response tile(const QByteArray &headers = {}, int padding = 0, int delayMs = 0, int dripMs = 0)
{
    return Response{200, headers, TestTiles::encoded(5, 7, 12) + QByteArray(padding, '\0'), delayMs,
                    dripMs};
}

QString failed(int error)
{
    return QStringLiteral("failed %1").arg(error);
}

QString outcome(const TileKey &key, int error)
{
    return path(key) + ' ' + QString::number(error);
}

Response reply(int status, const QByteArray &headers = {}, const QByteArray &body = "<html/>")
{
    return Response{status, headers, body};
}

const Response Silence{200, {}, {}, -1};

struct Fixture
{
    explicit Fixture(TileServer::Handler handler = TileServer::tile)
        : server([this, handler](const Request &r) {
              paths << QString::fromLatin1(r.path);
              return handler(r);
          })
    {
        server.start();
        downloader.setStore(&store);
        downloader.setUrlTemplate(server.urlTemplate());
        downloader.setClock([this] { return now; });
        QObject::connect(&downloader, &TileDownloader::tileArrived,
                         [this](const TileKey &key) { outcomes << outcome(key, 0); });
        QObject::connect(&downloader, &TileDownloader::tileFailed,
                         [this](const TileKey &key, int e) { outcomes << outcome(key, e); });
    }
    QString want(const TileKey &key)
    {
        const TileDownloader::Status s = downloader.want(key);
        const char *const states[] = {"not requested", "requested", "failed "};
        return states[s.state] + (s.error ? QString::number(s.error) : QString());
    }
    int waiting() const { return downloader.queuedCount() + downloader.inFlightCount(); }

    QStringList outcomes; // the tile's path and the error, 0 for an arrival
    QStringList paths;    // of the requests the server received
    QTemporaryDir dir;
    TilesFromFile store{dir.path()};
    TileServer server;
    TileDownloader downloader;
    qint64 now = 0;
};

// What the server answers to GET /12/5/7.png while the tile is on screen, and what becomes
// of it: stored (error 0), or failed with `error` and asked for again `retryMs` after the
// failure when wanted (-1: never). Status 0: nothing listens on the port.
const qint64 Never = -1, Soon = 10000, TwoMinutes = 120000, FiveMinutes = 300000, AnHour = 3600000;
// clang-format off
const struct { const char *name; Response (*response)(); int error; qint64 retryMs; } behaviourRows[] = {
    {"served", [] { return tile(); }, 0, Never},
    {"served late", [] { return tile({}, 0, 200); }, 0, Never},
    {"redirected", [] { return reply(302, "Location: /12/5/7.png?moved\r\n"); }, 0, Never},
    {"redirected to a file: not followed", [] { return reply(301, "Location: file:///etc/hostname\r\n"); }, QNetworkReply::ProtocolUnknownError, Never},
    {"404 not found", [] { return reply(404); }, QNetworkReply::ContentNotFoundError, Never},
    {"410 gone", [] { return reply(410); }, QNetworkReply::ContentGoneError, Never},
    {"429, wait 120 s", [] { return reply(429, "Retry-After: 120\r\n"); }, QNetworkReply::UnknownContentError, TwoMinutes},
    {"429, wait 10^20 s: an hour", [] { return reply(429, "Retry-After: 100000000000000000000\r\n"); }, QNetworkReply::UnknownContentError, AnHour},
    {"500 internal error", [] { return reply(500); }, QNetworkReply::InternalServerError, Soon},
    {"503, wait a day: an hour", [] { return reply(503, "Retry-After: 86400\r\n"); }, QNetworkReply::ServiceUnavailableError, AnHour},
    {"503, wait 1 s: the backoff", [] { return reply(503, "Retry-After: 1\r\n"); }, QNetworkReply::ServiceUnavailableError, Soon},
    {"no answer: inactivity timeout", [] { return Silence; }, TileDownloader::TimeoutError, Soon},
    {"slow drip: deadline", [] { return tile({}, 0, 0, 100); }, TileDownloader::TimeoutError, Soon},
    {"connection refused", [] { return reply(0); }, QNetworkReply::ConnectionRefusedError, Soon},
    {"closed mid-body", [] { return tile("Content-Length: 100000\r\nConnection: close\r\n"); }, QNetworkReply::RemoteHostClosedError, Soon},
    {"cut short, closed without a length", [] { return reply(200, "Connection: close\r\n", TestTiles::encoded(5, 7, 12).left(60)); }, TileDownloader::BadBodyError, FiveMinutes},
    {"html page with 200", [] { return reply(200); }, TileDownloader::BadBodyError, FiveMinutes},
    {"4096 x 4096 png", [] { return reply(200, {}, TestTiles::encoded(5, 7, 12, "PNG", 4096)); }, TileDownloader::BadBodyError, FiveMinutes},
    {"jpeg of 200 scans", [] { QByteArray jpeg = TestTiles::encoded(5, 7, 12, "JPEG"); const QByteArray scan = jpeg.mid(jpeg.indexOf("\xff\xda")).chopped(2); for (int i = 0; i < 200; ++i) jpeg.insert(jpeg.size() - 2, scan); return reply(200, {}, jpeg); }, TileDownloader::BadBodyError, FiveMinutes},
    {"svg drawn as a tile", [] { return reply(200, "Content-Type: image/svg+xml\r\n", "<svg xmlns='http://www.w3.org/2000/svg' width='60000' height='60000'><rect width='60000' height='60000'/></svg>"); }, TileDownloader::BadBodyError, FiveMinutes},
    {"svg drawing a local file", [] { return reply(200, {}, "<svg xmlns='http://www.w3.org/2000/svg' xmlns:xlink='http://www.w3.org/1999/xlink'><image xlink:href='/etc/hostname' width='256' height='256'/></svg>"); }, TileDownloader::BadBodyError, FiveMinutes},
    {"tiny gif declaring 65535 x 65535", [] { return reply(200, {}, QByteArray::fromHex("474946383961010001000000002c00000000ffffffff000002024c01003b")); }, TileDownloader::BadBodyError, FiveMinutes},
    {"gzip bomb", [] { return reply(200, "Content-Encoding: gzip\r\n", qCompress(QByteArray(16 << 20, '\0'), 9)); }, TileDownloader::BadBodyError, FiveMinutes},
    {"png labelled gzip", [] { return tile("Content-Encoding: gzip\r\n"); }, TileDownloader::BadBodyError, FiveMinutes},
    {"over 8 MiB without a length", [] { return tile("Connection: close\r\n", 9 << 20); }, TileDownloader::BadBodyError, FiveMinutes},
};
// clang-format on

// After a failed tile and seven requests that wait (six in flight, one queued), and a
// change: what want() gives for `probe` and whether the waiting requests survive.
// clang-format off
const struct { const char *name; void (*change)(Fixture &); TileKey probe; QString state; bool kept; } wantRows[] = {
    {"nothing: the mark holds", [](Fixture &) {}, Key, failed(QNetworkReply::ContentNotFoundError), true},
    {"another level: marks are per level", [](Fixture &) {}, {5, 7, 13}, "requested", true},
    {"same template again", [](Fixture &f) { QVERIFY(f.downloader.setUrlTemplate(f.server.urlTemplate())); }, Key, failed(QNetworkReply::ContentNotFoundError), true},
    {"template changed", [](Fixture &f) { QVERIFY(f.downloader.setUrlTemplate(f.server.urlTemplate() + "?v=2")); }, Key, "requested", false},
    {"store reopened", [](Fixture &f) { f.downloader.setStore(&f.store); }, Key, "requested", false},
    {"store removed", [](Fixture &f) { f.downloader.setStore(nullptr); }, Key, "not requested", false},
    {"cancelAll", [](Fixture &f) { f.downloader.cancelAll(); }, Key, failed(QNetworkReply::ContentNotFoundError), false},
    {"cancelAll forgets what was queued", [](Fixture &f) { f.downloader.cancelAll(); }, {6, 0, 12}, "requested", false},
    {"clearMarks", [](Fixture &f) { f.downloader.clearMarks(); }, Key, "requested", true},
    {"off grid: column west", [](Fixture &) {}, {-1, 0, 3}, failed(TileDownloader::OffGridError), true},
    {"off grid: column east", [](Fixture &) {}, {8, 0, 3}, failed(TileDownloader::OffGridError), true},
    {"off grid: row north", [](Fixture &) {}, {0, -1, 3}, failed(TileDownloader::OffGridError), true},
    {"off grid: row south", [](Fixture &) {}, {0, 8, 3}, failed(TileDownloader::OffGridError), true},
    {"off grid: level below 0", [](Fixture &) {}, {0, 0, -1}, failed(TileDownloader::OffGridError), true},
    {"off grid: level above 30", [](Fixture &) {}, {0, 0, 31}, failed(TileDownloader::OffGridError), true},
    {"on the grid: the last tile of level 30", [](Fixture &) {}, {(1 << 30) - 1, (1 << 30) - 1, 30}, "requested", true},
};
// clang-format on

// One request at a time from the 5 x 5 tiles around /12/12/22.png, then maybe a move to
// the 2 x 2 tiles at `next`: how many of the first view's requests go out.
// clang-format off
const struct { const char *name; TileKey next; int firstViewRequests; } queueRows[] = {
    {"centre first, no move", {}, 25},
    {"level changed: the queue of the old one dropped", {10, 20, 13}, 1},
    {"long pan: the queue of the old view dropped", {100, 100, 12}, 1},
};
// clang-format on

// The first reply, then the 25 tiles of a view wanted: how long they all wait.
// clang-format off
const struct { const char *name; Response first; qint64 pauseMs; } pauseRows[] = {
    {"429 with Retry-After: the server paused", reply(429, "Retry-After: 60\r\n"), 60000},
    {"503 with Retry-After as a date", reply(503, "Date: Tue, 15 Nov 1994 08:12:31 GMT\r\nRetry-After: Tue, 15 Nov 1994 08:13:01 GMT\r\n"), 30000},
    {"503 without Retry-After: that tile alone waits", reply(503), 0},
    {"500 with Retry-After: that tile alone waits", reply(500, "Retry-After: 60\r\n"), 0},
};
// clang-format on

// Tiles 0/0 and 1/0 of level 12 failed for good and 2/0 for a while, in a view of the
// 4 x 4 tiles at 0/0; then the view moves, maybe after 10 s: which marks are kept.
// clang-format off
const struct { const char *name; int z; QPoint corner; qint64 later; bool keptFinal, keptTransient; } pruneRows[] = {
    {"a pan of a screen keeps them", 12, {4, 0}, 0, true, true},
    {"a pan of a screen, 10 s on: the expired mark off screen dropped", 12, {4, 0}, 10000, true, false},
    {"two levels up keeps them", 10, {0, 0}, 0, true, true},
    {"three levels up drops them", 9, {0, 0}, 0, false, false},
    {"two levels down, within a screen, keeps them", 14, {4, 0}, 0, true, true},
    {"a pan of two screens drops them", 12, {8, 8}, 0, false, false},
};
// clang-format on

// A small tile whose body comes a byte every `dripMs`, where a body must bring 4 bytes in
// every 200 ms and the deadline is a minute away.
// clang-format off
const struct { const char *name; int dripMs; int error; } slowRows[] = {
    {"a byte every 100 ms: cut within a second", 100, TileDownloader::TimeoutError},
    {"a byte every 2 ms: kept", 2, 0},
};
// clang-format on

// "@" stands for the server's host and port; no path: the template is refused.
// clang-format off
const struct { const char *name, *text, *path; } templateRows[] = {
    {"%1/%2/%3", "http://@/%1/%2/%3.png", "/12/5/7.png"},
    {"{z}/{x}/{y}", "http://@/{z}/{x}/{y}.png", "/12/5/7.png"},
    {"any order, repeated", "http://@/%3/%2/%1.png?z=%1", "/7/5/12.png?z=12"},
    {"literal %2F and %20 kept", "http://@/a%2F%20/%1/%2/%3", "/a%2F%20/12/5/7"},
    {"literal %2f beside braces", "http://@/%2f/{z}/{x}/{y}", "/%2F/12/5/7"},
    {"file:// refused", "file:///tmp/%1/%2/%3.png", nullptr},
    {"no host refused", "http:///%1/%2/%3.png", nullptr},
    {"no level marker refused", "http://@/{x}/{y}.png", nullptr},
};
// clang-format on

} // namespace

// A stored tile of version "a", fetched two hours ago with a lifetime of 900 s, revalidated
// with HTTP caching on: what the server answers, what the tile becomes ("held": a 304,
// "new": replaced, "shown": drawn but not stored, "failed"), the lifetime then known,
// and the ETag the store keeps.
// clang-format off
const struct { const char *name; int status; const char *headers; const char *outcome; qint64 lifetime; const char *etag; } revalidationRows[] = {
    {"304: the tile holds", 304, "ETag: \"a\"\r\nCache-Control: max-age=600\r\n", "held", 600, "\"a\""},
    {"304 saying nothing keeps what was said", 304, "", "held", 900, "\"a\""},
    {"200 replaces, Age counted", 200, "ETag: \"b\"\r\nCache-Control: public, max-age=60\r\nAge: 20\r\n", "new", 40, "\"b\""},
    {"200 no-cache: stale at once", 200, "Cache-Control: no-cache\r\n", "new", 0, ""},
    {"200 expiring an hour after its date", 200, "Date: Tue, 15 Nov 1994 08:12:31 GMT\r\nExpires: Tue, 15 Nov 1994 09:12:31 GMT\r\n", "new", 3600, ""},
    {"200 whose Expires is no date: stale", 200, "Expires: 0\r\n", "new", 0, ""},
    {"200 saying nothing", 200, "", "new", -1, ""},
    {"200 whose ETag holds a CR: no validator", 200, "ETag: \"b\rX-Injected: 1\"\r\n", "new", -1, ""},
    {"200 no-store: shown, the old tile kept", 200, "Cache-Control: no-store\r\nETag: \"b\"\r\n", "shown", -1, "\"a\""},
    {"503: the old tile kept", 503, "", "failed", 900, "\"a\""},
};
// clang-format on

class tst_TileDownloader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void serverBehaviours_data() { addRows(behaviourRows); }
    void serverBehaviours();
    void backoffDoublesUpToTenMinutes();
    void want_data() { addRows(wantRows); }
    void want();
    void queue_data() { addRows(queueRows); }
    void queue();
    void templates_data() { addRows(templateRows); }
    void templates();
    void tileBackBringsTheOthersForward();
    void retryAfterPausesTheServer_data() { addRows(pauseRows); }
    void retryAfterPausesTheServer();
    void marksKeptNearTheView_data() { addRows(pruneRows); }
    void marksKeptNearTheView();
    void marksBoundedInCount();
    void slowBodies_data() { addRows(slowRows); }
    void slowBodies();
    void revalidation_data() { addRows(revalidationRows); }
    void revalidation();
};

void tst_TileDownloader::serverBehaviours()
{
    QFETCH(int, row);
    const auto &t = behaviourRows[row];
    const Response response = t.response();
    Fixture f([&](const Request &r) { return r.path.endsWith("?moved") ? tile() : response; });
    f.downloader.setTransferTimeout(400);
    f.downloader.setDeadline(700);
    f.downloader.setView(Key.z, QRect(0, 0, 16, 16), QPointF(8, 8));
    if (response.status == 0)
        f.server.stop();
    QCOMPARE(f.want(Key), QStringLiteral("requested"));
    QCOMPARE(f.want(Key), QStringLiteral("requested"));
    WAIT_COMPARE_WITHIN(f.outcomes, QStringList(outcome(Key, t.error)), 10000);
    QCOMPARE(f.paths.count(path(Key)), int(response.status != 0)); // wanted twice, asked once
    if (t.error == 0) {
        const QColor stored = f.store.pixmap(Key).toImage().pixelColor(0, 0);
        QVERIFY(TestTiles::sameColour(stored, TestTiles::colourOf(5, 7, 12)));
        return;
    }
    QVERIFY(QDir(f.dir.path()).isEmpty());
    WAIT_COMPARE(f.server.busy(), 0); // no connection stays held
    f.now = t.retryMs < 0 ? 2 * AnHour : t.retryMs - 1;
    QCOMPARE(f.want(Key), failed(t.error));
    QCOMPARE(f.waiting(), 0);
    if (t.retryMs < 0)
        return;
    f.now = t.retryMs;
    QCOMPARE(f.want(Key), QStringLiteral("requested"));
    QCOMPARE(f.waiting(), 1);
}

void tst_TileDownloader::backoffDoublesUpToTenMinutes()
{
    Fixture f([](const Request &) { return reply(503); });
    f.downloader.want(Key);
    for (const qint64 seconds : {10, 20, 40, 80, 160, 320, 600, 600}) {
        WAIT_COMPARE(f.outcomes.size(), 1);
        f.outcomes.clear();
        f.now += seconds * 1000 - 1;
        QCOMPARE(f.want(Key), failed(QNetworkReply::ServiceUnavailableError));
        f.now += 1;
        QCOMPARE(f.want(Key), QStringLiteral("requested"));
    }
    // A success ends the series: the next failure waits the first delay again.
    f.server.setHandler(TileServer::tile);
    WAIT_COMPARE(f.outcomes, QStringList(outcome(Key, 0)));
    QCOMPARE(f.downloader.markCount(), 0);
    f.server.setHandler([](const Request &) { return reply(503); });
    f.downloader.want(Key);
    WAIT_COMPARE(f.outcomes.size(), 2);
    f.now += 10000;
    QCOMPARE(f.want(Key), QStringLiteral("requested"));
}

void tst_TileDownloader::want()
{
    QFETCH(int, row);
    const auto &t = wantRows[row];
    Fixture f(
        [](const Request &r) { return r.path == path(Key).toLatin1() ? reply(404) : Silence; });
    f.downloader.want(Key);
    WAIT_COMPARE(f.outcomes.size(), 1);
    for (int x = 0; x < 7; ++x)
        f.downloader.want(TileKey(x, 0, 12));
    WAIT_COMPARE(f.server.busy(), 6);
    QCOMPARE(f.downloader.inFlightCount(), 6); // the budget
    t.change(f);
    if (!t.kept)
        WAIT_COMPARE(f.server.busy(), 0); // the connections were dropped
    const QString state = f.want(t.probe);
    QCOMPARE(state, t.state);
    QCOMPARE(f.waiting(), (t.kept ? 7 : 0) + int(state == "requested"));
    QCOMPARE(f.outcomes.size(), 1); // a cancelled request reports nothing
}

void tst_TileDownloader::queue()
{
    QFETCH(int, row);
    const auto &t = queueRows[row];
    Fixture f;
    f.downloader.setMaxInFlight(1);
    const auto show = [&f](const TileKey &corner, int side) {
        const QRect window(corner.x, corner.y, side, side);
        for (int x = window.left(); x <= window.right(); ++x)
            for (int y = window.top(); y <= window.bottom(); ++y)
                f.downloader.want(TileKey(x, y, corner.z));
        f.downloader.setView(corner.z, window, QRectF(window).center());
    };
    show(TileKey(10, 20, 12), 5);
    QCOMPARE(f.downloader.inFlightCount(), 1);
    const bool moved = t.next.z > 0;
    if (moved)
        show(t.next, 2);
    WAIT_COMPARE(f.outcomes.size(), t.firstViewRequests + (moved ? 4 : 0));
    QCOMPARE(f.waiting(), 0);
    QCOMPARE(f.paths.size(), f.outcomes.size());
    QCOMPARE(f.paths.first(), QStringLiteral("/12/12/22.png"));
    const auto distance = [](const QString &path) { // from the centre, for "/12/x/y.png"
        const QStringList zxy = path.split(QRegularExpression("[/.]"));
        return QLineF(12.5, 22.5, zxy[2].toInt() + 0.5, zxy[3].toInt() + 0.5).length();
    };
    QVERIFY(std::is_sorted(f.paths.begin(), f.paths.begin() + t.firstViewRequests,
                           [&](const QString &a, const QString &b) {
                               return distance(a) < distance(b);
                           }));
    // A dropped tile is forgotten, not left queued: wanted again, it comes.
    const int done = f.outcomes.size();
    QCOMPARE(f.want(TileKey(10, 20, 12)), QStringLiteral("requested"));
    WAIT_COMPARE(f.outcomes.size(), done + 1);
}

void tst_TileDownloader::templates()
{
    QFETCH(int, row);
    const auto &t = templateRows[row];
    Fixture f;
    const QString host = QStringLiteral("127.0.0.1:%1").arg(f.server.port());
    const QString text = QString::fromLatin1(t.text).replace(QLatin1Char('@'), host);
    if (!t.path) {
        // One warning naming the template; a second would fail the run as an unexpected one.
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QRegularExpression::escape('"' + text + '"')));
        QVERIFY(!f.downloader.setUrlTemplate(text));
        QVERIFY(!f.downloader.setUrlTemplate(text));
        QCOMPARE(f.want(Key), QStringLiteral("not requested"));
        return;
    }
    QVERIFY(f.downloader.setUrlTemplate(text));
    f.downloader.setDumpServerExchange(true);
    const QString url = QRegularExpression::escape("\"http://" + host + '/') + ".*\"";
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^send request to " + url + '$'));
    QTest::ignoreMessage(QtDebugMsg,
                         QRegularExpression("^tile server reply QUrl\\(" + url + "\\)$"));
    QVariantList attributes; // level, column and row
    QObject::connect(f.downloader.network(), &QNetworkAccessManager::finished,
                     [&](QNetworkReply *reply) {
                         for (int i : {1, 2, 3})
                             attributes << reply->request().attribute(
                                 QNetworkRequest::Attribute(QNetworkRequest::User + i));
                     });
    QCOMPARE(f.want(Key), QStringLiteral("requested"));
    WAIT_COMPARE(f.outcomes.size(), 1);
    QCOMPARE(f.paths, QStringList(t.path));
    QCOMPARE(f.server.requests[0].headers.value("user-agent"), QByteArray("VeltraCenter 2.1"));
    QCOMPARE(f.server.requests[0].headers.value("accept-encoding"), QByteArray("identity"));
    QCOMPARE(attributes, (QVariantList{12, 5, 7}));
}

void tst_TileDownloader::tileBackBringsTheOthersForward()
{
    // Both fail in an outage, the second twice: it would wait 20 s longer than the first.
    bool down = true;
    Fixture f([&](const Request &r) { return down ? reply(503) : TileServer::tile(r); });
    const TileKey other(6, 7, 12);
    f.downloader.setView(Key.z, QRect(0, 0, 16, 16), QPointF(8, 8));
    f.downloader.want(Key);
    f.downloader.want(other);
    WAIT_COMPARE(f.outcomes.size(), 2);
    f.now = Soon;
    QCOMPARE(f.want(other), QStringLiteral("requested"));
    WAIT_COMPARE(f.outcomes.size(), 3);
    QCOMPARE(f.downloader.retryAt(other), Soon + 2 * Soon);
    down = false;
    QCOMPARE(f.want(Key), QStringLiteral("requested"));
    WAIT_COMPARE(f.outcomes.mid(3), (QStringList{outcome(Key, 0), outcome(other, 0)}));
}

void tst_TileDownloader::retryAfterPausesTheServer()
{
    QFETCH(int, row);
    const auto &t = pauseRows[row];
    Fixture f([&](const Request &r) {
        return r.path == path(Key).toLatin1() ? t.first : TileServer::tile(r);
    });
    const QRect window(6, 5, 5, 5); // beside Key: it is not asked for again
    const auto wantAll = [&] {
        for (int x = window.left(); x <= window.right(); ++x)
            for (int y = window.top(); y <= window.bottom(); ++y)
                QCOMPARE(f.want(TileKey(x, y, Key.z)), QStringLiteral("requested"));
        f.downloader.setView(Key.z, window, QRectF(window).center());
    };
    f.downloader.setView(Key.z, window, QRectF(window).center());
    f.downloader.want(Key);
    WAIT_COMPARE(f.outcomes.size(), 1);
    wantAll();
    QCOMPARE(f.downloader.inFlightCount(), t.pauseMs ? 0 : 6);
    if (t.pauseMs) {
        f.now = t.pauseMs - 1;
        wantAll();
        QCOMPARE(f.downloader.inFlightCount(), 0);
        f.now = t.pauseMs;
        wantAll();
        QCOMPARE(f.downloader.inFlightCount(), 6);
    }
    WAIT_COMPARE(f.outcomes.size(), 26);
    QCOMPARE(f.server.requests.size(), 26); // each asked once
}

void tst_TileDownloader::marksKeptNearTheView()
{
    QFETCH(int, row);
    const auto &t = pruneRows[row];
    Fixture f([](const Request &r) { return r.path == "/12/2/0.png" ? reply(503) : reply(404); });
    f.downloader.setView(12, QRect(0, 0, 4, 4), QPointF(2, 2));
    for (int x = 0; x < 3; ++x)
        f.downloader.want(TileKey(x, 0, 12));
    WAIT_COMPARE(f.outcomes.size(), 3);
    f.now = t.later;
    f.downloader.setView(t.z, QRect(t.corner, QSize(4, 4)),
                         QRectF(t.corner, QSizeF(4, 4)).center());
    QCOMPARE(f.downloader.retryAt(TileKey(0, 0, 12)), t.keptFinal ? -1 : 0);
    QCOMPARE(f.downloader.retryAt(TileKey(1, 0, 12)), t.keptFinal ? -1 : 0);
    QCOMPARE(f.downloader.retryAt(TileKey(2, 0, 12)), t.keptTransient ? Soon : 0);
    QCOMPARE(f.downloader.markCount(), 2 * t.keptFinal + t.keptTransient);
}

void tst_TileDownloader::marksBoundedInCount()
{
    // A view of 70 x 60 tiles, none of which the server has.
    Fixture f([](const Request &) { return reply(404); });
    const QRect window(0, 0, 70, 60);
    f.downloader.setView(12, window, QRectF(window).center());
    for (int x = window.left(); x <= window.right(); ++x)
        for (int y = window.top(); y <= window.bottom(); ++y)
            f.downloader.want(TileKey(x, y, 12));
    // A real event loop between replies: the sleeps of a polling wait would set the pace.
    QSignalSpy failures(&f.downloader, &TileDownloader::tileFailed);
    while (f.outcomes.size() < 4200 && failures.wait())
        ;
    QCOMPARE(f.outcomes.size(), 4200);
    QVERIFY(f.downloader.markCount() <= 4096);
    QCOMPARE(f.downloader.retryAt(TileKey(35, 30, 12)), -1); // the nearest are kept
}

void tst_TileDownloader::slowBodies()
{
    QFETCH(int, row);
    const auto &t = slowRows[row];
    Fixture f([&](const Request &) {
        return Response{200, {}, TestTiles::encoded(5, 7, 12, "PNG", 16), 0, t.dripMs};
    });
    f.downloader.setSlowBodyLimit(4, 200);
    f.downloader.want(Key);
    WAIT_COMPARE(f.outcomes, QStringList(outcome(Key, t.error)));
    WAIT_COMPARE(f.server.busy(), 0); // the connection is free again
}

void tst_TileDownloader::revalidation()
{
    QFETCH(int, row);
    const auto &t = revalidationRows[row];
    QTemporaryDir dir;
    QString error;
    std::unique_ptr<Tiles> store = Tiles::open(dir.filePath("t.sqlitedb"), {}, &error);
    const QByteArray old = TestTiles::encoded(1, 1, 12);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    const QDateTime twoHoursAgo = QDateTime::fromSecsSinceEpoch(now - 7200, Qt::UTC);
    store->setData(Key, old);
    store->setFreshness(Key, {twoHoursAgo, 900, "\"a\"", "Tue, 15 Nov 1994 08:12:31 GMT"});
    Fixture f([&](const Request &) {
        return Response{t.status, t.headers, t.status == 200 ? TestTiles::encoded(5, 7, 12) : ""};
    });
    f.downloader.setClock(nullptr);
    f.downloader.setStore(store.get());
    TileDownloader &downloader = f.downloader;
    QVERIFY(!downloader.revalidate(Key)); // only with HTTP caching
    downloader.setHttpCaching(true);
    QString outcome;
    qint64 lifetime = -2;
    connect(&downloader, &TileDownloader::tileFresh, [&](const TileKey &, qint64 l, bool changed) {
        lifetime = l;
        outcome = changed ? "new" : "held";
    });
    connect(&downloader, &TileDownloader::revalidationFailed, [&] { outcome = "failed"; });
    connect(&downloader, &TileDownloader::tileFailed, [&] { outcome = "a failed download"; });
    QVERIFY(downloader.revalidate(Key));
    QVERIFY(!downloader.revalidate(Key)); // once
    QVERIFY(waitFor([&] { return !outcome.isEmpty(); }));
    const Request &asked = f.server.requests.last();
    QCOMPARE(asked.headers.value("if-none-match"), QByteArray("\"a\""));
    QCOMPARE(asked.headers.value("if-modified-since"), QByteArray("Tue, 15 Nov 1994 08:12:31 GMT"));

    Tiles::ReadResult result;
    const QByteArray stored = store->tileData(Key, &result);
    const Tiles::Freshness record = store->freshness(Key, &result);
    const bool replaced = stored != old;
    if (outcome == "new" && !replaced)
        outcome = "shown";
    QCOMPARE(outcome, QString(t.outcome));
    QCOMPARE(record.etag, QByteArray(t.etag));
    const bool renewed = record.fetched != twoHoursAgo;
    QCOMPARE(renewed, outcome == "held" || outcome == "new");
    if (renewed) {
        QCOMPARE(record.lifetime, t.lifetime);
        QVERIFY(qAbs(record.fetched.secsTo(QDateTime::currentDateTimeUtc())) < 60);
    }
    if (outcome != "failed")
        QCOMPARE(lifetime, t.lifetime);
    else
        QVERIFY(!downloader.revalidate(TileKey(6, 7, 12))); // the server backs off
}

QTEST_MAIN(tst_TileDownloader)
#include "tst_tiledownloader.moc"

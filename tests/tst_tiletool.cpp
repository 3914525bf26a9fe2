#include "RowTable.h"
#include "TestTiles.h"
#include "TileServer.h"
#include "Tiles.h"

#include <QtCore/QProcess>
#include <QtCore/QRegularExpression>
#include <QtCore/QTemporaryDir>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtTest/QtTest>

// veltra-tiles run as a program against a loopback tile server. Seeds run on a simulated
// clock, so that rate limits and pauses pass at once, over levels 0 to 2: 21 tiles.
namespace {

using Request = TileServer::Request;
using Response = TileServer::Response;
const QByteArray Html = "<!DOCTYPE html><html><body>Bandwidth exceeded</body></html>";

struct Run
{
    int exitCode = -1;
    QString output;
};

Run tool(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    // Waits with this thread's event loop running: the server answers from it.
    QEventLoop loop;
    QObject::connect(&process, &QProcess::stateChanged, &loop, [&] {
        if (process.state() == QProcess::NotRunning)
            loop.quit();
    });
    QTimer::singleShot(60000, &loop, [&] { process.kill(); });
    process.start(QStringLiteral(VELTRA_TILES_TOOL), arguments);
    loop.exec();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAll())};
}

// How many tiles the store holds, each as the server serves it; -1 if one differs.
int intact(const QString &path)
{
    Tiles::OpenOptions options;
    options.create = false;
    int count = 0;
    if (std::unique_ptr<Tiles> store = Tiles::open(path, options, nullptr))
        store->forEachTile(0, 30, Tiles::Content::KeysAndData, [&](const TileKey &k, QByteArray data) {
            count = count >= 0 && data == TestTiles::encoded(k.x, k.y, k.z) ? count + 1 : -1;
            return true;
        });
    return count;
}

// The server's faults: most concern tile 2/1/1 alone.
enum Fault { None, Slow, First429, First503, Page, NotFound, Error500Once, Error500, AllGone };

Response serve(Fault fault, const Request &request, int index)
{
    if ((fault == First429 || fault == First503) && index == 0)
        return {fault == First429 ? 429 : 503, "Retry-After: 30\r\n", "busy"};
    const bool odd = request.path == "/2/1/1.png" || fault == AllGone;
    const int oddStatus[] = {200, 200, 200, 200, 200, 404, index < 21 ? 500 : 200, 500, 410};
    if (odd && fault == Page)
        return {200, "Content-Type: text/html\r\n", Html};
    if (odd && oddStatus[fault] != 200)
        return {oddStatus[fault], {}, "no"};
    Response tile = TileServer::tile(request);
    tile.delayMs = fault == Slow ? 100 : 0;
    return tile;
}

struct SeedRow
{
    const char *name;
    const char *suffix;
    Fault fault;
    const char *options;
    int exitCode, requests, stored;
    const char *output;
} const SeedRows[] = {
    {"directory, %1 template", "", None, "", 0, 21, 21, "Stored 21 of 21 tiles; fetched 21"},
    {"database, {z} template", ".sqlitedb", None, "", 0, 21, 21, "Stored 21 of 21"},
    {"package rows not flipped", ".mbtiles", None, "", 0, 21, 21, "Stored 21 of 21"},
    {"more than two in flight", ".sqlitedb", Slow, "", 0, 21, 21, "Stored 21 of 21"},
    {"rate limit not kept", "", None, "--rate 4", 0, 21, 21, "in 5.0 s"},
    {"no rate limit", "", None, "--rate 0", 0, 21, 21, "in 0.0 s"},
    {"429 not pausing the run", ".mbtiles", First429, "", 0, 22, 21, "429\\): pausing for 30.0 s"},
    {"503 not pausing the run", "", First503, "--rate 0", 0, 22, 21, "in 30.0 s"},
    {"transient failure not retried", "", Error500Once, "--rate 0", 0, 22, 21, "in 10.0 s"},
    {"retries without end", "", Error500, "--attempts 2", 1, 22, 20, "1 tiles failed:\n +1  HTTP 500"},
    {"404 retried or stored", ".sqlitedb", NotFound, "", 1, 21, 20, "1  HTTP 404"},
    {"failures not accepted", "", NotFound, "--accept-failures", 0, 21, 20, "HTTP 404"},
    {"error page stored", ".mbtiles", Page, "", 1, 21, 20, "1  not a tile image"},
    {"hopeless run not stopped", ".sqlitedb", AllGone, "", 1, 11, 0, "first 10 tiles all failed"},
    {"progress lines", "", None, "--progress-interval 1", 0, 21, 21, "\\.\n(\\d+/21 tiles[^\n]*\n){4,6}Stored"},
    {"progress bar", "", None, "--progress bar", 0, 21, 21, "\r\\[#{24}\\] 21/21 tiles, 4.2 tiles/s"},
    {"no limit on tiles", "", None, "--zoom 0-7", 2, 0, 0, "21845 tiles to fetch, about 416.7 MiB"},
};

} // namespace

class tst_TileTool : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void seed_data() { addRows(SeedRows); }
    void seed();
    void resumesWithoutRefetching();
    void copyRoundTrip_data();
    void copyRoundTrip();
    void infoAndVerify_data();
    void infoAndVerify();
    void badArguments_data();
    void badArguments();

private:
    QTemporaryDir dir;
};

void tst_TileTool::seed()
{
    QFETCH(int, row);
    const SeedRow &r = SeedRows[row];
    TileServer server([&](const Request &q) { return serve(r.fault, q, server.requests.size() - 1); });
    QVERIFY(server.start());
    const QString out = dir.filePath(QLatin1String(r.name) + QLatin1String(r.suffix));
    QString url = server.urlTemplate();
    if (row == 1)
        url.replace(QStringLiteral("%1/%2/%3"), QStringLiteral("{z}/{x}/{y}"));
    const Run run = tool(QStringList{"seed", "--url", url, "--bbox", "-180,-85,180,85", "--zoom", "0-2",
                                     "--contact", "ops@example.org", "--simulated-clock", "--progress",
                                     "lines", out} + QString(r.options).split(' ', Qt::SkipEmptyParts));
    QVERIFY2(QRegularExpression(r.output).match(run.output).hasMatch(), qPrintable(run.output));
    QCOMPARE(run.exitCode, r.exitCode);
    QCOMPARE(server.requests.size(), r.requests);
    QCOMPARE(intact(out), r.stored);
    QCOMPARE(QFileInfo::exists(out), r.exitCode != 2);
    QVERIFY(server.mostBusy <= 2 && (r.fault != Slow || server.mostBusy == 2));
    for (const Request &q : qAsConst(server.requests))
        QCOMPARE(q.headers.value("user-agent"), QByteArray("veltra-tiles/" VELTRA_VERSION " (+ops@example.org)"));
    if (r.fault == First429 || r.fault == First503) // asked again, after the request in flight only
        QVERIFY(server.requests[1].path == server.requests[0].path
                || server.requests[2].path == server.requests[0].path);
    if (QLatin1String(r.suffix) == QLatin1String(".mbtiles")) { // plain SQL: rows from the south
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), out);
        db.setDatabaseName(out);
        QSqlQuery q(db.open() ? db : QSqlDatabase());
        QVERIFY(q.exec("SELECT tile_data FROM tiles WHERE zoom_level = 2 AND tile_column = 3 AND tile_row = 3"));
        QVERIFY(q.next() && q.value(0).toByteArray() == TestTiles::encoded(3, 0, 2));
    }
}

void tst_TileTool::resumesWithoutRefetching()
{
    // The first run is killed with five tiles stored and two more requests hanging.
    bool hang = true;
    TileServer server([&](const Request &q) {
        return hang && server.requests.size() > 5 ? Response{200, {}, {}, -1} : TileServer::tile(q);
    });
    QVERIFY(server.start());
    const QString out = dir.filePath(QStringLiteral("resumed.mbtiles"));
    const QStringList seed{"seed", "--url", server.urlTemplate(), "--bbox", "-180,-85,180,85",
                           "--zoom", "0-2", "--rate", "0", out};
    QProcess first;
    first.start(QStringLiteral(VELTRA_TILES_TOOL), seed);
    QTRY_COMPARE_WITH_TIMEOUT(intact(out), 5, 20000);
    QTRY_COMPARE(server.requests.size(), 7);
    first.kill();
    QVERIFY(first.waitForFinished());
    const QList<Request> firstRun = std::exchange(server.requests, {});
    hang = false;
    QCOMPARE(tool(seed).exitCode, 0);
    QCOMPARE(server.requests.size(), 16);
    for (const Request &q : qAsConst(server.requests))
        for (int i = 0; i < 5; ++i)
            QVERIFY2(q.path != firstRun[i].path, q.path);
    QCOMPARE(intact(out), 21);
}

void tst_TileTool::copyRoundTrip_data()
{
    // From a tree of levels 1 to 3, 84 tiles, one of them an error page.
    QTest::addColumn<QStringList>("chain");
    QTest::addColumn<QString>("option");
    QTest::addColumn<int>("tiles");
    QTest::newRow("bytes changed") << QStringList{"", ".mbtiles", ".sqlitedb", ""} << "--zoom=0-30" << 83;
    QTest::newRow("levels beyond --zoom") << QStringList{"", ".sqlitedb"} << "--zoom=2-2" << 16;
    QTest::newRow("tiles beyond --bbox") << QStringList{"", ".mbtiles"} << "--bbox=0,0,180,85" << 21;
}

void tst_TileTool::copyRoundTrip()
{
    QFETCH(QStringList, chain);
    QFETCH(QString, option);
    QFETCH(int, tiles);
    const QString base = dir.filePath(QString::fromLatin1(QTest::currentDataTag()));
    for (int z = 1; z <= 3; ++z)
        TestTiles::writeTree(base, z, 0, (1 << z) - 1, 0, (1 << z) - 1);
    QFile page(base + QStringLiteral("/3/2/2.png"));
    QVERIFY(page.open(QIODevice::WriteOnly) && page.write(Html) > 0);
    page.close();
    QString from = base;
    for (int i = 1; i < chain.size(); ++i) {
        const QString to = QStringLiteral("%1 %2%3").arg(base, QString::number(i), chain[i]);
        const Run run = tool({"copy", from, to, option});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.output.contains("Skipped 1 tiles that are not whole images"), i == 1 && tiles == 83);
        from = to;
    }
    QCOMPARE(intact(from), tiles);
}

void tst_TileTool::infoAndVerify_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("kind");
    QTest::newRow("directory") << QString() << "directory of tiles";
    QTest::newRow("database") << QStringLiteral(".sqlitedb") << "SQLite tile database";
    QTest::newRow("package") << QStringLiteral(".mbtiles") << "MBTiles package";
}

void tst_TileTool::infoAndVerify()
{
    QFETCH(QString, suffix);
    QFETCH(QString, kind);
    const QString path = dir.filePath(QStringLiteral("checked") + suffix);
    const QByteArray jpeg = TestTiles::encoded(3, 2, 3, "JPEG");
    const QByteArray cut = TestTiles::encoded(2, 2, 3).left(60);
    if (std::unique_ptr<Tiles> store = Tiles::open(path, Tiles::OpenOptions(), nullptr)) {
        store->setData(TileKey(1, 1, 2), TestTiles::encoded(1, 1, 2));
        store->setData(TileKey(3, 2, 3), jpeg);
        store->setData(TileKey(2, 2, 3), cut);
        store->setData(TileKey(1, 2, 3), Html);
    }
    const qint64 bytes = TestTiles::encoded(1, 1, 2).size() + jpeg.size() + cut.size() + Html.size();
    const struct
    {
        QStringList arguments;
        int exitCode;
        QStringList lines;
    } runs[] = {
        {{"info", path}, 0, {QStringLiteral("Store:    %1 (%2)").arg(path, kind),
                             "Tiles:    4, " + QLocale::c().formattedDataSize(bytes, 1),
                             "Level  2: tiles 1, columns 1-1, rows 1-1",
                             "Level  3: tiles 3, columns 1-3, rows 2-2",
                             "Bounds:   -135.000000,0.000000,0.000000,66.513260 (west,south,east,north in degrees)",
                             "Formats:  jpeg 1, not an image 1, png 2"}},
        {{"verify", path}, 1, {"3/1/2: HTML page, 59 bytes", "3/2/2: PNG that does not decode",
                               "Checked 4 tiles: 2 are not tile images."}},
        {{"verify", "--purge", path}, 0, {"Removed 2 of them."}},
        {{"verify", path}, 0, {"Checked 2 tiles: 0 are not tile images."}}};
    for (const auto &r : runs) {
        const Run run = tool(r.arguments);
        QCOMPARE(run.exitCode, r.exitCode);
        for (const QString &line : r.lines)
            QVERIFY2(run.output.contains(line + QLatin1Char('\n')), qPrintable(run.output));
    }
}

void tst_TileTool::badArguments_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    const QString seed = QStringLiteral("seed --url URL --zoom 10-11 --bbox ");
    QTest::newRow("bbox out of range") << seed + "10,50,190,51 OUT" << 2 << "longitudes lie between -180 and 180";
    QTest::newRow("west east of east") << seed + "11,50,10,51 OUT" << 2 << "the west edge 11 lies east";
    QTest::newRow("south north of north") << seed + "10,51,11,50 OUT" << 2 << "the south edge 51 lies north";
    QTest::newRow("levels reversed") << seed + "10,50,11,51 --zoom 5-3 OUT" << 2 << "level 5 is above the last 3";
    QTest::newRow("unknown store kind") << seed + "10,50,11,51 OUT.zip" << 2 << "what kind of store";
    QTest::newRow("template without row") << seed + "10,50,11,51 --url http://h/{z}/{x}.png OUT" << 2 << "markers";
    QTest::newRow("no --url") << "seed --zoom 1 --bbox 10,50,11,51 OUT" << 2 << "seed needs --url";
    QTest::newRow("copy onto itself") << "copy HERE HERE/" << 2 << "both source and target";
    QTest::newRow("unknown command") << "fetch" << 2 << "unknown command \"fetch\"";
    QTest::newRow("help") << "--help" << 0 << "Commands:\n  info PATH";
    for (const char *command : {"info", "seed", "copy", "verify"})
        QTest::newRow(command) << command + QStringLiteral(" --help") << 0 << QStringLiteral("Usage: veltra-tiles ") + command;
}

void tst_TileTool::badArguments()
{
    QFETCH(QString, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    TileServer server;
    QVERIFY(server.start());
    QTemporaryDir empty;
    arguments.replace(QStringLiteral("URL"), server.urlTemplate()).replace(QStringLiteral("HERE"), empty.path());
    const Run run = tool(arguments.replace(QStringLiteral("OUT"), empty.filePath("out")).split(' '));
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.output.contains(message), qPrintable(run.output));
    QVERIFY(QDir(empty.path()).isEmpty());
    QCOMPARE(server.requests.size(), 0);
}

QTEST_GUILESS_MAIN(tst_TileTool)
#include "tst_tiletool.moc"

#include "RowTable.h"
#include "TestTiles.h"
#include "TileDatabase.h"
#include "TileServer.h"
#include "Tiles.h"
#include "WaitFor.h"

#include <QtTest/QtTest>

#include <csignal>

// veltra-tiles run as a program against a loopback tile server. Seeds run on a simulated
// clock, so that rate limits and pauses pass at once, over levels 0 to 2: 21 tiles.
namespace {

using Request = TileServer::Request;
using Response = TileServer::Response;
const QByteArray Html = "<!DOCTYPE html><html><body>Bandwidth exceeded</body></html>";

struct Run
{
    int exitCode;
    QString output;
};

// Waits with this thread's event loop running: the server answers from it.
Run finish(QProcess &process)
{
    QEventLoop loop;
    QObject::connect(&process, &QProcess::stateChanged, &loop, [&] {
        if (process.state() == QProcess::NotRunning)
            loop.quit();
    });
    QTimer::singleShot(60000, &loop, [&] { process.kill(); });
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAll())};
}

// Files of no more than 3072 bytes (six blocks of 512), the size of an empty tile
// database; unlike a read-only file, the limit binds root as well.
const QString SmallDisk = QStringLiteral("trap '' XFSZ; ulimit -f 6");

// NAME=value entries go into the environment, which holds no COLUMNS otherwise.
void start(QProcess &process, const QStringList &arguments, const QStringList &environment = {},
           const QString &shell = {})
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("COLUMNS"));
    for (const QString &entry : environment)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (shell.isEmpty())
        process.start(QStringLiteral(VELTRA_TILES_TOOL), arguments);
    else
        process.start(QStringLiteral("/bin/sh"),
                      QStringList{"-c", shell + "; exec \"$0\" \"$@\"", VELTRA_TILES_TOOL}
                          + arguments);
}

Run tool(const QStringList &arguments, const QStringList &environment = {},
         const QString &shell = {})
{
    QProcess process;
    start(process, arguments, environment, shell);
    return finish(process);
}

QStringList words(const QString &line)
{
    return line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

// A seed of the world from `url` into `out`, at levels 0 to 2 unless more options say
// otherwise.
QStringList seedWorld(const QString &url, const QString &out)
{
    return words("seed --bbox -180,-85,180,85 --zoom 0-2 --url " + url) << out;
}

// How many tiles the store holds at levels 0 to 3, each as served (PNG) or written
// (JPEG); -1 if one is not.
int intact(const QString &path)
{
    Tiles::OpenOptions options;
    options.create = false;
    int count = 0;
    if (std::unique_ptr<Tiles> store = Tiles::open(path, options, nullptr))
        store->forEachTile(0, 3, Tiles::Content::KeysAndData,
                           [&](const TileKey &k, QByteArray data) {
                               const bool same = data == TestTiles::encoded(k.x, k.y, k.z)
                                   || data == TestTiles::encoded(k.x, k.y, k.z, "JPEG");
                               count = count >= 0 && same ? count + 1 : -1;
                               return true;
                           });
    return count;
}

// The server's faults: most concern tile 2/1/1 alone. FullDisk is the store's: a database
// that may not grow, or a tree whose level 2 is a file.
enum Fault {
    None,
    Slow,
    First429,
    First503,
    Page,
    NotFound,
    Error500Once,
    Error500,
    AllGone,
    FullDisk,
    Refused,
    NoHost
};

Response serve(Fault fault, const Request &request, int index)
{
    if ((fault == First429 || fault == First503) && index == 0)
        return {fault == First429 ? 429 : 503,
                fault == First429 ? "Retry-After: 60\r\n" : "Retry-After: 30\r\n", "busy"};
    const bool odd = request.path == "/2/1/1.png" || fault == AllGone;
    const int oddStatus[] = {200, 200, 200, 200, 200, 404, index < 21 ? 500 : 200,
                             500, 410, 200, 200, 200};
    if (odd && fault == Page)
        return {200, "Content-Type: text/html\r\n", Html};
    if (odd && oddStatus[fault] != 200)
        return {oddStatus[fault], {}, "no"};
    Response tile = TileServer::tile(request);
    tile.delayMs = fault == Slow ? 30 : 0;
    return tile;
}

// Options of the form NAME=value go into the tool's environment; with COLUMNS there, no
// line of the output may be wider. failed: what --failed lists, unless null.
// clang-format off
const struct { const char *name, *suffix; Fault fault; const char *options; int exitCode, requests, stored; const char *failed, *output; } SeedRows[] = {
    {"directory, %1 template, rate limit not kept, progress lines", "", None, "--progress-interval 1", 0, 21, 21, "", "\\.\n(\\d+/21 tiles[^\n]*\n){4,6}Stored 21 of 21 tiles; fetched 21 .* in 5.0 s"},
    {"database, {z} template, more than two in flight", ".sqlitedb", Slow, "", 0, 21, 21, "", "Stored 21 of 21"},
    {"429 not pausing the run", ".mbtiles", First429, "", 0, 22, 21, "", "429\\): pausing for 1 min 00 s"},
    // --rate 0 takes the limit off: the run lasts the pause alone.
    {"503 not pausing the run, --rate 0 still pacing", "", First503, "--rate 0", 0, 22, 21, "", "in 30.0 s"},
    {"transient failure not retried", "", Error500Once, "--rate 0", 0, 22, 21, "", "in 10.0 s"},
    {"retries without end", "", Error500, "--attempts 2", 1, 22, 20, "2/1/1 HTTP 500\n", "1 tiles failed:\n +1  HTTP 500"},
    {"error page stored", ".mbtiles", Page, "", 1, 21, 20, "2/1/1 not a tile image\n", "1  not a tile image"},
    {"hopeless run not stopped", ".sqlitedb", AllGone, "--rate 0", 1, 11, 0, nullptr, "first 10 tiles all failed"},
    {"full disk: tiles in memory counted as stored", ".sqlitedb", FullDisk, "", 1, 21, 0, "", "Stored 0 of 21 tiles[^\n]*\n[\\s\\S]*21 fetched tiles were not stored"},
    {"level folder a file: exit 0", "", FullDisk, "--accept-failures", 1, 21, 5, "", "Stored 5 of 21 tiles[\\s\\S]*16 fetched tiles were not stored"},
    {"refused connections retried for minutes", ".sqlitedb", Refused, "", 1, 0, 0, nullptr, "connection refused by 127\\.0\\.0\\.1:\\d+\n"},
    {"unknown host retried for minutes", ".mbtiles", NoHost, "", 1, 0, 0, nullptr, "host tiles\\.invalid not found\n"},
    {"404 retried or stored, progress bar, failures not accepted", "", NotFound, "--progress bar --accept-failures", 0, 21, 20,
     "2/1/1 HTTP 404\n", "\r\\[#{24}\\] 20/21 tiles, 1 failed, 4.2 tiles/s[\\s\\S]*HTTP 404"},
    {"bar wrapping at 60 columns", "", NotFound, "--progress bar --progress-interval 0 COLUMNS=60", 1, 21, 20, nullptr, "\r\\[#+\\.*\\] \\d+/21 tiles, 1 failed"},
    {"bar wrapping at 80 columns", ".mbtiles", Page, "--progress bar --progress-interval 0 COLUMNS=80", 1, 21, 20, nullptr, "ETA"},
    {"no limit on tiles", "", None, "--zoom 0-7", 2, 0, 0, nullptr, "21845 tiles to fetch, about 416.7 MiB"},
};
// clang-format on

// Stopped while tiles 6 and 7 are on their way, which come after delayMs (-1: never),
// then run again. SIGKILL loses what waits in memory, but no more than that.
// clang-format off
const struct { const char *name, *suffix; int signo, delayMs, exitCode; } StopRows[] = {
    {"Ctrl-C losing the tiles on their way", ".mbtiles", SIGINT, 1000, 130},
    {"SIGTERM waiting for a silent server", ".sqlitedb", SIGTERM, -1, 143},
    {"killed, refetching what was stored", ".mbtiles", SIGKILL, -1, -1},
};
// clang-format on

// Copies along a chain of stores from a tree of levels 1 (JPEG) to 3 (PNG), 84 tiles:
// 3/2/2 an error page, 2/0/0 a cut-off JPEG. Then the first copy once more with again,
// or into a database on a full disk.
// clang-format off
const struct { const char *name; QStringList chain; const char *option, *again; bool fullDisk; int tiles, skipped; const char *output; } CopyRows[] = {
    {"bytes changed, replaced tiles not counted", {"", ".mbtiles", ".sqlitedb", ""}, "--zoom=0-30", "", false, 82, 2, "Copied 82 tiles .*; 82 replaced"},
    {"levels beyond --zoom, stored tiles replaced", {"", ".sqlitedb"}, "--zoom=2-2", "--skip-existing", false, 15, 1, "Copied 0 tiles .*\nKept 15 tiles"},
    {"tiles beyond --bbox, dry run writing", {"", ".mbtiles"}, "--bbox=0,0,180,85", "--dry-run", false, 21, 0, "Would copy 21 tiles .*; 21 would replace"},
    {"full disk: tiles in memory counted as copied", {"", ""}, "--zoom=3", "", true, 63, 1, "Copied 0 of 63 tiles in [^(;]*\n[\\s\\S]*63 tiles were not stored: "},
};
// clang-format on

// clang-format off
const struct { const char *name, *suffix, *kind; } KindRows[] = {
    {"directory", "", "directory of tiles"},
    {"database", ".sqlitedb", "SQLite tile database"},
    {"package", ".mbtiles", "MBTiles package"},
};
// clang-format on

// Nothing is written and nothing fetched. In the folder @: BROKEN.mbtiles, not a
// database; TREE, whose one tile is too large to be one; VIEW.mbtiles, a package that
// takes no tiles, whose view holds an error page at level 5; LOOP.mbtiles, a recursive
// view; GOOD, a tree of one tile.
// clang-format off
const struct { const char *name, *arguments; int exitCode; const char *message; } RefusalRows[] = {
    {"bbox out of range", "seed --url URL --zoom 10-11 @OUT --bbox 10,50,190,51", 2, "longitudes lie between -180 and 180"},
    {"west east of east", "seed --url URL --zoom 10-11 @OUT --bbox 11,50,10,51", 2, "the west edge 11 lies east"},
    {"levels reversed", "seed --url URL --zoom 10-11 @OUT --bbox 10,50,11,51 --zoom 5-3", 2, "level 5 is above the last 3"},
    {"level beyond the deepest", "copy --zoom 10-31 @GOOD @OUT", 2, "from 0 to 30"},
    {"unknown store kind", "seed --url URL --zoom 1 --bbox 10,50,11,51 @OUT.zip", 2, "what kind of store"},
    {"template without row", "seed --url URL --zoom 10-11 @OUT --bbox 10,50,11,51 --url http://h/{z}/{x}.png", 2, "markers"},
    {"no --url", "seed --zoom 1 --bbox 10,50,11,51 @OUT", 2, "seed needs --url"},
    {"copy onto itself", "copy @GOOD @GOOD/", 2, "both source and target"},
    {"unknown command", "fetch", 2, "unknown command \"fetch\""},
    {"no arguments", "", 2, "Usage: veltra-tiles COMMAND"},
    {"copy from a broken package", "copy @BROKEN.mbtiles @OUT", 1, "cannot open tile store"},
    {"verify of an unreadable tree", "verify @TREE", 1, "Could not check 1 stored tiles: 1 larger than 16.0 MiB."},
    {"copy into a package taking none", "copy @GOOD @VIEW.mbtiles", 1, "takes no tiles: \"tiles\" is a view"},
    {"seed into a package taking none", "seed --url URL --bbox -180,-85,180,85 --zoom 0-2 @VIEW.mbtiles", 1, "takes no tiles: \"tiles\" is a view"},
    {"seed into a tree below a file", "seed --url URL --bbox -180,-85,180,85 --zoom 0-2 @GOOD/1/0/0.png/OUT", 1, "takes no tiles: cannot write in"},
    {"purge in a package taking none", "verify --purge @VIEW.mbtiles", 1, "could not remove every"},
    {"seed past the deepest served level", "seed --url URL --bbox 10,50,11,51 --zoom 20-23 @OUT", 2, "tile servers publish levels 0 to 22, not 23"},
    {"dry run of a continent at level 22", "seed --dry-run --bbox -10,35,30,60 --zoom 0-22 @GOOD", 0, "275477580708 tiles at levels 0-22, 1 of them stored"},
    {"dry run of a copy", "copy --dry-run @GOOD @OUT.mbtiles", 0, "Would copy 1 tiles"},
    {"info of a recursive view", "info @LOOP.mbtiles", 1, "the view \"tiles\" is a recursive query"},
    {"metadata for a directory", "seed --url URL --zoom 1 --bbox 10,50,11,51 --name Port @OUT", 2, "are for .mbtiles packages"},
    {"help", "--help", 0, "\nExit codes:\n  0 "},
    {"a command's help", "copy --help", 0, "Usage: veltra-tiles copy [options] SRC DST\n"},
};
// clang-format on

// clang-format off
const struct { const char *name, *suffix; qint64 age; } RefreshRows[] = {
    {"database: its records", ".sqlitedb", 7200},
    {"directory: its files' times", "", 7200},
    {"dated ten years on: of no known age", ".sqlitedb", -315360000},
};
// clang-format on

} // namespace

class tst_TileTool : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void seed_data() { addRows(SeedRows); }
    void seed();
    void stopAndResume_data() { addRows(StopRows); }
    void stopAndResume();
    void copyRoundTrip_data() { addRows(CopyRows); }
    void copyRoundTrip();
    void infoAndVerify_data() { addRows(KindRows); }
    void infoAndVerify();
    void refusals_data() { addRows(RefusalRows); }
    void refusals();
    void purgeRemovesBadCopiesAlone_data() { addRows(KindRows); }
    void purgeRemovesBadCopiesAlone();
    void unreadableTilesCounted();
    void refreshOlderThan_data() { addRows(RefreshRows); }
    void refreshOlderThan();
    void packageMetadata();

private:
    QTemporaryDir dir;
};

void tst_TileTool::seed()
{
    QFETCH(int, row);
    const auto &r = SeedRows[row];
    TileServer server(
        [&](const Request &q) { return serve(r.fault, q, server.requests.size() - 1); });
    QVERIFY(server.start());
    const QString out = dir.filePath(QLatin1String(r.name) + QLatin1String(r.suffix));
    const QString failedList = out + QLatin1String(".failed");
    QString shell;
    if (r.fault == FullDisk && *r.suffix)
        shell = SmallDisk;
    else if (r.fault == FullDisk)
        QVERIFY(QDir().mkpath(out) && QFile(out + "/2").open(QIODevice::WriteOnly));
    if (r.fault == Refused)
        server.stop();
    QString url = r.fault == NoHost ? "http://tiles.invalid/{z}/{x}/{y}.png" : server.urlTemplate();
    if (QByteArray(r.name).contains("{z}"))
        url.replace(QStringLiteral("%1/%2/%3"), QStringLiteral("{z}/{x}/{y}"));
    QStringList options = words(r.options);
    const QStringList environment = options.filter(QRegularExpression("^[A-Z]+="));
    for (const QString &entry : environment)
        options.removeAll(entry);
    const Run run = tool(seedWorld(url, out)
                             + words("--contact ops@example.org --simulated-clock --progress lines")
                             + QStringList{"--failed", failedList} + options,
                         environment, shell);
    QVERIFY2(QRegularExpression(r.output).match(run.output).hasMatch(), qPrintable(run.output));
    QCOMPARE(run.exitCode, r.exitCode);
    QCOMPARE(server.requests.size(), r.requests);
    QCOMPARE(intact(out), r.stored);
    QCOMPARE(QFileInfo::exists(out), r.exitCode != 2);
    QVERIFY(server.mostBusy <= 2 && (r.fault != Slow || server.mostBusy == 2));
    for (const Request &q : qAsConst(server.requests))
        QCOMPARE(q.headers.value("user-agent"),
                 QByteArray("veltra-tiles/" VELTRA_VERSION " (+ops@example.org)"));
    // Asked again first when the pause ends, not at the end of the run; only the requests
    // sent while the refusal was on its way may come between.
    if (r.fault == First429 || r.fault == First503)
        QVERIFY(std::any_of(server.requests.cbegin() + 1, server.requests.cbegin() + 4,
                            [&](const Request &q) { return q.path == server.requests[0].path; }));
    QFile list(failedList);
    if (r.failed)
        QCOMPARE(list.open(QIODevice::ReadOnly) ? list.readAll() : QByteArray("none"),
                 QByteArray(r.failed));
    const int columns = environment.filter("COLUMNS=").value(0).mid(8).toInt();
    for (const QString &line :
         QString(run.output).remove("\033[K").split(QRegularExpression("[\r\n]")))
        QVERIFY2(!columns || line.size() <= columns, qPrintable(line));
}

void tst_TileTool::stopAndResume()
{
    QFETCH(int, row);
    const auto &r = StopRows[row];
    bool late = true;
    TileServer server([&](const Request &q) {
        Response tile = TileServer::tile(q);
        tile.delayMs = late && server.requests.size() > 5 ? r.delayMs : 0;
        return tile;
    });
    QVERIFY(server.start());
    const QString out = dir.filePath(QLatin1String(r.name) + QLatin1String(r.suffix));
    const QStringList seed = seedWorld(server.urlTemplate(), out) + words("--rate 0");
    QProcess first;
    start(first, seed);
    WAIT_COMPARE_WITHIN(server.requests.size(), 7, 20000);
    if (r.signo == SIGKILL)
        WAIT_COMPARE_WITHIN(intact(out), 5, 20000);
    QCOMPARE(::kill(pid_t(first.processId()), r.signo), 0);
    const Run stopped = finish(first);
    QCOMPARE(stopped.exitCode, r.exitCode);
    const int stored = intact(out);
    if (r.signo != SIGKILL) {
        QVERIFY2(stopped.output.contains(QStringLiteral("Stored %1 of 21 tiles").arg(stored)),
                 qPrintable(stopped.output));
        QVERIFY(stopped.output.contains("run the same command again to continue"));
        // Nothing asked for after the signal, and every tile that came is kept.
        QCOMPARE(server.requests.size(), 7);
        QCOMPARE(stored, server.tilesServed);
    }
    QCOMPARE(stored, r.delayMs < 0 ? 5 : 7);
    server.requests.clear();
    late = false;
    QCOMPARE(tool(seed).exitCode, 0);
    QCOMPARE(server.requests.size(), 21 - stored);
    QCOMPARE(intact(out), 21);
}

void tst_TileTool::copyRoundTrip()
{
    QFETCH(int, row);
    const auto &r = CopyRows[row];
    const QString base = dir.filePath(QLatin1String(r.name));
    TestTiles::writeTree(base, 1, 0, 1, 0, 1, "JPEG", "jpg");
    for (int z = 2; z <= 3; ++z)
        TestTiles::writeTree(base, z, 0, (1 << z) - 1, 0, (1 << z) - 1);
    const auto spoil = [&](const char *file, const QByteArray &bytes) {
        QFile tile(base + QLatin1String(file));
        return tile.open(QIODevice::WriteOnly) && tile.write(bytes) == bytes.size();
    };
    QVERIFY(spoil("/3/2/2.png", Html)
            && spoil("/2/0/0.png", TestTiles::encoded(0, 0, 2, "JPEG").chopped(9)));
    QString from = base;
    for (int i = 1; i < r.chain.size(); ++i) {
        const QString to = QStringLiteral("%1 %2%3").arg(base, QString::number(i), r.chain[i]);
        const Run run = tool({"copy", from, to, r.option});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.output.contains(QStringLiteral("Skipped %1 tiles").arg(r.skipped)),
                 i == 1 && r.skipped);
        from = to;
    }
    QCOMPARE(intact(from), r.tiles);
    const QString first = r.fullDisk ? base + QLatin1String(" full.sqlitedb")
                                     : QStringLiteral("%1 1%2").arg(base, r.chain[1]);
    const Run again = tool(QStringList{"copy", base, first, r.option} + words(r.again), {},
                           r.fullDisk ? SmallDisk : QString());
    QCOMPARE(again.exitCode, r.fullDisk ? 1 : 0);
    QVERIFY2(QRegularExpression(r.output).match(again.output).hasMatch(), qPrintable(again.output));
    QCOMPARE(intact(first), r.fullDisk ? 0 : r.tiles);
}

void tst_TileTool::infoAndVerify()
{
    QFETCH(int, row);
    const QString path = dir.filePath(QStringLiteral("checked") + KindRows[row].suffix);
    const QByteArray jpeg = TestTiles::encoded(3, 2, 3, "JPEG");
    if (std::unique_ptr<Tiles> store = Tiles::open(path, Tiles::OpenOptions(), nullptr)) {
        store->setData(TileKey(1, 1, 2), TestTiles::encoded(1, 1, 2));
        store->setData(TileKey(3, 2, 3), jpeg);
        store->setData(TileKey(2, 2, 3), TestTiles::encoded(2, 2, 3).left(60));
        store->setData(TileKey(1, 2, 3), Html);
    }
    const qint64 bytes = TestTiles::encoded(1, 1, 2).size() + jpeg.size() + 60 + Html.size();
    // clang-format off
    const struct { QStringList arguments; int exitCode; QStringList lines; } runs[] = {
        {{"info", path}, 0, {QStringLiteral("Store:    %1 (%2)").arg(path, KindRows[row].kind),
                             "Tiles:    4, " + QLocale::c().formattedDataSize(bytes, 1),
                             "Level  2: tiles 1, columns 1-1, rows 1-1",
                             "Level  3: tiles 3, columns 1-3, rows 2-2",
                             "Bounds:   -135.000000,0.000000,0.000000,66.513260 (west,south,east,north in degrees)",
                             "Formats:  jpeg 1, not an image 1, png 2"}},
        {{"verify", path}, 1, {"3/1/2: HTML or XML text, 59 bytes", "3/2/2: PNG that does not decode",
                               "Checked 4 tiles: 2 are not tile images."}},
        {{"verify", "--purge", path}, 0, {"Removed 2 of them."}},
        {{"verify", path}, 0, {"Checked 2 tiles: 0 are not tile images."}}};
    // clang-format on
    for (const auto &r : runs) {
        const Run run = tool(r.arguments);
        QCOMPARE(run.exitCode, r.exitCode);
        // The image library's own complaint about the cut-off PNG.
        QVERIFY2(!run.output.contains("libpng"), qPrintable(run.output));
        for (const QString &line : r.lines)
            QVERIFY2(run.output.contains(line + QLatin1Char('\n')), qPrintable(run.output));
    }
}

void tst_TileTool::refusals()
{
    QFETCH(int, row);
    const auto &r = RefusalRows[row];
    TileServer server;
    QVERIFY(server.start());
    QTemporaryDir place;
    QFile broken(place.filePath("BROKEN.mbtiles"));
    QFile large(place.filePath("TREE/1/0/0.png"));
    QVERIFY(broken.open(QIODevice::WriteOnly) && broken.write(Html) > 0
            && QDir().mkpath(place.filePath("TREE/1/0")) && large.open(QIODevice::WriteOnly)
            && large.resize(17 << 20));
    TestTiles::writeTree(place.filePath("GOOD"), 1, 0, 0, 0, 0);
    runSql(place.filePath("VIEW.mbtiles"),
           {"create table metadata (name, value)",
            "create table t (zoom_level, tile_column, tile_row, tile_data)",
            "create unique index t_key on t (zoom_level, tile_column, tile_row)",
            "insert into t values (5, 0, 0, '<html/>')", "create view tiles as select * from t"});
    runSql(place.filePath("LOOP.mbtiles"),
           {"create view tiles as with recursive r(n) as (select 0 union all select n + 1 from r) "
            "select n as zoom_level, n as tile_column, n as tile_row, n as tile_data from r"});
    const QStringList before = QDir(place.path())
                                   .entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    QString arguments = QString::fromLatin1(r.arguments);
    arguments.replace(QStringLiteral("URL"), server.urlTemplate());
    const Run run = tool(
        words(arguments.replace(QLatin1Char('@'), place.path() + QLatin1Char('/'))));
    QCOMPARE(run.exitCode, r.exitCode);
    QVERIFY2(run.output.contains(QLatin1String(r.message)), qPrintable(run.output));
    QCOMPARE(QDir(place.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    QCOMPARE(server.requests.size(), 0);
}

// Each of three tiles stored twice, as a tile and as an error page: rows of one key
// (a package or database whose key is not unique) or files of two formats (a tree).
void tst_TileTool::purgeRemovesBadCopiesAlone()
{
    QFETCH(int, row);
    const QString path = dir.filePath(QStringLiteral("twice") + KindRows[row].suffix);
    const bool package = row == 2;
    if (row == 0) {
        TestTiles::writeTree(path, 2, 0, 2, 1, 1);
        for (int x = 0; x < 3; ++x) {
            QFile page(QStringLiteral("%1/2/%2/1.jpeg").arg(path).arg(x));
            QVERIFY(page.open(QIODevice::WriteOnly) && page.write(Html) > 0);
        }
    } else {
        runSql(path,
               {package ? "create table tiles (zoom_level, tile_column, tile_row, tile_data)"
                        : "create table tiles (x, y, z, image)",
                package ? "create index k on tiles (zoom_level, tile_column, tile_row)"
                        : "create index k on tiles (x, y, z)"});
        for (int x = 0; x < 3; ++x)
            runSql(path,
                   {package ? "insert into tiles values (2, ?, 2, ?), (2, ?, 2, ?)"
                            : "insert into tiles values (?, 1, 2, ?), (?, 1, 2, ?)"},
                   {{x, TestTiles::encoded(x, 1, 2), x, Html}});
    }
    // clang-format off
    const struct { QStringList arguments; int exitCode; const char *output; } runs[] = {
        {{"verify", "--purge", path}, 0, "Checked 6 tiles: 3 are not tile images.\nRemoved 3 of them.\n"},
        {{"verify", path}, 0, "Checked 3 tiles: 0 are not tile images.\n"}};
    // clang-format on
    for (const auto &r : runs) {
        const Run run = tool(r.arguments);
        QVERIFY2(run.output.endsWith(QLatin1String(r.output)), qPrintable(run.output));
        QCOMPARE(run.exitCode, r.exitCode);
    }
    QCOMPARE(intact(path), 3);
}

// Stored tiles that cannot be read in bounded memory or are no tiles at all are counted
// and named, never passed over; so is a metadata value too long to be read.
void tst_TileTool::unreadableTilesCounted()
{
    const QString path = dir.filePath(QStringLiteral("unreadable.mbtiles"));
    runSql(path,
           {"create table tiles (zoom_level, tile_column, tile_row, tile_data)",
            "create unique index k on tiles (zoom_level, tile_column, tile_row)",
            "create table metadata (name, value)",
            "insert into metadata values ('name', 'Odd'), ('legend', zeroblob(70000)), ('format', "
            "'png')",
            "insert into tiles values (1, 0, 0, zeroblob(16777217)), (1, 'one', 1, x'00'), (1, 1, "
            "1, null)"});
    runSql(path, {"insert into tiles values (1, 0, 1, ?)"}, {{TestTiles::encoded(0, 0, 1)}});
    // clang-format off
    const struct { QStringList arguments; int exitCode; QStringList lines; } runs[] = {
        {{"verify", "--purge", path}, 1, {"1/1/0: no image bytes: NULL, text or a number",
                                           "row 1: not checked, larger than 16.0 MiB (16.0 MiB)",
                                           "row 2: not checked, level, column or row not on the tile grid",
                                           "Checked 2 tiles: 1 are not tile images.",
                                           "Could not check 2 stored tiles: 1 larger than 16.0 MiB, 1 level, column or row not on the tile grid.",
                                           "Removed 1 of them."}},
        {{"info", path}, 0, {"Metadata: legend not read, longer than 64.0 KiB", "Metadata: name = Odd",
                             "Rows:     counted from the north edge (XYZ), as the map counts them; the package counts them from the south (TMS)",
                             "Tiles:    1, ", "Not read: 2 stored tiles, 1 larger than 16.0 MiB, 1 level, column or row not on the tile grid"}},
        {{"copy", path, dir.filePath(QStringLiteral("readable"))}, 0,
         {"Copied 1 tiles", "Could not read 2 stored tiles: 1 larger than 16.0 MiB, 1 level, column or row not on the tile grid."}},
    };
    // clang-format on
    for (const auto &r : runs) {
        const Run run = tool(r.arguments);
        QCOMPARE(run.exitCode, r.exitCode);
        for (const QString &line : r.lines)
            QVERIFY2(run.output.contains(line), qPrintable(run.output));
    }
}

// What packages made by seed and copy say of themselves, as another program reads it.
void tst_TileTool::packageMetadata()
{
    TileServer server;
    QVERIFY(server.start());
    const QString seeded = dir.filePath(QStringLiteral("seeded.mbtiles"));
    const auto metadata = [](const QString &path) {
        return runSql(path,
                      {"select group_concat(name || '=' || value, ' ') from (select * from "
                       "metadata order by name)"})
            .toString();
    };
    const QStringList seed = words("seed --bbox 0,0,90,45 --zoom 1-2 --simulated-clock --name Port "
                                   "--description Quays --url "
                                   + server.urlTemplate())
        + QStringList{"--attribution", "&copy; Port", seeded};
    QCOMPARE(tool(seed).exitCode, 0);
    QCOMPARE(metadata(seeded),
             "attribution=&copy; Port bounds=0,0,180,85.0511287798066 center=90,42.5255643899033,1 "
             "description=Quays format=png maxzoom=2 minzoom=1 name=Port type=baselayer version=1");
    QCOMPARE(tool(words("seed --bbox 0,-10,10,0 --zoom 3 --simulated-clock --url "
                        + server.urlTemplate())
                  << seeded)
                 .exitCode,
             0);
    QCOMPARE(metadata(seeded),
             "attribution=&copy; Port bounds=0,-40.9798980696201,180,85.0511287798066 "
             "center=90,42.5255643899033,1 "
             "description=Quays format=png maxzoom=3 minzoom=1 name=Port type=baselayer version=1");
    const QString copied = dir.filePath(QStringLiteral("copied.mbtiles")),
                  renamed = dir.filePath(QStringLiteral("renamed.mbtiles"));
    // A copy made at once centres on the middle of its area.
    const QString carried = QString(metadata(seeded))
                                .replace("42.5255643899033", "22.0356153550932");
    QCOMPARE(tool({"copy", seeded, copied}).exitCode, 0);
    QCOMPARE(metadata(copied), carried);
    QCOMPARE(tool({"copy", "--name", "Quays", seeded, renamed}).exitCode, 0);
    QCOMPARE(metadata(renamed), QString(carried).replace("name=Port", "name=Quays"));
}

// Seeded `age` seconds ago; since then the server changed the tiles of column 0 (7 of 21).
void tst_TileTool::refreshOlderThan()
{
    QFETCH(int, row);
    const QString suffix = QLatin1String(RefreshRows[row].suffix);
    const qint64 age = RefreshRows[row].age;
    int version = 0;
    TileServer server(
        TileServer::validating([&](int x, int, int) { return x == 0 ? version : 0; }));
    QVERIFY(server.start());
    const QString out = dir.filePath(QLatin1String(QTest::currentDataTag()).left(8) + suffix);
    const QStringList seed = seedWorld(server.urlTemplate(), out)
        + words("--simulated-clock --refresh-older-than 1h");
    QCOMPARE(tool(seed).exitCode, 0);
    QCOMPARE(server.answered.value(200), 21);
    const QDateTime seededAt = QDateTime::currentDateTimeUtc().addSecs(-age);
    if (suffix.isEmpty()) {
        QDirIterator files(out, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            QFile file(files.next());
            QVERIFY(file.open(QIODevice::ReadWrite)
                    && file.setFileTime(seededAt, QFileDevice::FileModificationTime));
        }
    } else {
        runSql(out, {"update tile_freshness set fetched = ?"}, {{seededAt.toSecsSinceEpoch()}});
    }
    version = 1;
    const Run run = tool(seed);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.output.contains(
                 "Revalidated 21 stored tiles: 14 unchanged (304), 7 replaced, 0 failed."),
             qPrintable(run.output));
    QCOMPARE(server.answered.value(304), 14);
    QCOMPARE(server.answered.value(200), 21 + 7);
    QCOMPARE(intact(out), -1); // the replaced tiles are the server's new ones
    const Run again = tool(seed);
    QVERIFY2(again.output.contains("None of them is older than"), qPrintable(again.output));
    QCOMPARE(server.requests.size(), 21 + 21);
}

QTEST_GUILESS_MAIN(tst_TileTool)
#include "tst_tiletool.moc"

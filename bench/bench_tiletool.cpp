// veltra-tiles against the plain Qt calls that do the same work: copying a store of
// 20 000 tiles between kinds, and onto a store that holds them, against one SELECT loop
// feeding one prepared INSERT in one transaction, and seeding from a loopback server at an unlimited rate against a plain
// QNetworkAccessManager whose bodies go into one prepared INSERT in one transaction.
#include "BenchSupport.h"
#include "Copier.h"
#include "SampleMap.h"
#include "Seeder.h"
#include "TileAddressing.h"
#include "TileServer.h"
#include "Tiles.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QEventLoop>
#include <QtCore/QFile>
#include <QtCore/QRandomGenerator>
#include <QtCore/QTemporaryDir>
#include <QtCore/QVariant>
#include <QtGui/QGuiApplication>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkReply>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr int CopyTiles = 20000;
constexpr int CopyRuns = 7;
constexpr int SeedRuns = 7;
constexpr int SeedLevel = 14;
const QRect SeedTiles(9320, 4750, 20, 15); // 300 tiles of the sample city

const QString DatabaseInsert =
    QStringLiteral("insert or replace into tiles (x, y, z, image) values (?, ?, ?, ?)");
const QString PackageInsert = QStringLiteral(
    "insert or replace into tiles (zoom_level, tile_column, tile_row, tile_data) values (?, ?, ?, ?)");

// The package layout the store creates, made by hand.
void createPackage(QSqlDatabase &db)
{
    QSqlQuery q(db);
    q.exec(QStringLiteral("CREATE TABLE metadata (name text, value text)"));
    q.exec(QStringLiteral("CREATE TABLE tiles (zoom_level integer, tile_column integer, tile_row "
                          "integer, tile_data blob)"));
    q.exec(QStringLiteral(
        "CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, tile_row)"));
}

// A PNG's signature, header and end around 2 to 6 KB of noise: what the copy checks is
// there, and nothing is decoded.
QByteArray pngShaped(QRandomGenerator &random)
{
    QByteArray data("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\1\0\0\0\1\0\x08\x02\0\0\0\0\0\0\0", 33);
    QByteArray noise(2048 + int(random.bounded(4096)), Qt::Uninitialized);
    for (char &c : noise)
        c = char(random.generate());
    return data + noise + QByteArray("\0\0\0\0IEND\xae\x42\x60\x82", 12);
}

// Runs fn with this process's standard output going nowhere: the tool reports as it goes.
void quietly(const std::function<void()> &fn)
{
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    FILE *null = std::fopen("/dev/null", "w");
    dup2(fileno(null), STDOUT_FILENO);
    fn();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::fclose(null);
}

// Onto a target that is not fresh, every tile replaces one: the tool first lists what
// the target holds, to count them.
double timeCopier(const QString &from, const QString &to, bool fresh = true)
{
    if (fresh)
        QFile::remove(to);
    Copier copier({from, to, Region()});
    QElapsedTimer timer;
    timer.start();
    copier.copy();
    const double ms = timer.nsecsElapsed() / 1e6;
    if (copier.copied() != CopyTiles)
        std::printf("copy: %lld tiles instead of %d\n", copier.copied(), CopyTiles);
    return ms;
}

// From a tile database into a package, or back: rows from the south in the package.
double timePlainCopy(const QString &from, const QString &to, bool toPackage, bool fresh = true)
{
    if (toPackage && fresh)
        QFile::remove(to);
    else if (fresh)
        Bench::freshDatabase(to);
    QElapsedTimer timer;
    timer.start();
    Bench::withConnection(QStringLiteral("from"), from, [&](QSqlDatabase &source) {
        Bench::withConnection(QStringLiteral("to"), to, [&](QSqlDatabase &target) {
            if (toPackage && fresh)
                createPackage(target);
            target.transaction();
            QSqlQuery select(source);
            select.setForwardOnly(true);
            select.exec(toPackage ? QStringLiteral("select z, x, y, image from tiles")
                                  : QStringLiteral("select zoom_level, tile_column, tile_row, "
                                                   "tile_data from tiles"));
            QSqlQuery insert(target);
            insert.prepare(toPackage ? PackageInsert : DatabaseInsert);
            while (select.next()) {
                const int z = select.value(0).toInt();
                const int row = (1 << z) - 1 - select.value(2).toInt();
                if (toPackage) {
                    insert.addBindValue(z);
                    insert.addBindValue(select.value(1));
                } else {
                    insert.addBindValue(select.value(1));
                }
                insert.addBindValue(row);
                if (!toPackage)
                    insert.addBindValue(z);
                insert.addBindValue(select.value(3));
                insert.exec();
            }
            target.commit();
        });
    });
    return timer.nsecsElapsed() / 1e6;
}

QString seedBox()
{
    auto middleLon = [](int x) {
        return (tileXToLon(x, SeedLevel) + tileXToLon(x + 1, SeedLevel)) / 2;
    };
    auto middleLat = [](int y) {
        return (tileYToLat(y, SeedLevel) + tileYToLat(y + 1, SeedLevel)) / 2;
    };
    return QStringLiteral("%1,%2,%3,%4")
        .arg(middleLon(SeedTiles.left()), 0, 'f', 9)
        .arg(middleLat(SeedTiles.bottom()), 0, 'f', 9)
        .arg(middleLon(SeedTiles.right()), 0, 'f', 9)
        .arg(middleLat(SeedTiles.top()), 0, 'f', 9);
}

double timeSeeder(const QString &url, const QString &path, int *stored)
{
    QFile::remove(path);
    Seeder::Options options;
    options.urlTemplate = url;
    QString error;
    options.region.setBounds(seedBox(), &error);
    options.region.setLevels(QString::number(SeedLevel), &error);
    options.output = path;
    options.rate = 0;
    options.progress = Progress::Style::None;
    QElapsedTimer timer;
    timer.start();
    quietly([&] { Seeder(options).run(); });
    const double ms = timer.nsecsElapsed() / 1e6;
    *stored = 0;
    Tiles::open(path, Tiles::OpenOptions(), nullptr)
        ->forEachTile(0, 30, Tiles::Content::Keys, [&](const TileKey &, const QByteArray &) {
            ++*stored;
            return true;
        });
    return ms;
}

// `inFlight` 0: every request at once, as many connections as Qt opens to a host (six).
double timePlainSeed(const QString &url, const QString &path, int inFlight)
{
    Bench::freshDatabase(path);
    QElapsedTimer timer;
    timer.start();
    Bench::withConnection(QStringLiteral("seed"), path, [&](QSqlDatabase &db) {
        QNetworkAccessManager network;
        db.transaction();
        QSqlQuery insert(db);
        insert.prepare(DatabaseInsert);
        QEventLoop loop;
        int pending = 0;
        QList<QNetworkRequest> waiting;
        QObject::connect(&network, &QNetworkAccessManager::finished, [&](QNetworkReply *reply) {
            if (!waiting.isEmpty())
                network.get(waiting.takeFirst());
            const QNetworkRequest request = reply->request();
            insert.addBindValue(request.attribute(QNetworkRequest::User).toInt());
            insert.addBindValue(request.attribute(QNetworkRequest::UserMax).toInt());
            insert.addBindValue(SeedLevel);
            insert.addBindValue(reply->readAll());
            insert.exec();
            reply->deleteLater();
            if (--pending == 0)
                loop.quit();
        });
        for (int x = SeedTiles.left(); x <= SeedTiles.right(); ++x) {
            for (int y = SeedTiles.top(); y <= SeedTiles.bottom(); ++y) {
                QNetworkRequest request(QUrl(QString(url).replace(QStringLiteral("%1"), QString::number(SeedLevel))
                                                 .replace(QStringLiteral("%2"), QString::number(x))
                                                 .replace(QStringLiteral("%3"), QString::number(y))));
                request.setAttribute(QNetworkRequest::User, x);
                request.setAttribute(QNetworkRequest::UserMax, y);
                if (inFlight == 0 || pending < inFlight)
                    network.get(request);
                else
                    waiting << request;
                ++pending;
            }
        }
        loop.exec();
        db.commit();
    });
    return timer.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    Bench::useOffscreenPlatform();
    QGuiApplication app(argc, argv); // the sample tiles draw text
    QTemporaryDir tmp;

    // 20 000 tiles of 2 to 6 KB at level 14.
    const QString database = tmp.filePath(QStringLiteral("from.sqlitedb"));
    const QString package = tmp.filePath(QStringLiteral("from.mbtiles"));
    Bench::freshDatabase(database);
    Bench::withConnection(QStringLiteral("fill"), database, [](QSqlDatabase &db) {
        db.transaction();
        QSqlQuery insert(db);
        insert.prepare(DatabaseInsert);
        QRandomGenerator random(14);
        for (int i = 0; i < CopyTiles; ++i) {
            insert.addBindValue(i % 200);
            insert.addBindValue(i / 200);
            insert.addBindValue(14);
            insert.addBindValue(pngShaped(random));
            insert.exec();
        }
        db.commit();
    });
    timePlainCopy(database, package, true);

    std::printf("| figure | veltra-tiles | baseline | ratio | goal |\n|---|---|---|---|---|\n");
    const QString toPackage = tmp.filePath(QStringLiteral("to.mbtiles"));
    const QString toDatabase = tmp.filePath(QStringLiteral("to.sqlitedb"));
    for (const bool intoPackage : {true, false}) {
        QVector<double> tool, plain;
        for (int run = 0; run < CopyRuns; ++run) {
            tool << timeCopier(intoPackage ? database : package, intoPackage ? toPackage : toDatabase);
            plain << timePlainCopy(intoPackage ? database : package,
                                   intoPackage ? toPackage : toDatabase, intoPackage);
        }
        const double toolMs = Bench::median(tool), plainMs = Bench::median(plain);
        Bench::printRow(intoPackage ? QStringLiteral("copy 20 000 tiles, .sqlitedb to .mbtiles")
                                    : QStringLiteral("copy 20 000 tiles, .mbtiles to .sqlitedb"),
                        toolMs, plainMs, 1.20);
        std::printf("(%.0f tiles/s against %.0f tiles/s)\n", CopyTiles * 1000 / toolMs,
                    CopyTiles * 1000 / plainMs);
    }

    {
        QVector<double> tool, plain;
        for (int run = 0; run < CopyRuns; ++run) {
            tool << timeCopier(database, toPackage, false);
            plain << timePlainCopy(database, toPackage, true, false);
        }
        Bench::printRow(QStringLiteral("copy 20 000 tiles, .sqlitedb onto a .mbtiles holding them"),
                        Bench::median(tool), Bench::median(plain), 1.20);
    }

    // The sample city's tiles, encoded once up front, served from this thread.
    QHash<QByteArray, QByteArray> bodies;
    for (int x = SeedTiles.left(); x <= SeedTiles.right(); ++x)
        for (int y = SeedTiles.top(); y <= SeedTiles.bottom(); ++y)
            bodies.insert(QStringLiteral("/%1/%2/%3.png").arg(SeedLevel).arg(x).arg(y).toLatin1(),
                          SampleMap::encodeTile(x, y, SeedLevel));
    TileServer server([&](const TileServer::Request &r) {
        return TileServer::Response{200, "Content-Type: image/png\r\n", bodies.value(r.path)};
    });
    server.start();
    const QString seeded = tmp.filePath(QStringLiteral("seeded.sqlitedb"));
    QVector<double> tool, plain, plainTwo;
    for (int run = 0; run < SeedRuns; ++run) {
        int stored = 0;
        tool << timeSeeder(server.urlTemplate(), seeded, &stored);
        if (stored != bodies.size())
            std::printf("seed: %d tiles instead of %d\n", stored, int(bodies.size()));
        plain << timePlainSeed(server.urlTemplate(), seeded, 0);
        plainTwo << timePlainSeed(server.urlTemplate(), seeded, 2);
    }
    Bench::printRow(QStringLiteral("seed 300 tiles, no rate limit"), Bench::median(tool),
                    Bench::median(plain), 1.20);
    // The tool never keeps more than two requests at a server.
    Bench::printRow(QStringLiteral("the same, baseline also two requests at a time"),
                    Bench::median(tool), Bench::median(plainTwo), 1.20);
    return 0;
}

// A zoom storm over an empty store: from level 17 out to level 10, one level every
// 100 ms, with a loopback server that answers each tile after 50 ms. The downloader is
// driven the way the view drives it: at each step want() for every missing tile of the
// 1920 x 1080 window, then setView(). Measured against the final view alone, and against
// a request per want() without budget, order or dropping (the view's former policy).
#include "SampleMap.h"
#include "TileDownloader.h"
#include "TileServer.h"
#include "TilesFromDb.h"
#include "TilesFromFile.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QSet>
#include <QtCore/QTemporaryDir>
#include <QtCore/QVector>
#include <QtCore/QtMath>
#include <QtGui/QGuiApplication>
#include <QtSql/QSqlDatabase>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

namespace {

constexpr int TopLevel = 17;
constexpr int FinalLevel = 10;
constexpr int StepMs = 100;
constexpr int ServerMs = 50;
constexpr int Runs = 15;
constexpr int UnboundedRuns = 5; // several seconds each

struct View
{
    int z;
    QRect window;
    QPointF centre; // in tile units
};

View viewAt(int z, const QPointF &lonLat)
{
    const double n = std::ldexp(1.0, z);
    const double phi = qDegreesToRadians(lonLat.y());
    const QPointF centre((lonLat.x() + 180) / 360 * n,
                         (1 - std::log(std::tan(phi) + 1 / std::cos(phi)) / M_PI) / 2 * n);
    const double halfWidth = 1920 / 2 / 256.0;
    const double halfHeight = 1080 / 2 / 256.0;
    const QPoint topLeft(int(std::floor(centre.x() - halfWidth)),
                         int(std::floor(centre.y() - halfHeight)));
    const QPoint bottomRight(int(std::ceil(centre.x() + halfWidth)) - 1,
                             int(std::ceil(centre.y() + halfHeight)) - 1);
    return View{z, QRect(topLeft, bottomRight), centre};
}

struct Outcome
{
    int sent = 0; // requests handed to the network
    int everVisible = 0; // tiles of all windows shown
    double finalMs = 0; // from showing the final view until all its tiles arrived
};

// A new, empty store: an SQLite tile database (one insert per tile, each its own
// transaction) for a path with a suffix, a directory tree for one without.
std::unique_ptr<Tiles> emptyStore(const QString &path)
{
    if (QFileInfo(path).suffix().isEmpty())
        return std::make_unique<TilesFromFile>(path);
    QFile::copy(QStringLiteral(":/db/dbtemplate.sqlitedb"), path);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), path);
    db.setDatabaseName(path);
    db.open();
    return std::make_unique<TilesFromDb>(db);
}

Outcome run(const QVector<View> &views, bool budgeted, const QString &storePath,
            TileServer &server)
{
    const std::unique_ptr<Tiles> store = emptyStore(storePath);

    Outcome outcome;
    QSet<TileKey> arrived, everVisible;
    int failed = 0;
    {
        TileDownloader downloader;
        if (!budgeted)
            downloader.setMaxInFlight(1 << 20);
        downloader.setStore(store.get());
        downloader.setUrlTemplate(server.urlTemplate());
        QObject::connect(&downloader, &TileDownloader::tileArrived,
                         [&](const TileKey &key) { arrived.insert(key); });
        QObject::connect(&downloader, &TileDownloader::tileFailed, [&] { ++failed; });

        const auto paint = [&](const View &view) {
            for (int x = view.window.left(); x <= view.window.right(); ++x) {
                for (int y = view.window.top(); y <= view.window.bottom(); ++y) {
                    const TileKey key(x, y, view.z);
                    everVisible.insert(key);
                    if (!arrived.contains(key))
                        downloader.want(key);
                }
            }
            if (budgeted)
                downloader.setView(view.z, view.window, view.centre);
        };
        const View &last = views.constLast();
        const auto finalViewComplete = [&] {
            for (int x = last.window.left(); x <= last.window.right(); ++x)
                for (int y = last.window.top(); y <= last.window.bottom(); ++y)
                    if (!arrived.contains(TileKey(x, y, last.z)))
                        return false;
            return true;
        };

        QElapsedTimer clock;
        clock.start();
        for (int step = 0; step < views.size() - 1; ++step) {
            paint(views[step]);
            while (clock.elapsed() < (step + 1) * StepMs)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        }
        const qint64 shown = clock.nsecsElapsed();
        paint(last);
        while (!finalViewComplete() && clock.elapsed() < 60000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        outcome.finalMs = (clock.nsecsElapsed() - shown) / 1e6;
        outcome.sent = arrived.size() + failed + downloader.inFlightCount();
        outcome.everVisible = everVisible.size();
    }
    // The next run starts with an idle server.
    while (server.busy() > 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    return outcome;
}

double median(QVector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    const int n = samples.size();
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

void printRow(const char *what, double measured, double baseline, const char *unit, double goal)
{
    const double ratio = measured / baseline;
    std::printf("| %-62s | %8.1f %s | %8.1f %s | %5.2f | ", what, measured, unit, baseline, unit,
                ratio);
    if (goal > 0)
        std::printf("<= %.2f %s |\n", goal, ratio <= goal ? "met" : "MISSED");
    else
        std::printf("(none) |\n");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    QTemporaryDir tmp;

    QHash<QByteArray, QByteArray> bodies;
    TileServer server([&bodies](const TileServer::Request &request) {
        QByteArray &body = bodies[request.path];
        TileServer::Response response = TileServer::tile(request);
        if (body.isEmpty())
            body = response.body;
        response.body = body;
        response.delayMs = ServerMs;
        return response;
    });
    server.start();

    QVector<View> storm;
    for (int z = TopLevel; z >= FinalLevel; --z)
        storm << viewAt(z, SampleMap::centre());
    const QVector<View> alone{storm.constLast()};

    const int finalTiles = alone.first().window.width() * alone.first().window.height();
    std::printf("\nZoom storm %d -> %d, a level every %d ms, server answering in %d ms, "
                "%d tiles in the final view; medians of %d runs (%d for a request per want)\n",
                TopLevel, FinalLevel, StepMs, ServerMs, finalTiles, Runs, UnboundedRuns);
    for (const char *kind : {"sqlitedb", ""}) {
        QVector<double> stormMs, aloneMs, unboundedMs, stormSent, unboundedSent;
        int everVisible = 0;
        for (int i = 0; i < Runs; ++i) {
            const auto path = [&](const char *what) {
                const QString name = QStringLiteral("%1-%2").arg(QLatin1String(what)).arg(i);
                return tmp.filePath(*kind ? name + QLatin1Char('.') + QLatin1String(kind) : name);
            };
            const Outcome a = run(storm, true, path("storm"), server);
            const Outcome b = run(alone, true, path("alone"), server);
            stormMs << a.finalMs;
            aloneMs << b.finalMs;
            stormSent << a.sent;
            everVisible = a.everVisible;
            if (i < UnboundedRuns) {
                const Outcome c = run(storm, false, path("unbounded"), server);
                unboundedMs << c.finalMs;
                unboundedSent << c.sent;
            }
        }
        std::printf("\n%s store, %d tiles ever visible\n\n",
                    *kind ? "SQLite" : "Directory", everVisible);
        std::printf("| figure | measured | baseline | ratio | goal |\n|---|---|---|---|---|\n");
        printRow("requests sent (vs. tiles ever visible)", median(stormSent), everVisible, "req",
                 1.1);
        printRow("final view complete (vs. the final view alone)", median(stormMs),
                 median(aloneMs), "ms", 1.2);
        printRow("request per want: requests sent (vs. tiles ever visible)",
                 median(unboundedSent), everVisible, "req", 0);
        printRow("request per want: final view complete (vs. alone)", median(unboundedMs),
                 median(aloneMs), "ms", 0);
    }
    return 0;
}

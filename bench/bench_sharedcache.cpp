// Workstations behind one caching nginx: how many requests reach the tile server when N
// of them pan the same route, the first frame through the proxy against a direct
// connection to the tile server, and what keeping tiles fresh costs a warm repaint and a
// download fill when nothing is stale.
#include "BenchSupport.h"
#include "Nginx.h"
#include "OsmView.h"
#include "SampleMap.h"
#include "TileAddressing.h"
#include "TileDownloader.h"
#include "TileProvider.h"
#include "TileServer.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QTemporaryDir>
#include <QtWidgets/QApplication>
#include <QtWidgets/QGraphicsScene>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

constexpr int Level = 14;
constexpr int Runs = 15;

bool waitFor(const std::function<bool()> &done, int ms = 60000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && !timer.hasExpired(ms))
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    return done();
}

// N workstations, each a tile provider on a store of its own, pan the same route of 12
// steps one column east, a window of 8 x 5 tiles, all at once; each N a route of its own,
// which the proxy has not seen.
void fanIn(const QString &dir, const QString &url, TileServer &upstream, int n, int route)
{
    upstream.requests.clear();
    upstream.hits.clear();
    std::vector<std::unique_ptr<TileProvider>> wall;
    for (int i = 0; i < n; ++i) {
        wall.emplace_back(new TileProvider);
        wall.back()->open(QStringLiteral("%1/ws%2-%3.sqlitedb").arg(dir).arg(n).arg(i));
        wall.back()->setUrlTemplate(url);
        wall.back()->setDownloading(true);
    }
    const int x0 = lonToTileX(SampleMap::centre().x(), Level) - 10;
    const int y0 = latToTileY(SampleMap::centre().y(), Level) - 8 + 6 * route;
    for (int step = 0; step < 12; ++step) {
        const QRect window(x0 + step, y0, 8, 5);
        for (auto &ws : wall) {
            ws->setView(Level, window, QPointF(window.center()));
            for (int x = window.left(); x <= window.right(); ++x)
                for (int y = window.top(); y <= window.bottom(); ++y)
                    ws->tile(TileKey(x, y, Level));
        }
        waitFor([&] {
            for (auto &ws : wall) {
                if (ws->downloader()->queuedCount() + ws->downloader()->inFlightCount() > 0)
                    return false;
            }
            return true;
        });
    }
    std::printf("| %2d workstations | %4d requests at the tile server | %4d tiles | %5.2f per tile | "
                "without the proxy %d |\n",
                n, int(upstream.requests.size()), int(upstream.hits.size()),
                double(upstream.requests.size()) / upstream.hits.size(),
                n * int(upstream.hits.size()));
    std::fflush(stdout);
}

// Time until every tile of a 1920 x 1080 view over an empty store has arrived.
double fill(OsmView &view, const QString &store, const QString &url, int maxTileAge)
{
    view.setEnableTileDownload(false);
    view.setImagePath(store);
    view.setTileServerUrl(url);
    view.setMaxTileAge(maxTileAge);
    view.setEnableTileDownload(true);
    TileDownloader *downloader = view.findChild<TileDownloader *>();
    int arrived = 0, asked = 0;
    const auto a = QObject::connect(downloader, &TileDownloader::tileArrived, [&] { ++arrived; });
    QElapsedTimer timer;
    timer.start();
    view.viewport()->repaint();
    asked = downloader->queuedCount() + downloader->inFlightCount();
    waitFor([&] { return arrived >= asked && downloader->inFlightCount() == 0; });
    const double ms = timer.nsecsElapsed() / 1e6;
    QObject::disconnect(a);
    view.setImagePath(QString()); // writes what the store holds back
    return ms;
}

double warmRepaint(OsmView &view)
{
    view.viewport()->repaint();
    return Bench::timeMedian(201, [&] { view.viewport()->repaint(); });
}

} // namespace

int main(int argc, char **argv)
{
    Bench::useOffscreenPlatform();
    QApplication app(argc, argv);
    QTemporaryDir tmp;

    QHash<QByteArray, QByteArray> bodies;
    TileServer upstream([&bodies](const TileServer::Request &request) {
        auto body = bodies.find(request.path);
        if (body == bodies.end()) {
            const QList<QByteArray> zxy = request.path.mid(1).chopped(4).split('/');
            body = bodies.insert(request.path, SampleMap::encodeTile(zxy.value(1).toInt(),
                                                                     zxy.value(2).toInt(),
                                                                     zxy.value(0).toInt()));
        }
        return TileServer::Response{200,
                                    "Content-Type: image/png\r\nCache-Control: max-age=86400\r\n"
                                    "ETag: \"" + QByteArray::number(qHash(body.value())) + "\"\r\n",
                                    body.value()};
    });
    upstream.start();
    Nginx nginx;
    if (!nginx.start(QString::fromLatin1(Nginx::CachingProxy).replace("@UPSTREAM", QString::number(upstream.port())))) {
        std::printf("nginx did not start: %s\n", qPrintable(nginx.error()));
        return 1;
    }

    std::printf("\nRequests at the tile server, workstations panning the same route through the proxy\n\n");
    int route = 0;
    for (const int n : {1, 5, 20})
        fanIn(tmp.path(), nginx.urlTemplate(), upstream, n, route++);

    QGraphicsScene scene(-180, -85, 360, 170);
    OsmView view(&scene, nullptr);
    Bench::showFullHd(&view);
    const int cx = lonToTileX(SampleMap::centre().x(), Level), cy = latToTileY(SampleMap::centre().y(), Level);
    view.centerOn(QPointF(tileXToLon(cx, Level) + 0.3 * 360.0 / (1 << Level), tileYToLat(cy, Level)));
    view.setZoom(Level + 1.0 / 6);
    const QString direct = upstream.urlTemplate();
    fill(view, tmp.filePath("warmup.sqlitedb"), nginx.urlTemplate(), 0); // the proxy's cache filled

    QVector<double> viaProxy, viaDirect, fresh, plain, warmFresh, warmPlain;
    for (int run = 0; run < Runs; ++run) {
        viaProxy << fill(view, tmp.filePath(QStringLiteral("p%1.sqlitedb").arg(run)), nginx.urlTemplate(), 0);
        viaDirect << fill(view, tmp.filePath(QStringLiteral("d%1.sqlitedb").arg(run)), direct, 0);
        fresh << fill(view, tmp.filePath(QStringLiteral("f%1.sqlitedb").arg(run)), direct, 3600);
        plain << fill(view, tmp.filePath(QStringLiteral("n%1.sqlitedb").arg(run)), direct, 0);
    }
    // Warm repaints over a full store whose tiles are fresh, download on.
    view.setImagePath(tmp.filePath("f0.sqlitedb"));
    view.setTileServerUrl(direct);
    for (int run = 0; run < Runs; ++run) {
        // Each goes first every other run.
        for (const int age : {run % 2 ? 0 : 3600, run % 2 ? 3600 : 0}) {
            view.setMaxTileAge(age);
            (age ? warmFresh : warmPlain) << warmRepaint(view);
        }
    }

    std::printf("\n| figure | measured | baseline | ratio | goal |\n|---|---|---|---|---|\n");
    Bench::printRow(QStringLiteral("first frame through the proxy (warm) vs direct"),
                    Bench::median(viaProxy), Bench::median(viaDirect), 1.05);
    Bench::printRow(QStringLiteral("download fill, maxTileAge 3600 vs 0"), Bench::median(fresh),
                    Bench::median(plain), 1.02);
    Bench::printRow(QStringLiteral("warm repaint, maxTileAge 3600 vs 0"), Bench::median(warmFresh),
                    Bench::median(warmPlain), 1.02);
    return 0;
}

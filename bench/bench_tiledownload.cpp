// Filling an empty tile database through a loopback tile server: the view's own request,
// decode and store path against a plain QNetworkAccessManager that fetches the same URLs,
// decodes each body and inserts it with one prepared statement, all in one transaction.
#include "BenchSupport.h"
#include "OsmView.h"
#include "SampleMap.h"
#include "TileAddressing.h"
#include "TileDownloader.h"
#include "TileServer.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkReply>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtWidgets/QApplication>
#include <QtWidgets/QGraphicsScene>

#include <cstdio>

namespace {

constexpr int Level = 14;
constexpr int Runs = 15;

// Rows in a tile database, through a connection kept open: polling must cost next to
// nothing.
int rows(const QString &path)
{
    static QString open;
    static QSqlQuery count;
    if (open != path) {
        count = QSqlQuery();
        QSqlDatabase db = QSqlDatabase::contains(QStringLiteral("counter"))
            ? QSqlDatabase::database(QStringLiteral("counter"))
            : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("counter"));
        db.close();
        db.setDatabaseName(path);
        db.open();
        count = QSqlQuery(db);
        count.prepare(QStringLiteral("select count(*) from tiles"));
        open = path;
    }
    count.exec();
    count.next();
    const int n = count.value(0).toInt();
    count.finish();
    return n;
}

// Fetches every URL, decodes each body as it comes and inserts it, in one transaction.
double plainFill(const QString &path, const QStringList &urls)
{
    Bench::freshDatabase(path);
    double ms = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("plain"));
        db.setDatabaseName(path);
        db.open();
        QSqlQuery insert(db);
        insert.prepare(QStringLiteral("insert or replace into tiles (x,y,z,image) values (?,?,?,?)"));
        QNetworkAccessManager manager;
        int done = 0;
        QObject::connect(&manager, &QNetworkAccessManager::finished, [&](QNetworkReply *reply) {
            const QByteArray body = reply->readAll();
            QPixmap::fromImage(QImage::fromData(body, "PNG"));
            const QList<QByteArray> zxy = reply->url().path().toLatin1().mid(1).chopped(4).split('/');
            insert.addBindValue(zxy.value(1).toInt());
            insert.addBindValue(zxy.value(2).toInt());
            insert.addBindValue(zxy.value(0).toInt());
            insert.addBindValue(body);
            insert.exec();
            reply->deleteLater();
            ++done;
        });
        QElapsedTimer timer;
        timer.start();
        db.transaction();
        for (const QString &url : urls)
            manager.get(QNetworkRequest(QUrl(url)));
        while (done < urls.size())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        db.commit();
        ms = timer.nsecsElapsed() / 1e6;
    }
    QSqlDatabase::removeDatabase(QStringLiteral("plain"));
    return ms;
}

} // namespace

int main(int argc, char **argv)
{
    Bench::useOffscreenPlatform();
    QApplication app(argc, argv);
    QTemporaryDir tmp;

    // The server answers with realistic tiles, encoded once up front.
    const int cx = lonToTileX(SampleMap::centre().x(), Level);
    const int cy = latToTileY(SampleMap::centre().y(), Level);
    QHash<QByteArray, QByteArray> bodies;
    for (int x = cx - 6; x <= cx + 6; ++x)
        for (int y = cy - 4; y <= cy + 4; ++y)
            bodies.insert(QStringLiteral("/%1/%2/%3.png").arg(Level).arg(x).arg(y).toLatin1(),
                          SampleMap::encodeTile(x, y, Level));
    TileServer server([&bodies](const TileServer::Request &request) {
        const auto body = bodies.constFind(request.path);
        if (body == bodies.constEnd())
            return TileServer::tile(request);
        return TileServer::Response{200, "Content-Type: image/png\r\n", body.value()};
    });
    server.start();

    QGraphicsScene scene(-180, -85, 360, 170);
    OsmView view(&scene, nullptr);
    Bench::showFullHd(&view);
    view.setTileServerUrl(server.urlTemplate());
    const QPointF centre(tileXToLon(cx, Level) + 0.3 * 360.0 / (1 << Level), tileYToLat(cy, Level));

    QVector<double> viewTimes, plainTimes;
    int tiles = 0;
    QStringList urls;
    for (int run = 0; run <= Runs; ++run) {
        const QString path = tmp.filePath(QStringLiteral("view%1.sqlitedb").arg(run));
        Bench::freshDatabase(path);
        view.setImagePath(path);
        view.setEnableTileDownload(true);
        view.centerOn(centre);
        view.setZoom(Level + 1.0 / 6 + 1e-7);
        view.setZoom(Level + 1.0 / 6);
        view.centerOn(centre);
        const int servedBefore = server.tilesServed;

        // Done when every tile the view asked for has arrived and the store's batch that
        // follows the last one is written. Reading the file meanwhile would take locks
        // the store's writes then meet.
        int arrived = 0;
        const QMetaObject::Connection counting = QObject::connect(
            view.findChild<TileDownloader *>(), &TileDownloader::tileArrived, [&arrived] { ++arrived; });
        QElapsedTimer timer;
        timer.start();
        view.viewport()->repaint();
        while (tiles == 0 ? server.requests.size() == 0 || arrived < server.tilesServed - servedBefore
                                || timer.elapsed() < 2000
                          : arrived < tiles)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
        // Closing the source writes the batch still held back: the tiles are in the file.
        view.setImagePath(QString());
        const double ms = timer.nsecsElapsed() / 1e6;
        QObject::disconnect(counting);
        if (rows(path) != arrived)
            std::printf("only %d of %d tiles were written\n", rows(path), arrived);
        view.setEnableTileDownload(false);
        if (tiles == 0) { // the first run counts the tiles and learns their URLs
            tiles = arrived;
            for (const TileServer::Request &r : server.requests)
                urls << QStringLiteral("http://127.0.0.1:%1").arg(server.port()) + QString::fromLatin1(r.path);
            continue;
        }
        viewTimes << ms;
        plainTimes << plainFill(tmp.filePath(QStringLiteral("plain%1.sqlitedb").arg(run)), urls);
    }

    std::printf("\n| figure | OsmView | baseline | ratio | goal |\n|---|---|---|---|---|\n");
    Bench::printRow(QStringLiteral("fill an empty store, %1 tiles at level %2").arg(tiles).arg(Level),
                    Bench::median(viewTimes), Bench::median(plainTimes), 1.10);
    return 0;
}

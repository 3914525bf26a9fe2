// Filling an empty tile database through a loopback tile server: the view's own
// request, store and decode path against a plain QNetworkAccessManager that fetches
// the same URLs and inserts each body with one prepared statement.
#include "BenchSupport.h"
#include "OsmView.h"
#include "SampleMap.h"
#include "TileAddressing.h"
#include "TileServer.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtNetwork/QNetworkAccessManager>
#include <QtNetwork/QNetworkReply>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlDriver>
#include <QtSql/QSqlQuery>
#include <QtWidgets/QApplication>
#include <QtWidgets/QGraphicsScene>

#include <sqlite3.h>

#include <cstdio>

namespace {

constexpr int Level = 14;
constexpr int Runs = 15;

int insertsSeen = 0;

int countInserts(unsigned, void *, void *statement, void *)
{
    if (qstrncmp(sqlite3_sql(static_cast<sqlite3_stmt *>(statement)), "insert", 6) == 0)
        ++insertsSeen;
    return 0;
}

void traceInserts(const QSqlDatabase &db)
{
    sqlite3 *handle = *static_cast<sqlite3 *const *>(db.driver()->handle().data());
    sqlite3_trace_v2(handle, SQLITE_TRACE_STMT, &countInserts, nullptr);
}

void freshDatabase(const QString &path)
{
    QFile::remove(path);
    QFile::copy(QStringLiteral(":/db/dbtemplate.sqlitedb"), path);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
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
    const QPointF centre(tileXToLon(cx, Level) + 0.3 * 360.0 / (1 << Level),
                         tileYToLat(cy, Level));

    QVector<double> viewTimes, plainTimes, decodeTimes;
    int tiles = 0;
    for (int run = 0; run <= Runs; ++run) {
        const QString path = tmp.filePath(QStringLiteral("view%1.sqlitedb").arg(run));
        freshDatabase(path);
        view.setEnableTileDownload(false);
        view.setEnableTileDownload(true);
        view.setImagePath(path);
        view.centerOn(centre);
        view.setZoom(Level + 1.0 / 6 + 1e-7);
        view.setZoom(Level + 1.0 / 6);
        view.centerOn(centre);
        traceInserts(QSqlDatabase::database(QStringLiteral("OsmView"), false));
        const int servedBefore = server.tilesServed;
        insertsSeen = 0;

        QElapsedTimer timer;
        timer.start();
        view.viewport()->repaint();
        // Done when every tile the paint asked for is in the database.
        while (timer.elapsed() < 30000) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
            if (tiles > 0 ? insertsSeen >= tiles
                          : insertsSeen > 0 && insertsSeen == server.tilesServed - servedBefore
                                && timer.elapsed() > 2000)
                break;
        }
        QCoreApplication::processEvents();
        view.viewport()->repaint();
        viewTimes << timer.nsecsElapsed() / 1e6;
        if (tiles == 0) {
            tiles = insertsSeen;
            viewTimes.clear(); // the first run only counts the tiles
        }

        // The plain way: the same URLs, each body inserted as it comes.
        const QString plainPath = tmp.filePath(QStringLiteral("plain%1.sqlitedb").arg(run));
        freshDatabase(plainPath);
        QStringList urls;
        for (const TileServer::Request &r : server.requests.mid(server.requests.size() - tiles))
            urls << QStringLiteral("http://127.0.0.1:%1").arg(server.port()) + QString::fromLatin1(r.path);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                        QStringLiteral("plain"));
            db.setDatabaseName(plainPath);
            db.open();
            QSqlQuery insert(db);
            insert.prepare(QStringLiteral("insert or replace into tiles (x,y,z,image) values (?,?,?,?)"));
            QNetworkAccessManager manager;
            int done = 0;
            QObject::connect(&manager, &QNetworkAccessManager::finished, [&](QNetworkReply *reply) {
                const QList<QByteArray> parts = reply->url().path().toLatin1().mid(1).chopped(4).split('/');
                insert.addBindValue(parts.value(1).toInt());
                insert.addBindValue(parts.value(2).toInt());
                insert.addBindValue(parts.value(0).toInt());
                insert.addBindValue(reply->readAll());
                insert.exec();
                reply->deleteLater();
                ++done;
            });
            timer.start();
            for (const QString &url : urls)
                manager.get(QNetworkRequest(QUrl(url)));
            while (done < urls.size() && timer.elapsed() < 30000)
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
            plainTimes << timer.nsecsElapsed() / 1e6;

            // What decoding the same bodies costs on its own.
            QVector<QByteArray> bodiesFetched;
            for (const QString &url : urls)
                bodiesFetched << bodies.value(QUrl(url).path().toLatin1());
            timer.start();
            for (const QByteArray &b : bodiesFetched)
                QPixmap::fromImage(QImage::fromData(b));
            decodeTimes << timer.nsecsElapsed() / 1e6;
        }
        QSqlDatabase::removeDatabase(QStringLiteral("plain"));
    }

    std::printf("\n| figure | OsmView | baseline | ratio | goal |\n|---|---|---|---|---|\n");
    Bench::printRow(QStringLiteral("fill an empty store, %1 tiles at level %2").arg(tiles).arg(Level),
                    Bench::median(viewTimes), Bench::median(plainTimes), 1.25);
    Bench::printRow(QStringLiteral("the same, baseline plus decoding the %1 bodies").arg(tiles),
                    Bench::median(viewTimes),
                    Bench::median(plainTimes) + Bench::median(decodeTimes), 1.25);
    return 0;
}

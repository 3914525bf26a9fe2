// Writes the demo's offline data into one folder: the sample city as a tile database
// (levels 10 to 17) and as an MBTiles package copied from it, a night version as a z/x/y
// tree of JPEG tiles, a geo-referenced image of the city with its binding, and the
// pictures of two intersections.
#include "Copier.h"
#include "IntersectionPictures.h"
#include "SampleMap.h"
#include "TileAddressing.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QVariant>
#include <QtGui/QGuiApplication>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>

#include <cstdio>

namespace {

// The tiles of level z that a large screen centred on the city shows.
QRect window(int z, int halfWidth, int halfHeight)
{
    const QPointF c = SampleMap::centre();
    const int x = lonToTileX(c.x(), z);
    const int y = latToTileY(c.y(), z);
    return QRect(QPoint(x - halfWidth, y - halfHeight), QPoint(x + halfWidth, y + halfHeight));
}

bool writeDatabase(const QString &path)
{
    QFile::remove(path);
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("make"));
        db.setDatabaseName(path);
        if (!db.open())
            return false;
        QSqlQuery q(db);
        q.exec(QStringLiteral("PRAGMA page_size=1024"));
        q.exec(QStringLiteral("CREATE TABLE tiles ( x INTEGER , y INTEGER , z INTEGER , image BYTE , "
                              "PRIMARY KEY ( x , y , z ) )"));
        db.transaction();
        q.prepare(QStringLiteral("insert or replace into tiles (x,y,z,image) values (?,?,?,?)"));
        for (int z = 10; z <= 17; ++z) {
            const QRect r = window(z, 5, 4);
            for (int x = r.left(); x <= r.right(); ++x) {
                for (int y = r.top(); y <= r.bottom(); ++y) {
                    q.addBindValue(x);
                    q.addBindValue(y);
                    q.addBindValue(z);
                    q.addBindValue(SampleMap::encodeTile(x, y, z));
                    q.exec();
                }
            }
        }
        ok = db.commit();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("make"));
    return ok;
}

void writeTree(const QString &root)
{
    for (int z = 12; z <= 16; ++z) {
        const QRect r = window(z, 4, 3);
        for (int x = r.left(); x <= r.right(); ++x) {
            QDir().mkpath(QStringLiteral("%1/%2/%3").arg(root).arg(z).arg(x));
            for (int y = r.top(); y <= r.bottom(); ++y) {
                QFile f(QStringLiteral("%1/%2/%3/%4.jpg").arg(root).arg(z).arg(x).arg(y));
                if (f.open(QIODevice::WriteOnly))
                    f.write(SampleMap::encodeTile(x, y, z, "JPEG", SampleMap::Style::Night));
            }
        }
    }
}

void writeImage(const QString &imagePath, const QString &bindingPath)
{
    const QRect r = window(14, 6, 4);
    const QRectF geo(QPointF(tileXToLon(r.left(), 14), tileYToLat(r.top(), 14)),
                     QPointF(tileXToLon(r.right() + 1, 14), tileYToLat(r.bottom() + 1, 14)));
    SampleMap::renderArea(geo, QSize(256 * r.width(), 256 * r.height())).save(imagePath);
    QFile binding(bindingPath);
    if (binding.open(QIODevice::WriteOnly))
        binding.write(QStringLiteral("%1 %2 %3 %4\n")
                          .arg(geo.left(), 0, 'g', 10)
                          .arg(geo.top(), 0, 'g', 10)
                          .arg(geo.right(), 0, 'g', 10)
                          .arg(geo.bottom(), 0, 'g', 10)
                          .toLatin1());
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_FOLDER\n", argv[0]);
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(out.path());
    if (!writeDatabase(out.filePath(QStringLiteral("city.sqlitedb"))))
        return 1;
    // Through veltra-tiles' own copy, as a user would make one.
    QFile::remove(out.filePath(QStringLiteral("sample-city.mbtiles")));
    Copier package({out.filePath(QStringLiteral("city.sqlitedb")),
                    out.filePath(QStringLiteral("sample-city.mbtiles")), Region()});
    if (!package.copy()) {
        std::fprintf(stderr, "%s\n", qPrintable(package.errorString()));
        return 1;
    }
    writeTree(out.filePath(QStringLiteral("night")));
    writeImage(out.filePath(QStringLiteral("city-area.png")), out.filePath(QStringLiteral("city-area.binding")));
    IntersectionPictures::writeSet(out.filePath(QStringLiteral("lights")), QStringLiteral("k12"), 4);
    IntersectionPictures::writeSet(out.filePath(QStringLiteral("lights")), QStringLiteral("k27"), 3);
    QFile stamp(out.filePath(QStringLiteral("ready")));
    stamp.open(QIODevice::WriteOnly);
    return 0;
}

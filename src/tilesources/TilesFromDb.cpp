#include "TilesFromDb.h"

#include "TileImage.h"

#include <QtCore/QBuffer>
#include <QtCore/QCoreApplication>
#include <QtCore/QDebug>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>

namespace {

struct SharedStatements
{
    QSqlQuery selectTileQuery;
    QSqlQuery insertTileQuery;
};

SharedStatements &statements()
{
    static SharedStatements shared;
    return shared;
}

bool releaseRegistered = false;

// The statements are process-wide, but the SQL module's connections die with the
// application object; release the statements first so nothing outlives its driver.
void releaseStatements()
{
    statements().selectTileQuery = QSqlQuery();
    statements().insertTileQuery = QSqlQuery();
    releaseRegistered = false;
}

const QString TemporaryConnectionPrefix = QStringLiteral("TilesDb_");

} // namespace

struct TilesFromDb::Private
{
    QString connectionName;
};

TilesFromDb::TilesFromDb(QSqlDatabase db) : d(new Private)
{
    if (!db.isOpen())
        db.open();
    d->connectionName = db.connectionName();

    if (!releaseRegistered && QCoreApplication::instance()) {
        qAddPostRoutine(releaseStatements);
        releaseRegistered = true;
    }

    SharedStatements &s = statements();
    s.selectTileQuery = QSqlQuery(db);
    s.insertTileQuery = QSqlQuery(db);
    s.selectTileQuery.prepare(QStringLiteral("SELECT image from tiles where (x=? and y=? and z=?)"));
    s.insertTileQuery.prepare(
        QStringLiteral("insert or replace into tiles (x,y,z,image) values (?,?,?,?)"));
}

TilesFromDb::~TilesFromDb()
{
    if (d->connectionName.left(8) == TemporaryConnectionPrefix) {
        {
            QSqlDatabase db = QSqlDatabase::database(d->connectionName, true);
            db.close();
        }
        QSqlDatabase::removeDatabase(d->connectionName);
    }
}

QByteArray TilesFromDb::selectImage(int x, int y, int z)
{
    QSqlQuery &q = statements().selectTileQuery;
    q.addBindValue(x);
    q.addBindValue(y);
    q.addBindValue(z);
    QByteArray image;
    if (q.exec() && q.first())
        image = q.value(0).toByteArray();
    // Finish the statement so it holds no read lock between paints.
    q.finish();
    return image;
}

QPixmap TilesFromDb::pixmap(int x, int y, int z)
{
    return TileImage::toPixmap(TileImage::decode(selectImage(x, y, z)));
}

QPixmap TilesFromDb::pixmap(const TileKey &key)
{
    return pixmap(key.x, key.y, key.z);
}

void TilesFromDb::setData(int x, int y, int z, QByteArray data)
{
    QSqlQuery &q = statements().insertTileQuery;
    q.addBindValue(x);
    q.addBindValue(y);
    q.addBindValue(z);
    q.addBindValue(data);
    if (!q.exec())
        qWarning() << "tile db insert error:" << q.lastError().text();
    q.finish();
}

void TilesFromDb::setData(const TileKey &key, QByteArray data)
{
    setData(key.x, key.y, key.z, std::move(data));
}

void TilesFromDb::setPixmap(int x, int y, int z, QPixmap pixmap)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    pixmap.save(&buffer, "PNG", -1);
    setData(x, y, z, bytes);
}

void TilesFromDb::setPixmap(const TileKey &key, QPixmap pixmap)
{
    setPixmap(key.x, key.y, key.z, std::move(pixmap));
}

bool TilesFromDb::contains(int x, int y, int z)
{
    return !TileImage::decode(selectImage(x, y, z)).isNull();
}

bool TilesFromDb::contains(const TileKey &key)
{
    return contains(key.x, key.y, key.z);
}

QDateTime TilesFromDb::lastModified(int, int, int)
{
    return QDateTime();
}

QDateTime TilesFromDb::lastModified(const TileKey &key)
{
    return lastModified(key.x, key.y, key.z);
}

#include "TileDatabase.h"

#include <QtCore/QFile>
#include <QtCore/QVariant>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>

void writeTileDatabase(const QString &path, int z, const QRect &tiles,
                       const std::function<QByteArray(int, int, int)> &encode)
{
    const QString connection = QStringLiteral("tile-database-writer");
    QFile::remove(path);
    QFile::copy(QStringLiteral(":/db/dbtemplate.sqlitedb"), path);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        db.open();
        db.transaction();
        QSqlQuery q(db);
        q.prepare(QStringLiteral("insert or replace into tiles (x, y, z, image) values (?, ?, ?, ?)"));
        for (int x = tiles.left(); x <= tiles.right(); ++x) {
            for (int y = tiles.top(); y <= tiles.bottom(); ++y) {
                q.addBindValue(x);
                q.addBindValue(y);
                q.addBindValue(z);
                q.addBindValue(encode(x, y, z));
                q.exec();
            }
        }
        db.commit();
    }
    QSqlDatabase::removeDatabase(connection);
}

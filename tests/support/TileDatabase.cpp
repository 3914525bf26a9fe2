#include "TileDatabase.h"

#include <QtCore/QFile>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>

void writeTileDatabase(const QString &path, int z, const QRect &tiles,
                       const std::function<QByteArray(int, int, int)> &encode)
{
    QFile::remove(path);
    QFile::copy(QStringLiteral(":/db/dbtemplate.sqlitedb"), path);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QList<QVariantList> rows;
    for (int x = tiles.left(); x <= tiles.right(); ++x)
        for (int y = tiles.top(); y <= tiles.bottom(); ++y)
            rows.append({x, y, z, encode(x, y, z)});
    runSql(path, {"insert or replace into tiles (x, y, z, image) values (?, ?, ?, ?)"}, rows);
}

QVariant runSql(const QString &path, const QStringList &statements, const QList<QVariantList> &rows)
{
    QVariant result;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                    QStringLiteral("sql"));
        db.setDatabaseName(path);
        db.open();
        db.transaction();
        QSqlQuery q(db);
        for (const QString &statement : statements) {
            q.prepare(statement);
            for (const QVariantList &row : rows) {
                for (const QVariant &value : row)
                    q.addBindValue(value);
                result = q.exec() && q.next() ? q.value(0) : QVariant();
            }
        }
        q.finish();
        db.commit();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("sql"));
    return result;
}

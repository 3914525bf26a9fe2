#include "SqliteTileFile.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QTemporaryFile>
#include <QtCore/QUrl>
#include <QtSql/QSqlDriver>
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>

#include <sqlite3.h>

namespace {

QString uniqueConnectionName(const QString &prefix)
{
    if (!QSqlDatabase::contains(prefix))
        return prefix;
    for (int n = 2;; ++n) {
        const QString name = QStringLiteral("%1_%2").arg(prefix).arg(n);
        if (!QSqlDatabase::contains(name))
            return name;
    }
}

} // namespace

sqlite3 *SqliteTileFile::handle(const QSqlDatabase &db)
{
    if (!db.isOpen() || !db.driver())
        return nullptr;
    const QVariant value = db.driver()->handle();
    if (!value.isValid() || qstrcmp(value.typeName(), "sqlite3*") != 0)
        return nullptr;
    // A driver built with a copy of SQLite of its own must not be handed to this one.
    QSqlQuery version(db);
    if (!version.exec(QStringLiteral("SELECT sqlite_version()")) || !version.next()
        || version.value(0).toString() != QLatin1String(sqlite3_libversion()))
        return nullptr;
    return *static_cast<sqlite3 *const *>(value.constData());
}

QString SqliteTileFile::openError(const QString &path, const QString &reason)
{
    return QStringLiteral("cannot open tile store \"%1\": %2")
        .arg(QDir::toNativeSeparators(path), reason);
}

QSqlDatabase SqliteTileFile::connect(const QString &path, const Tiles::OpenOptions &options,
                                     QString *error)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                uniqueConnectionName(options.connectionPrefix));
    // Read-write without creating the file, and a bounded wait for other programs' locks.
    db.setDatabaseName(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)
                       + QStringLiteral("?mode=rw"));
    db.setConnectOptions(
        QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(options.busyTimeoutMs));
    if (!db.open()) {
        *error = openError(path, db.lastError().databaseText());
        disconnect(db);
    }
    return db;
}

void SqliteTileFile::disconnect(QSqlDatabase &db)
{
    const QString name = db.connectionName();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

bool SqliteTileFile::create(const QString &path, const std::function<bool(QFile &)> &fill,
                            QString *error)
{
    QTemporaryFile file(path + QStringLiteral(".XXXXXX"));
    if (!file.open()) {
        const QFileInfo info(path);
        *error = openError(path,
                           info.dir().exists()
                               ? QStringLiteral("cannot create it: %1").arg(file.errorString())
                               : QStringLiteral("its directory does not exist"));
        return false;
    }
    if (!fill(file))
        return false;
    file.close();
    if (!file.rename(path)) {
        if (QFileInfo::exists(path))
            return true;
        *error = openError(path, QStringLiteral("cannot create it: %1").arg(file.errorString()));
        return false;
    }
    file.setAutoRemove(false);
    QFile::setPermissions(path,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                              | QFileDevice::ReadOther);
    return true;
}

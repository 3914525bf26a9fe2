#include "OsmView.h"

#include "OsmViewPrivate.h"
#include "TilesFromDb.h"
#include "TilesFromFile.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtSql/QSqlDatabase>

namespace {

const QString ConnectionName = QStringLiteral("OsmView");

} // namespace

void OsmView::setImagePath(const QString &path)
{
    d->openTileSource(path);
    setZoom(d->zoomF + 0.0001);
}

void OsmView::Private::openTileSource(const QString &path)
{
    cancelPendingReplies();
    delete tiles;
    tiles = nullptr;
    tileMemory.clear();

    if (!path.isEmpty()) {
        QFileInfo info(QDir::toNativeSeparators(path));
        if (info.suffix().isEmpty()) {
            tiles = new TilesFromFile(info.absoluteFilePath());
        } else {
            if (!info.exists()) {
                const QString target = info.absoluteFilePath();
                if (QFile::copy(QStringLiteral(":/qt5VeltraWidgets2/template.sqlitedb"), target)) {
                    QFile::setPermissions(target, QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                      | QFileDevice::ReadGroup
                                                      | QFileDevice::ReadOther);
                    info.setFile(target);
                }
            }
            if (info.exists()) {
                QSqlDatabase db = QSqlDatabase::database(ConnectionName, false);
                if (db.isValid() && db.isOpen())
                    db.close();
                if (!db.isValid())
                    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), ConnectionName);
                db.setDatabaseName(info.filePath());
                db.setConnectOptions(
                    QStringLiteral("QSQLITE_OPEN_READONLY=1;QSQLITE_ENABLE_SHARED_CACHE=1"));
                if (db.open())
                    tiles = new TilesFromDb(db);
            }
        }
    }

    imagePath = path;
    emptyTileCache();
}

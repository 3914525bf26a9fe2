#include "TilesFromDb.h"

#include "SqliteTileFile.h"
#include "SqliteTileTable.h"
#include "TileImage.h"

#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QUrl>
#include <QtSql/QSqlDatabase>

namespace {

const QString TemporaryConnectionPrefix = QStringLiteral("TilesDb_");

SqliteTileTable::Layout tileDatabaseLayout()
{
    SqliteTileTable::Layout layout;
    layout.xColumn = QStringLiteral("x");
    layout.yColumn = QStringLiteral("y");
    layout.zColumn = QStringLiteral("z");
    layout.dataColumn = QStringLiteral("image");
    return layout;
}

QString fileOf(const QSqlDatabase &db)
{
    const QString name = db.databaseName();
    if (name.startsWith(QLatin1String("file:")))
        return QUrl(name).toLocalFile();
    return name;
}

} // namespace

TilesFromDb::TilesFromDb(QSqlDatabase db)
    : TilesFromDb(db, fileOf(db), db.connectionName().left(8) == TemporaryConnectionPrefix)
{ }

TilesFromDb::TilesFromDb(QSqlDatabase db, const QString &fileName, bool ownsConnection)
{
    if (!db.isOpen())
        db.open();
    table.reset(new SqliteTileTable(db, fileName, tileDatabaseLayout(), ownsConnection));
}

TilesFromDb::~TilesFromDb() = default;

std::unique_ptr<TilesFromDb> TilesFromDb::open(const QString &path, const OpenOptions &options,
                                               QString *error)
{
    if (!QFileInfo::exists(path)) {
        if (!options.create) {
            *error = SqliteTileFile::openError(path, QStringLiteral("no such file"));
            return nullptr;
        }
        const bool created = SqliteTileFile::create(
            path,
            [&](QFile &file) {
                QFile tileTemplate(QStringLiteral(":/qt5VeltraWidgets2/template.sqlitedb"));
                if (tileTemplate.open(QIODevice::ReadOnly)
                    && file.write(tileTemplate.readAll()) == tileTemplate.size() && file.flush())
                    return true;
                *error = SqliteTileFile::openError(
                    path, QStringLiteral("cannot create it: %1").arg(file.errorString()));
                return false;
            },
            error);
        if (!created)
            return nullptr;
    }
    QSqlDatabase db = SqliteTileFile::connect(path, options, error);
    if (!db.isValid())
        return nullptr;
    std::unique_ptr<TilesFromDb> store(new TilesFromDb(db, path, true));
    db = QSqlDatabase(); // the store alone holds its connection
    store->table->setDelays(options);
    // A file locked by another program is checked once the lock is gone.
    if (store->table->check() == SqliteTileTable::State::Unusable) {
        *error = SqliteTileFile::openError(path, store->table->errorString());
        return nullptr;
    }
    return store;
}

QByteArray TilesFromDb::tileData(const TileKey &key, ReadResult *result)
{
    return table->read(key, result);
}

QPixmap TilesFromDb::pixmap(int x, int y, int z)
{
    return decodedTile(TileKey(x, y, z));
}

QPixmap TilesFromDb::pixmap(const TileKey &key)
{
    return pixmap(key.x, key.y, key.z);
}

void TilesFromDb::setData(int x, int y, int z, QByteArray data)
{
    table->write(TileKey(x, y, z), data);
}

void TilesFromDb::setData(const TileKey &key, QByteArray data)
{
    setData(key.x, key.y, key.z, std::move(data));
}

void TilesFromDb::setPixmap(int x, int y, int z, QPixmap pixmap)
{
    setData(x, y, z, TileImage::encode(pixmap, "PNG"));
}

void TilesFromDb::setPixmap(const TileKey &key, QPixmap pixmap)
{
    setPixmap(key.x, key.y, key.z, std::move(pixmap));
}

bool TilesFromDb::contains(int x, int y, int z)
{
    ReadResult result;
    return !TileImage::decode(tileData(TileKey(x, y, z), &result)).isNull();
}

bool TilesFromDb::contains(const TileKey &key)
{
    return contains(key.x, key.y, key.z);
}

QDateTime TilesFromDb::lastModified(int x, int y, int z)
{
    ReadResult result;
    return freshness(TileKey(x, y, z), &result).fetched;
}

QDateTime TilesFromDb::lastModified(const TileKey &key)
{
    return lastModified(key.x, key.y, key.z);
}

Tiles::Freshness TilesFromDb::freshness(const TileKey &key, ReadResult *result)
{
    return table->freshness(key, result);
}

bool TilesFromDb::setFreshness(const TileKey &key, const Freshness &record)
{
    return table->setFreshness(key, record);
}

bool TilesFromDb::remove(const TileKey &key)
{
    return table->remove(key);
}

bool TilesFromDb::flush()
{
    return table->flush();
}

bool TilesFromDb::forEachTile(int minZoom, int maxZoom, Content content, const Visitor &visit)
{
    return table->forEach(minZoom, maxZoom, content, visit);
}

Tiles::Kind TilesFromDb::kind() const
{
    return Kind::Database;
}

QString TilesFromDb::errorString() const
{
    return table->errorString();
}

bool TilesFromDb::isWritable()
{
    return table->isWritable();
}

qint64 TilesFromDb::writtenCount() const
{
    return table->writtenCount();
}

bool TilesFromDb::forEachStored(int minZoom, int maxZoom, Content content,
                                const StoredVisitor &visit)
{
    return table->forEachStored(minZoom, maxZoom, content, visit);
}

qint64 TilesFromDb::removeStored(const QVector<StoredTile> &tiles)
{
    return table->removeStored(tiles);
}

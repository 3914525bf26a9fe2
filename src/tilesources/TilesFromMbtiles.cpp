#include "TilesFromMbtiles.h"

#include "BoundedImageReader.h"
#include "SqliteTileFile.h"
#include "SqliteTileTable.h"
#include "TileImage.h"

#include <QtCore/QFileInfo>
#include <QtCore/QFile>
#include <QtCore/QVariant>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>

#include <cmath>

namespace {

SqliteTileTable::Layout packageLayout()
{
    SqliteTileTable::Layout layout;
    layout.xColumn = QStringLiteral("tile_column");
    layout.yColumn = QStringLiteral("tile_row");
    layout.zColumn = QStringLiteral("zoom_level");
    layout.dataColumn = QStringLiteral("tile_data");
    layout.southRows = true;
    return layout;
}

bool createPackage(const QString &path, const Tiles::OpenOptions &options, QString *error)
{
    return SqliteTileFile::create(
        path,
        [&](QFile &file) {
            file.close();
            QSqlDatabase db = SqliteTileFile::connect(file.fileName(), options, error);
            if (!db.isValid())
                return false;
            bool ok = true;
            {
                QSqlQuery q(db);
                const QStringList statements{
                    QStringLiteral("BEGIN"),
                    QStringLiteral("CREATE TABLE metadata (name text, value text)"),
                    QStringLiteral("CREATE UNIQUE INDEX name ON metadata (name)"),
                    QStringLiteral("CREATE TABLE tiles (zoom_level integer, tile_column integer, "
                                   "tile_row integer, tile_data blob)"),
                    QStringLiteral("CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, "
                                   "tile_column, tile_row)"),
                    QStringLiteral("INSERT INTO metadata (name, value) VALUES ('format', 'png')"),
                };
                for (const QString &statement : statements)
                    ok = ok && q.exec(statement);
                ok = ok
                    && q.prepare(
                        QStringLiteral("INSERT INTO metadata (name, value) VALUES ('name', ?)"));
                q.addBindValue(QFileInfo(path).completeBaseName());
                ok = ok && q.exec() && q.exec(QStringLiteral("COMMIT"));
                if (!ok)
                    *error = SqliteTileFile::openError(
                        path, QStringLiteral("cannot create it: %1").arg(q.lastError().text()));
            }
            SqliteTileFile::disconnect(db);
            return ok;
        },
        error);
}

QString formatName(const QByteArray &data)
{
    const QByteArray format = BoundedImageReader::formatOf(data);
    if (format == "jpeg")
        return QStringLiteral("jpg");
    return QString::fromLatin1(format);
}

} // namespace

TilesFromMbtiles::TilesFromMbtiles(QSqlDatabase db, const QString &fileName)
    : table(new SqliteTileTable(db, fileName, packageLayout(), true))
{
}

TilesFromMbtiles::~TilesFromMbtiles() = default;

std::unique_ptr<TilesFromMbtiles> TilesFromMbtiles::open(const QString &path,
                                                         const OpenOptions &options,
                                                         QString *error)
{
    bool created = false;
    if (!QFileInfo::exists(path)) {
        if (!options.create) {
            *error = SqliteTileFile::openError(path, QStringLiteral("no such file"));
            return nullptr;
        }
        if (!createPackage(path, options, error))
            return nullptr;
        created = true;
    }
    QSqlDatabase db = SqliteTileFile::connect(path, options, error);
    if (!db.isValid())
        return nullptr;
    std::unique_ptr<TilesFromMbtiles> store(new TilesFromMbtiles(db, path));
    db = QSqlDatabase(); // the store alone holds its connection
    store->table->setDelays(options);
    if (store->table->check() == SqliteTileTable::State::Unusable) {
        *error = SqliteTileFile::openError(path, store->table->errorString());
        return nullptr;
    }
    store->formatUnknown = created;
    return store;
}

QByteArray TilesFromMbtiles::tileData(const TileKey &key, ReadResult *result)
{
    return table->read(key, result);
}

QPixmap TilesFromMbtiles::pixmap(const TileKey &key)
{
    return decodedTile(key);
}

QPixmap TilesFromMbtiles::pixmap(int x, int y, int z)
{
    return pixmap(TileKey(x, y, z));
}

void TilesFromMbtiles::setData(const TileKey &key, QByteArray data)
{
    if (formatUnknown) {
        const QString format = formatName(data);
        if (!format.isEmpty()) {
            formatUnknown = false;
            QSqlQuery q(table->database());
            q.prepare(QStringLiteral("UPDATE metadata SET value = ? WHERE name = 'format'"));
            q.addBindValue(format);
            q.exec();
        }
    }
    table->write(key, data);
}

void TilesFromMbtiles::setData(int x, int y, int z, QByteArray data)
{
    setData(TileKey(x, y, z), std::move(data));
}

void TilesFromMbtiles::setPixmap(const TileKey &key, QPixmap pixmap)
{
    setData(key, TileImage::encode(pixmap, "PNG"));
}

void TilesFromMbtiles::setPixmap(int x, int y, int z, QPixmap pixmap)
{
    setPixmap(TileKey(x, y, z), std::move(pixmap));
}

bool TilesFromMbtiles::contains(const TileKey &key)
{
    ReadResult result;
    tileData(key, &result);
    return result == ReadResult::Found;
}

bool TilesFromMbtiles::contains(int x, int y, int z)
{
    return contains(TileKey(x, y, z));
}

QDateTime TilesFromMbtiles::lastModified(const TileKey &)
{
    return QDateTime();
}

QDateTime TilesFromMbtiles::lastModified(int x, int y, int z)
{
    return lastModified(TileKey(x, y, z));
}

bool TilesFromMbtiles::remove(const TileKey &key)
{
    return table->remove(key);
}

bool TilesFromMbtiles::flush()
{
    return table->flush();
}

bool TilesFromMbtiles::forEachTile(int minZoom, int maxZoom, Content content,
                                   const Visitor &visit)
{
    return table->forEach(minZoom, maxZoom, content, visit);
}

Tiles::Kind TilesFromMbtiles::kind() const
{
    return Kind::Mbtiles;
}

QString TilesFromMbtiles::errorString() const
{
    return table->errorString();
}

bool TilesFromMbtiles::isWritable()
{
    return table->isWritable();
}

qint64 TilesFromMbtiles::writtenCount() const
{
    return table->writtenCount();
}

bool TilesFromMbtiles::isReadOnly()
{
    return table->isReadOnly();
}

QMap<QString, QString> TilesFromMbtiles::metadata()
{
    QMap<QString, QString> values;
    if (table->check() != SqliteTileTable::State::Ready)
        return values;
    QSqlQuery q(table->database());
    q.setForwardOnly(true);
    if (q.exec(QStringLiteral("SELECT name, value FROM metadata"))) {
        while (q.next())
            values.insert(q.value(0).toString(), q.value(1).toString());
    }
    return values;
}

QString TilesFromMbtiles::name()
{
    return metadata().value(QStringLiteral("name"));
}

QString TilesFromMbtiles::format()
{
    return metadata().value(QStringLiteral("format"));
}

QRectF TilesFromMbtiles::bounds()
{
    const QStringList parts = metadata().value(QStringLiteral("bounds")).split(QLatin1Char(','));
    if (parts.size() != 4)
        return QRectF();
    double edge[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        edge[i] = parts.at(i).trimmed().toDouble(&ok);
        if (!ok || !std::isfinite(edge[i]))
            return QRectF();
    }
    const double west = edge[0], south = edge[1], east = edge[2], north = edge[3];
    if (west < -180 || east > 180 || west >= east || south < -90 || north > 90 || south >= north)
        return QRectF();
    return QRectF(west, south, east - west, north - south);
}

int TilesFromMbtiles::minZoom()
{
    bool ok = false;
    const int level = metadata().value(QStringLiteral("minzoom")).trimmed().toInt(&ok);
    return ok && TileKey::isLevel(level) ? level : -1;
}

int TilesFromMbtiles::maxZoom()
{
    bool ok = false;
    const int level = metadata().value(QStringLiteral("maxzoom")).trimmed().toInt(&ok);
    return ok && TileKey::isLevel(level) ? level : -1;
}

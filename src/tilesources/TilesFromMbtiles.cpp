#include "TilesFromMbtiles.h"

#include "BoundedImageReader.h"
#include "SqliteTileFile.h"
#include "SqliteTileTable.h"
#include "TileAddressing.h"
#include "TileImage.h"
#include "VeltraLogging.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QFile>
#include <QtCore/QVariant>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>

#include <cmath>
#include <limits>

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
                    QStringLiteral("INSERT INTO metadata (name, value) VALUES ('format', 'png'), "
                                   "('type', 'baselayer'), ('version', '1')"),
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

// The latitude of the grid's northern edge.
double northEdge()
{
    return tileYToLat(0, 0);
}

// West, south, east and north, as "bounds" holds them; null unless they are an area
// of the map.
QRectF boundsOf(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(','));
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

QString degrees(double value)
{
    return QString::number(value, 'g', 15);
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
    table->setBeforeCommit([this](const QList<TileKey> &written) { coverTiles(written); });
}

QString TilesFromMbtiles::metadataValue(const QString &name)
{
    QSqlQuery q(table->database());
    q.setForwardOnly(true);
    q.prepare(QStringLiteral("SELECT value FROM metadata WHERE name = ?"));
    q.addBindValue(name);
    const int previous = table->setLengthLimit(MaxMetadataBytes);
    const QString value = table->exec(q) && table->next(q) ? q.value(0).toString() : QString();
    table->setLengthLimit(previous);
    return value;
}

bool TilesFromMbtiles::putMetadata(const QString &name, const QString &value, QString *reason)
{
    // Packages made elsewhere may lack the unique index on the name.
    QSqlQuery q(table->database());
    q.prepare(QStringLiteral("UPDATE metadata SET value = ? WHERE name = ?"));
    q.addBindValue(value);
    q.addBindValue(name);
    bool ok = table->exec(q);
    if (ok && q.numRowsAffected() == 0) {
        q.prepare(QStringLiteral("INSERT INTO metadata (name, value) VALUES (?, ?)"));
        q.addBindValue(name);
        q.addBindValue(value);
        ok = table->exec(q);
    }
    if (!ok && reason)
        *reason = q.lastError().databaseText();
    return ok;
}

// Inside the transaction that writes the tiles: a reader never sees tiles of a level
// that "maxzoom" does not name yet.
void TilesFromMbtiles::coverTiles(const QList<TileKey> &written)
{
    // Metadata that a trigger or a view computes would hold up every write of tiles.
    if (!metadataChecked) {
        metadataChecked = true;
        for (const char *statement : {"SELECT value FROM metadata WHERE name = 0",
                                      "UPDATE metadata SET value = 0 WHERE name = 0",
                                      "INSERT INTO metadata (name, value) VALUES (0, 0)"}) {
            if (metadataWork.isEmpty())
                metadataWork = table->unboundedWork(QLatin1String(statement));
        }
        if (!metadataWork.isEmpty())
            qCWarning(lcTiles).noquote()
                << QStringLiteral("tile store \"%1\": its metadata is left as it is: a change of "
                                  "it %2")
                       .arg(QDir::toNativeSeparators(table->fileName()), metadataWork);
    }
    if (!metadataWork.isEmpty())
        return;
    QSqlQuery q(table->database());
    if (!table->exec(q, QStringLiteral("SAVEPOINT metadata")))
        return;
    bool ok = table->exec(q,
                          QStringLiteral("CREATE TABLE IF NOT EXISTS metadata (name text, "
                                         "value text)"));
    int low = TileKey::MaxLevel + 1, high = -1;
    double west = 180, south = 90, east = -180, north = -90;
    for (const TileKey &key : written) {
        low = qMin(low, key.z);
        high = qMax(high, key.z);
        west = qMin(west, tileXToLon(key.x, key.z));
        east = qMax(east, tileXToLon(key.x + 1, key.z));
        north = qMax(north, tileYToLat(key.y, key.z));
        south = qMin(south, tileYToLat(key.y + 1, key.z));
    }
    const QRectF known = boundsOf(metadataValue(QStringLiteral("bounds")));
    if (!known.isNull()) {
        west = qMin(west, known.left());
        east = qMax(east, known.right());
        south = qMin(south, known.top());
        north = qMax(north, known.bottom());
    }
    south = qMax(south, -northEdge());
    north = qMin(north, northEdge());
    bool isLevel = false;
    const int knownLow = metadataValue(QStringLiteral("minzoom")).trimmed().toInt(&isLevel);
    if (isLevel && TileKey::isLevel(knownLow))
        low = qMin(low, knownLow);
    const int knownHigh = metadataValue(QStringLiteral("maxzoom")).trimmed().toInt(&isLevel);
    if (isLevel && TileKey::isLevel(knownHigh))
        high = qMax(high, knownHigh);

    // A centre within the area and the levels stays where its maker put it.
    QString center = metadataValue(QStringLiteral("center"));
    const QStringList parts = center.split(QLatin1Char(','));
    bool centred = parts.size() == 3;
    double point[3] = {0, 0, 0};
    for (int i = 0; centred && i < 3; ++i) {
        point[i] = parts.at(i).trimmed().toDouble(&centred);
        centred = centred && std::isfinite(point[i]);
    }
    centred = centred && point[0] >= west && point[0] <= east && point[1] >= south
        && point[1] <= north && point[2] == std::floor(point[2]) && point[2] >= low
        && point[2] <= high;
    if (!centred)
        center = QStringLiteral("%1,%2,%3")
                     .arg(degrees((west + east) / 2), degrees((south + north) / 2))
                     .arg(low);

    const QString values[][2] = {
        {QStringLiteral("bounds"),
         QStringLiteral("%1,%2,%3,%4")
             .arg(degrees(west), degrees(south), degrees(east), degrees(north))},
        {QStringLiteral("minzoom"), QString::number(low)},
        {QStringLiteral("maxzoom"), QString::number(high)},
        {QStringLiteral("center"), center},
        {QStringLiteral("format"), newFormat},
    };
    for (const auto &entry : values) {
        if (!entry[1].isEmpty() && metadataValue(entry[0]) != entry[1])
            ok = ok && putMetadata(entry[0], entry[1]);
    }
    // A package whose metadata takes no changes still takes its tiles.
    if (!ok)
        table->exec(q, QStringLiteral("ROLLBACK TO metadata"));
    else
        newFormat.clear();
    table->exec(q, QStringLiteral("RELEASE metadata"));
}

TilesFromMbtiles::~TilesFromMbtiles()
{
    table->finish();
}

std::unique_ptr<TilesFromMbtiles> TilesFromMbtiles::open(const QString &path,
                                                         const OpenOptions &options, QString *error)
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
    // The format of a package without tiles is told by its first.
    QSqlQuery q(store->table->database());
    store->formatUnknown = created
        || (store->table->exec(q, QStringLiteral("SELECT 1 FROM tiles LIMIT 1"))
            && !store->table->next(q) && !q.lastError().isValid());
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
        newFormat = formatName(data);
        formatUnknown = newFormat.isEmpty();
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

QDateTime TilesFromMbtiles::lastModified(const TileKey &key)
{
    ReadResult result;
    return freshness(key, &result).fetched;
}

QDateTime TilesFromMbtiles::lastModified(int x, int y, int z)
{
    return lastModified(TileKey(x, y, z));
}

Tiles::Freshness TilesFromMbtiles::freshness(const TileKey &key, ReadResult *result)
{
    return table->freshness(key, result);
}

bool TilesFromMbtiles::setFreshness(const TileKey &key, const Freshness &record)
{
    return table->setFreshness(key, record);
}

bool TilesFromMbtiles::remove(const TileKey &key)
{
    return table->remove(key);
}

bool TilesFromMbtiles::flush()
{
    return table->flush();
}

bool TilesFromMbtiles::forEachTile(int minZoom, int maxZoom, Content content, const Visitor &visit)
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
    return metadata(nullptr);
}

QMap<QString, QString> TilesFromMbtiles::metadata(QStringList *unread)
{
    QStringList left;
    QMap<QString, QString> values;
    if (table->check() != SqliteTileTable::State::Ready)
        return values;
    // A value longer than the limit fails its row: the rows after it are read anew.
    const int previous = table->setLengthLimit(MaxMetadataBytes);
    QSqlQuery q(table->database());
    q.setForwardOnly(true);
    int offset = 0;
    while (offset < MaxMetadataEntries) {
        q.prepare(QStringLiteral("SELECT name, value FROM metadata LIMIT -1 OFFSET ?"));
        q.addBindValue(offset);
        bool more = table->exec(q);
        while (more && offset < MaxMetadataEntries && (more = table->next(q))) {
            values.insert(q.value(0).toString(), q.value(1).toString());
            ++offset;
        }
        if (more) {
            left << QStringLiteral("...");
            break;
        }
        if ((q.lastError().nativeErrorCode().toInt() & 0xff) != 18) // SQLITE_TOOBIG
            break;
        QSqlQuery name(table->database());
        name.prepare(QStringLiteral("SELECT name FROM metadata LIMIT 1 OFFSET ?"));
        name.addBindValue(offset++);
        left << (table->exec(name) && table->next(name) ? name.value(0).toString()
                                                        : QStringLiteral("?"));
    }
    q.finish();
    table->setLengthLimit(previous);
    if (unread)
        *unread << left;
    return values;
}

bool TilesFromMbtiles::setMetadata(const QString &name, const QString &value, QString *error)
{
    QString reason;
    if (table->check() != SqliteTileTable::State::Ready || table->isReadOnly()) {
        reason = table->errorString();
    } else {
        QSqlQuery q(table->database());
        if (!q.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
            reason = q.lastError().databaseText();
        } else if (!table->exec(q,
                                QStringLiteral("CREATE TABLE IF NOT EXISTS metadata (name "
                                               "text, value text)"))
                   || !putMetadata(name, value, &reason)) {
            if (reason.isEmpty())
                reason = q.lastError().databaseText();
            q.exec(QStringLiteral("ROLLBACK"));
        } else if (!q.exec(QStringLiteral("COMMIT"))) {
            reason = q.lastError().databaseText();
            q.exec(QStringLiteral("ROLLBACK"));
        }
    }
    if (reason.isEmpty())
        return true;
    if (error)
        *error = reason;
    return false;
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
    return boundsOf(metadata().value(QStringLiteral("bounds")));
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

bool TilesFromMbtiles::forEachStored(int minZoom, int maxZoom, Content content,
                                     const StoredVisitor &visit)
{
    return table->forEachStored(minZoom, maxZoom, content, visit);
}

qint64 TilesFromMbtiles::removeStored(const QVector<StoredTile> &tiles)
{
    return table->removeStored(tiles);
}

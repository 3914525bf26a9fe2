#include "TilesFromFile.h"

#include "BoundedImageReader.h"
#include "TileImage.h"
#include "VeltraLogging.h"

#include <QtCore/QDebug>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QMap>
#include <QtCore/QSaveFile>

namespace {

// A level, column or row as this store writes it: plain decimal.
bool decimal(const QString &text, int *value)
{
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && text == QString::number(*value);
}

} // namespace

struct TilesFromFile::Private
{
    QString basePath;
    QString suffix;
    QString canonicalRoot;
    QString error;
    qint64 written = 0;
    bool warnedWrite = false;

    QString root();
    bool inside(const QString &path);
    QString columnPath(const TileKey &key) const
    {
        return QStringLiteral("%1/%2/%3")
            .arg(basePath, QString::number(key.z), QString::number(key.x));
    }
    QStringList candidates() const;
    // Every file name a tile may have had, this store's own odd suffixes included.
    QStringList siblings() const { return candidates() << QString(); }
    QString locate(const TileKey &key);
    bool readFile(const QString &path, QByteArray *data);
    bool write(const TileKey &key, const QByteArray &data);
    bool writeFailed(const QString &path, const QString &reason);
    // The column folders of the levels asked for, in the tree and named as this store
    // names them; levels off the grid too with offGridLevels. Stops when visit says so.
    using ColumnVisitor = std::function<bool(const QDir &column, int x, int z)>;
    bool forEachColumn(int minZoom, int maxZoom, bool offGridLevels, const ColumnVisitor &visit);
};

bool TilesFromFile::Private::forEachColumn(int minZoom, int maxZoom, bool offGridLevels,
                                           const ColumnVisitor &visit)
{
    const QDir::Filters dirs = QDir::Dirs | QDir::NoDotAndDotDot;
    const QDir base(basePath);
    for (const QString &levelName : base.entryList(dirs)) {
        int z = 0;
        const QDir level(base.filePath(levelName));
        if (!decimal(levelName, &z) || !inside(level.path()))
            continue;
        if (TileKey::isLevel(z) ? z < minZoom || z > maxZoom : !offGridLevels)
            continue;
        for (const QString &columnName : level.entryList(dirs)) {
            int x = 0;
            const QDir column(level.filePath(columnName));
            if (decimal(columnName, &x) && inside(column.path()) && !visit(column, x, z))
                return false;
        }
    }
    return true;
}

QString TilesFromFile::Private::root()
{
    if (canonicalRoot.isEmpty()) {
        canonicalRoot = QFileInfo(basePath).canonicalFilePath();
        if (!canonicalRoot.isEmpty() && !canonicalRoot.endsWith(QLatin1Char('/')))
            canonicalRoot += QLatin1Char('/');
    }
    return canonicalRoot;
}

// Whether an existing entry, all links resolved, lies below the root.
bool TilesFromFile::Private::inside(const QString &path)
{
    const QString top = root();
    const QString resolved = QFileInfo(path).canonicalFilePath();
    return !top.isEmpty() && resolved.startsWith(top) && resolved.size() > top.size();
}

QStringList TilesFromFile::Private::candidates() const
{
    QStringList list{suffix};
    for (const QString &format : TileImage::fileSuffixes()) {
        if (format != suffix)
            list << format;
    }
    return list;
}

QString TilesFromFile::Private::locate(const TileKey &key)
{
    const QString stem = QStringLiteral("%1/%2.").arg(columnPath(key), QString::number(key.y));
    for (const QString &candidate : candidates()) {
        const QString path = stem + candidate;
        if (QFileInfo(path).isFile() && inside(path)) {
            suffix = candidate;
            return path;
        }
    }
    return QString();
}

bool TilesFromFile::Private::readFile(const QString &path, QByteArray *data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > MaxTileBytes) {
        error = QStringLiteral("cannot read \"%1\"").arg(QDir::toNativeSeparators(path));
        return false;
    }
    *data = file.readAll();
    return true;
}

bool TilesFromFile::Private::writeFailed(const QString &path, const QString &reason)
{
    error = QStringLiteral("cannot write tile \"%1\": %2")
                .arg(QDir::toNativeSeparators(path), reason);
    if (!warnedWrite) {
        warnedWrite = true;
        qCWarning(lcTiles).noquote() << error;
    }
    return false;
}

bool TilesFromFile::Private::write(const TileKey &key, const QByteArray &data)
{
    const QString levelPath = QStringLiteral("%1/%2").arg(basePath, QString::number(key.z));
    const QString columnDir = columnPath(key);
    const QString path = QStringLiteral("%1/%2.%3").arg(columnDir, QString::number(key.y), suffix);
    if (!QDir().mkpath(basePath))
        return writeFailed(path, QStringLiteral("cannot create the directory"));
    // Existing level and column directories must be real ones of this tree before
    // anything is created in them.
    for (const QString &dir : {levelPath, columnDir}) {
        const QFileInfo info(dir);
        if ((info.exists() || info.isSymLink()) && !(info.isDir() && inside(dir)))
            return writeFailed(path, QStringLiteral("the path leads out of the tile directory"));
    }
    if (!QDir().mkpath(columnDir) || !inside(columnDir))
        return writeFailed(path, QStringLiteral("cannot create the directory"));

    const QFileInfo target(path);
    // A link is replaced, never written through: its target may be anywhere, or be
    // shared by other tiles.
    if (target.isSymLink() && !QFile::remove(path))
        return writeFailed(path, QStringLiteral("cannot replace the link"));
    if (!target.isSymLink() && target.exists() && !target.isFile())
        return writeFailed(path, QStringLiteral("not a file"));

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return writeFailed(path, file.errorString());
    // QSaveFile renames the file into place before it looks at errors of its last
    // flush, so a short write of the buffered tail must be caught here.
    if (file.write(data) != data.size() || !file.flush()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        return writeFailed(path, reason);
    }
    if (!file.commit())
        return writeFailed(path, file.errorString());
    ++written;
    // The tile replaces what was stored for it, in whatever format that was.
    const QStringList names = siblings();
    for (const QString &candidate : names) {
        const QString other = QStringLiteral("%1/%2.%3")
                                  .arg(columnDir, QString::number(key.y), candidate);
        const QFileInfo info(other);
        if (candidate != suffix && (info.exists() || info.isSymLink()))
            QFile::remove(other);
    }
    return true;
}

TilesFromFile::TilesFromFile(const QString &basePath) : d(new Private)
{
    d->basePath = basePath;
}

TilesFromFile::~TilesFromFile() = default;

QString TilesFromFile::suffix() const
{
    return d->suffix;
}

QByteArray TilesFromFile::tileData(const TileKey &key, ReadResult *result)
{
    const QString path = d->locate(key);
    QByteArray data;
    *result = !path.isEmpty() && d->readFile(path, &data) ? ReadResult::Found : ReadResult::Missing;
    return data;
}

QPixmap TilesFromFile::pixmap(const TileKey &key)
{
    return decodedTile(key);
}

QPixmap TilesFromFile::pixmap(int x, int y, int z)
{
    return pixmap(TileKey(x, y, z));
}

void TilesFromFile::setData(const TileKey &key, QByteArray data)
{
    d->suffix = QString::fromLatin1(BoundedImageReader::formatOf(data));
    d->write(key, data);
}

void TilesFromFile::setData(int x, int y, int z, QByteArray data)
{
    setData(TileKey(x, y, z), std::move(data));
}

void TilesFromFile::setPixmap(const TileKey &key, QPixmap pixmap)
{
    if (d->suffix.isEmpty())
        d->suffix = QStringLiteral("png");
    const QByteArray bytes = TileImage::encode(pixmap, d->suffix.toLatin1().constData());
    if (bytes.isEmpty())
        d->writeFailed(
            QStringLiteral("%1/%2.%3").arg(d->columnPath(key), QString::number(key.y), d->suffix),
            QStringLiteral("no encoder for the format"));
    else
        d->write(key, bytes);
}

void TilesFromFile::setPixmap(int x, int y, int z, QPixmap pixmap)
{
    setPixmap(TileKey(x, y, z), std::move(pixmap));
}

bool TilesFromFile::contains(const TileKey &key)
{
    return !d->locate(key).isEmpty();
}

bool TilesFromFile::contains(int x, int y, int z)
{
    return contains(TileKey(x, y, z));
}

QDateTime TilesFromFile::lastModified(const TileKey &key)
{
    const QString path = d->locate(key);
    return path.isEmpty() ? QDateTime() : QFileInfo(path).lastModified();
}

QDateTime TilesFromFile::lastModified(int x, int y, int z)
{
    return lastModified(TileKey(x, y, z));
}

// The file's time is the record: a tile confirmed unchanged is touched, not rewritten.
Tiles::Freshness TilesFromFile::freshness(const TileKey &key, ReadResult *result)
{
    Freshness record;
    const QString path = d->locate(key);
    if (!path.isEmpty())
        record.fetched = QFileInfo(path).lastModified().toUTC();
    *result = record.fetched.isValid() ? ReadResult::Found : ReadResult::Missing;
    return record;
}

bool TilesFromFile::setFreshness(const TileKey &key, const Freshness &record)
{
    const QString path = d->locate(key);
    QFile file(path);
    if (path.isEmpty() || !record.fetched.isValid() || !file.open(QIODevice::ReadOnly))
        return false;
    return file.setFileTime(record.fetched, QFileDevice::FileModificationTime);
}

bool TilesFromFile::remove(const TileKey &key)
{
    const QString columnDir = d->columnPath(key);
    if (!QFileInfo(columnDir).isDir() || !d->inside(columnDir))
        return true;
    bool removed = true;
    const QStringList names = d->siblings();
    for (const QString &candidate : names) {
        const QString path = QStringLiteral("%1/%2.%3")
                                 .arg(columnDir, QString::number(key.y), candidate);
        const QFileInfo info(path);
        if ((info.exists() || info.isSymLink()) && !QFile::remove(path))
            removed = false;
    }
    return removed;
}

bool TilesFromFile::flush()
{
    return true;
}

// A tree not made yet lists nothing, and nothing outside it is ever inside.
bool TilesFromFile::forEachTile(int minZoom, int maxZoom, Content content, const Visitor &visit)
{
    bool complete = true;
    d->forEachColumn(minZoom, maxZoom, false, [&](const QDir &column, int x, int z) {
        // One file per row: the store's suffix first, then the tile formats.
        QMap<int, QPair<int, QString>> rows;
        for (const QString &fileName : column.entryList(QDir::Files)) {
            const int dot = fileName.indexOf(QLatin1Char('.'));
            int y = 0;
            if (dot < 0 || !decimal(fileName.left(dot), &y))
                continue;
            const QString extension = fileName.mid(dot + 1);
            if (extension.contains(QLatin1Char('.')))
                continue; // a write in progress
            const int format = TileImage::fileSuffixes().indexOf(extension);
            const int rank = extension == d->suffix ? 0 : format >= 0 ? format + 1 : 99;
            const auto known = rows.constFind(y);
            if (known == rows.constEnd() || known->first > rank)
                rows.insert(y, qMakePair(rank, column.filePath(fileName)));
        }
        for (auto row = rows.cbegin(); row != rows.cend(); ++row) {
            const QString &path = row->second;
            if (!d->inside(path))
                continue;
            QByteArray data;
            if (content == Content::KeysAndData && !d->readFile(path, &data)) {
                complete = false;
                continue;
            }
            if (!visit(TileKey(x, row.key(), z), data))
                return false;
        }
        return true;
    });
    return complete;
}

Tiles::Kind TilesFromFile::kind() const
{
    return Kind::Directory;
}

QString TilesFromFile::errorString() const
{
    return d->error;
}

bool TilesFromFile::isWritable()
{
    // The tree is made on the first write: what counts is the nearest part that exists.
    QFileInfo info(d->basePath);
    while (!info.exists() && !info.isSymLink() && !info.isRoot())
        info.setFile(info.absolutePath());
    if (info.isDir() && info.isWritable())
        return true;
    d->error = QStringLiteral("cannot write in \"%1\"")
                   .arg(QDir::toNativeSeparators(info.absoluteFilePath()));
    return false;
}

qint64 TilesFromFile::writtenCount() const
{
    return d->written;
}

// Every file of the tree's layout, both formats of a tile held twice among them.
bool TilesFromFile::forEachStored(int minZoom, int maxZoom, Content content,
                                  const StoredVisitor &visit)
{
    const bool allLevels = minZoom <= 0 && maxZoom >= TileKey::MaxLevel;
    d->forEachColumn(minZoom, maxZoom, allLevels, [&](const QDir &column, int x, int z) {
        for (const QFileInfo &info : column.entryInfoList(QDir::Files)) {
            const QString fileName = info.fileName();
            const int dot = fileName.indexOf(QLatin1Char('.'));
            int y = 0;
            if (dot < 0 || !decimal(fileName.left(dot), &y)
                || fileName.indexOf(QLatin1Char('.'), dot + 1) >= 0 // a write in progress
                || !d->inside(info.filePath()))
                continue;
            StoredTile tile;
            tile.key = TileKey(x, y, z);
            tile.size = info.size();
            tile.where = QStringLiteral("%1/%2/%3")
                             .arg(QString::number(z), QString::number(x), fileName);
            tile.copy = info.absoluteFilePath();
            QFile file(info.filePath());
            if (!tile.key.isOnGrid())
                tile.flaw = Flaw::OffGrid;
            else if (tile.size > MaxTileBytes)
                tile.flaw = Flaw::TooLarge;
            else if (!file.open(QIODevice::ReadOnly))
                tile.flaw = Flaw::Unreadable;
            else if (content == Content::KeysAndData)
                tile.data = file.read(MaxTileBytes);
            if (!visit(tile))
                return false;
        }
        return true;
    });
    return true;
}

qint64 TilesFromFile::removeStored(const QVector<StoredTile> &tiles)
{
    qint64 removed = 0;
    for (const StoredTile &tile : tiles) {
        const QString path = tile.copy.toString();
        if (path.isEmpty()) {
            removed += remove(tile.key);
        } else if (QFileInfo(path).isFile() && d->inside(path) && QFile::remove(path)) {
            ++removed;
        } else {
            d->error = QStringLiteral("cannot remove \"%1\"").arg(QDir::toNativeSeparators(path));
        }
    }
    return removed;
}

#include "Tiles.h"

#include "TileImage.h"
#include "TilesFromDb.h"
#include "TilesFromFile.h"
#include "TilesFromMbtiles.h"

#include <QtCore/QBasicTimer>
#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFileInfo>

#include <algorithm>
#include <vector>

Tiles::Kind Tiles::kindOf(const QString &path)
{
    const QString suffix = QFileInfo(QDir::toNativeSeparators(path)).suffix();
    if (suffix.isEmpty())
        return Kind::Directory;
    if (suffix.compare(QLatin1String("mbtiles"), Qt::CaseInsensitive) == 0)
        return Kind::Mbtiles;
    return Kind::Database;
}

std::unique_ptr<Tiles> Tiles::open(const QString &path, const OpenOptions &options, QString *error)
{
    QString reason;
    if (!error)
        error = &reason;
    error->clear();
    const QFileInfo info(QDir::toNativeSeparators(path));
    const QString absolute = info.absoluteFilePath();
    switch (kindOf(path)) {
    case Kind::Directory:
        // The tree need not exist: writes create the directories they need, and a store
        // that may create is made without looking at the disk. One that must find a tree
        // finds one.
        if (!options.create && !info.isDir()) {
            *error = QStringLiteral("cannot open tile store \"%1\": %2")
                         .arg(QDir::toNativeSeparators(absolute),
                              info.exists() ? QStringLiteral("not a directory")
                                            : QStringLiteral("no such directory"));
            return nullptr;
        }
        return std::make_unique<TilesFromFile>(absolute);
    case Kind::Mbtiles:
    case Kind::Database:
        break;
    }
    if (info.isDir()) {
        *error = QStringLiteral("cannot open tile store \"%1\": it is a directory")
                     .arg(QDir::toNativeSeparators(absolute));
        return nullptr;
    }
    if (kindOf(path) == Kind::Mbtiles)
        return TilesFromMbtiles::open(absolute, options, error);
    return TilesFromDb::open(absolute, options, error);
}

namespace {

// Stores that still held tiles another program's lock kept out of the file when they
// were closed. They try again now and then, and go once everything is written.
class RetiredStores : public QObject
{
public:
    static RetiredStores *instance()
    {
        static RetiredStores *stores = nullptr;
        if (!stores) {
            stores = new RetiredStores;
            // Before the application object goes: the stores' connections need it.
            qAddPostRoutine([] {
                delete stores;
                stores = nullptr;
            });
        }
        return stores;
    }

    void add(std::unique_ptr<Tiles> store)
    {
        stores.push_back(std::move(store));
        if (!timer.isActive())
            timer.start(RetryMs, this);
    }

    ~RetiredStores() override = default; // each store makes its last, bounded attempt

protected:
    void timerEvent(QTimerEvent *) override
    {
        stores.erase(std::remove_if(stores.begin(), stores.end(),
                                    [](const std::unique_ptr<Tiles> &s) { return s->flush(); }),
                     stores.end());
        if (stores.empty())
            timer.stop();
    }

private:
    static constexpr int RetryMs = 500;
    std::vector<std::unique_ptr<Tiles>> stores;
    QBasicTimer timer;
};

} // namespace

void Tiles::close(std::unique_ptr<Tiles> store)
{
    if (!store || store->flush() || !QCoreApplication::instance())
        return;
    RetiredStores::instance()->add(std::move(store));
}

bool Tiles::isWritable()
{
    return true;
}

Tiles::Freshness Tiles::freshness(const TileKey &, ReadResult *result)
{
    *result = ReadResult::Missing;
    return {};
}

bool Tiles::setFreshness(const TileKey &, const Freshness &)
{
    return false;
}

qint64 Tiles::writtenCount() const
{
    return -1;
}

bool Tiles::forEachStored(int minZoom, int maxZoom, Content content, const StoredVisitor &visit)
{
    return forEachTile(minZoom, maxZoom, content, [&](const TileKey &key, const QByteArray &data) {
        StoredTile tile;
        tile.key = key;
        tile.data = data;
        if (content == Content::KeysAndData)
            tile.size = data.size();
        tile.where = QStringLiteral("%1/%2/%3").arg(key.z).arg(key.x).arg(key.y);
        return visit(tile);
    });
}

qint64 Tiles::removeStored(const QVector<StoredTile> &tiles)
{
    qint64 removed = 0;
    for (const StoredTile &tile : tiles)
        removed += remove(tile.key);
    return flush() ? removed : 0;
}

QPixmap Tiles::decodedTile(const TileKey &key)
{
    ReadResult result;
    return TileImage::toPixmap(TileImage::decode(tileData(key, &result)));
}

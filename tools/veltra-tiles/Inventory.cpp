#include "Inventory.h"

#include "BoundedImageReader.h"
#include "Console.h"
#include "Progress.h"
#include "Region.h"
#include "TileAddressing.h"
#include "Stores.h"
#include "TilesFromMbtiles.h"
#include "Verifier.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>

namespace {

QString kindName(Tiles::Kind kind)
{
    switch (kind) {
    case Tiles::Kind::Directory:
        return Inventory::tr("directory of tiles");
    case Tiles::Kind::Database:
        return Inventory::tr("SQLite tile database");
    case Tiles::Kind::Mbtiles:
        return Inventory::tr("MBTiles package");
    }
    return QString();
}

QString degrees(double value)
{
    return QString::number(value, 'f', 6);
}

} // namespace

bool Inventory::take(Tiles &store)
{
    return store.forEachStored(
        0, TileKey::MaxLevel, Tiles::Content::KeysAndData, [this](const Tiles::StoredTile &tile) {
            if (tile.flaw != Tiles::Flaw::None && tile.flaw != Tiles::Flaw::NoBytes) {
                ++m_unread[Verifier::unreadReason(tile.flaw)];
                return true;
            }
            Level &level = m_levels[tile.key.z];
            ++level.tiles;
            level.span |= QRect(tile.key.x, tile.key.y, 1, 1);
            m_bytes += tile.data.size();
            const QByteArray format = BoundedImageReader::formatOf(tile.data);
            ++m_formats[format.isEmpty() ? tr("not an image") : QString::fromLatin1(format)];
            return true;
        });
}

qint64 Inventory::tiles() const
{
    qint64 sum = 0;
    for (const Level &level : m_levels)
        sum += level.tiles;
    return sum;
}

QRectF Inventory::bounds() const
{
    if (m_levels.isEmpty())
        return QRectF();
    double west = 180, east = -180, north = -90, south = 90;
    for (auto it = m_levels.cbegin(); it != m_levels.cend(); ++it) {
        const int z = it.key();
        west = qMin(west, tileXToLon(it->span.left(), z));
        east = qMax(east, tileXToLon(it->span.right() + 1, z));
        north = qMax(north, tileYToLat(it->span.top(), z));
        south = qMin(south, tileYToLat(it->span.bottom() + 1, z));
    }
    return QRectF(QPointF(west, north), QPointF(east, south));
}

int Inventory::run(const QString &path)
{
    QString error;
    std::unique_ptr<Tiles> store = Stores::open(path, false, &error);
    if (!store) {
        Console::err(error);
        return Console::Failure;
    }
    Inventory inventory;
    const bool complete = inventory.take(*store);
    Console::out(tr("Store:    %1 (%2)")
                     .arg(QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath()),
                          kindName(store->kind())));
    if (auto *package = dynamic_cast<TilesFromMbtiles *>(store.get())) {
        QStringList unread;
        const QMap<QString, QString> metadata = package->metadata(&unread);
        for (auto it = metadata.cbegin(); it != metadata.cend(); ++it)
            Console::out(tr("Metadata: %1 = %2").arg(it.key(), it.value().left(200)));
        for (const QString &name : qAsConst(unread))
            Console::out(name == QLatin1String("...")
                             ? tr("Metadata: more than %1 entries, the rest not read")
                                   .arg(TilesFromMbtiles::MaxMetadataEntries)
                             : tr("Metadata: %1 not read, longer than %2")
                                   .arg(name, Progress::bytes(TilesFromMbtiles::MaxMetadataBytes)));
        Console::out(tr("Rows:     counted from the north edge (XYZ), as the map counts them; "
                        "the package counts them from the south (TMS)"));
    }
    Console::out(
        tr("Tiles:    %1, %2").arg(inventory.tiles()).arg(Progress::bytes(inventory.bytes())));
    for (auto it = inventory.levels().cbegin(); it != inventory.levels().cend(); ++it)
        Console::out(tr("Level %1: tiles %2, columns %3-%4, rows %5-%6")
                         .arg(it.key(), 2)
                         .arg(it->tiles)
                         .arg(it->span.left())
                         .arg(it->span.right())
                         .arg(it->span.top())
                         .arg(it->span.bottom()));
    const QRectF area = inventory.bounds();
    if (inventory.tiles() > 0)
        Console::out(tr("Bounds:   %1,%2,%3,%4 (west,south,east,north in degrees)")
                         .arg(degrees(area.left()), degrees(area.bottom()), degrees(area.right()),
                              degrees(area.top())));
    QStringList formats;
    for (auto it = inventory.formats().cbegin(); it != inventory.formats().cend(); ++it)
        formats << tr("%1 %2").arg(it.key()).arg(it.value());
    if (!formats.isEmpty())
        Console::out(tr("Formats:  %1").arg(formats.join(QStringLiteral(", "))));
    qint64 unread = 0;
    for (const qint64 count : inventory.unread())
        unread += count;
    if (unread > 0)
        Console::out(tr("Not read: %1 stored tiles, %2")
                         .arg(unread)
                         .arg(Verifier::countsText(inventory.unread())));
    if (!complete) {
        Console::err(tr("could not read the whole store: %1").arg(store->errorString()));
        return Console::Failure;
    }
    return Console::Success;
}

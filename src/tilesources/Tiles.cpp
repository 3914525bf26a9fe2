#include "Tiles.h"

#include "TilesFromDb.h"
#include "TilesFromFile.h"
#include "TilesFromMbtiles.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>

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
        // The tree need not exist: writes create the directories they need.
        if (info.exists() && !info.isDir()) {
            *error = QStringLiteral("cannot open tile store \"%1\": not a directory")
                         .arg(QDir::toNativeSeparators(absolute));
            return nullptr;
        }
        if (!info.exists() && !options.create) {
            *error = QStringLiteral("cannot open tile store \"%1\": no such directory")
                         .arg(QDir::toNativeSeparators(absolute));
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

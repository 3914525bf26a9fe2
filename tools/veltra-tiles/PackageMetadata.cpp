#include "PackageMetadata.h"

#include "TilesFromMbtiles.h"

PackageMetadata PackageMetadata::of(Tiles &store)
{
    PackageMetadata found;
    if (auto *package = dynamic_cast<TilesFromMbtiles *>(&store)) {
        const QMap<QString, QString> metadata = package->metadata();
        found.name = metadata.value(QStringLiteral("name"));
        found.description = metadata.value(QStringLiteral("description"));
        found.attribution = metadata.value(QStringLiteral("attribution"));
    }
    return found;
}

bool PackageMetadata::apply(Tiles &store, const PackageMetadata &given,
                            const PackageMetadata &carried, bool fresh, QString *error)
{
    auto *package = dynamic_cast<TilesFromMbtiles *>(&store);
    if (!package || (given.isEmpty() && carried.isEmpty()))
        return true;
    const QMap<QString, QString> metadata = package->metadata();
    const QString entries[][3] = {
        {QStringLiteral("name"), given.name, carried.name},
        {QStringLiteral("description"), given.description, carried.description},
        {QStringLiteral("attribution"), given.attribution, carried.attribution},
    };
    for (const auto &entry : entries) {
        const QString &key = entry[0];
        QString value = entry[1];
        if (value.isEmpty() && (fresh || !metadata.contains(key)))
            value = entry[2];
        QString reason;
        if (!value.isEmpty() && metadata.value(key) != value
            && !package->setMetadata(key, value, &reason)) {
            *error = tr("cannot write \"%1\" into the package's metadata: %2").arg(key, reason);
            return false;
        }
    }
    return true;
}

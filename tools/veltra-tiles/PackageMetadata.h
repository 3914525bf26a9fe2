#ifndef PACKAGEMETADATA_H
#define PACKAGEMETADATA_H

#include <QtCore/QCoreApplication>
#include <QtCore/QString>

class Tiles;

// The entries of an MBTiles package's metadata that the tool writes for its user: given
// on the command line, or carried over from the package tiles are copied from.
class PackageMetadata
{
    Q_DECLARE_TR_FUNCTIONS(PackageMetadata)

public:
    QString name;
    QString description;
    QString attribution;

    bool isEmpty() const
    {
        return name.isEmpty() && description.isEmpty() && attribution.isEmpty();
    }

    // What a package says of itself; empty for the other kinds of store.
    static PackageMetadata of(Tiles &store);
    // Writes into store, when it is a package, what is given, and what is carried where
    // the package was made by this run or lacks the entry. True for other kinds of store;
    // false, with the reason in *error, when the package takes no metadata.
    static bool apply(Tiles &store, const PackageMetadata &given, const PackageMetadata &carried,
                      bool fresh, QString *error);
};

#endif

#ifndef SQLITETILEFILE_H
#define SQLITETILEFILE_H

#include "Tiles.h"

#include <QtSql/QSqlDatabase>

#include <functional>

class QFile;

// Creating and connecting to the SQLite files of tile databases and packages.
namespace SqliteTileFile {

// A connection of its own, named after options.connectionPrefix, on an existing file,
// read-write, with the options' wait for other programs' locks. Invalid, with the
// reason in *error, when the file does not open.
QSqlDatabase connect(const QString &path, const Tiles::OpenOptions &options, QString *error);
// Closes and removes the connection; db must be the last handle on it.
void disconnect(QSqlDatabase &db);
// Creates a missing file by filling a temporary one beside it and renaming that into
// place, so no half-made file is ever found under the name. True as well when another
// program made the file meanwhile.
bool create(const QString &path, const std::function<bool(QFile &file)> &fill, QString *error);
// "cannot open tile store "<file>": <reason>"
QString openError(const QString &path, const QString &reason);

} // namespace SqliteTileFile

#endif

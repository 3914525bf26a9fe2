#ifndef SQLITETILEFILE_H
#define SQLITETILEFILE_H

#include "Tiles.h"

#include <QtSql/QSqlDatabase>

#include <functional>

class QFile;
struct sqlite3;

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
// The SQLite connection behind db, for what Qt's driver does not offer; null unless the
// driver is open and uses the very library this code is linked with.
sqlite3 *handle(const QSqlDatabase &db);
// "cannot open tile store "<file>": <reason>"
QString openError(const QString &path, const QString &reason);

} // namespace SqliteTileFile

#endif

#ifndef TILEDATABASE_H
#define TILEDATABASE_H

#include <QtCore/QProcess>
#include <QtCore/QRect>
#include <QtCore/QVariant>

#include <functional>

// Writes a new tile database from the compiled-in template, holding the tiles of
// [left, right] x [top, bottom] at level z as `encode(x, y, z)` makes them.
void writeTileDatabase(const QString &path, int z, const QRect &tiles,
                       const std::function<QByteArray(int, int, int)> &encode);
// Runs each statement once per row of bound values, in one transaction, through a
// connection of the caller's own; the first value the last run returned.
QVariant runSql(const QString &path, const QStringList &statements,
                const QList<QVariantList> &rows = {{}});

// Another program holding a lock on an SQLite file until it is released: an exclusive
// one, or an immediate one that lets others read.
struct SqliteLock
{
    QProcess python;
    bool lock(const QString &path, const QString &kind = QStringLiteral("EXCLUSIVE"))
    {
        python.start("python3",
                     {"-c",
                      "import sqlite3, sys; c = sqlite3.connect(sys.argv[1], "
                      "isolation_level=None); c.execute('BEGIN ' + sys.argv[2]); "
                      "print('locked', flush=True); sys.stdin.readline()",
                      path, kind});
        return python.waitForReadyRead() && python.readLine().startsWith("locked");
    }
    void release()
    {
        if (python.state() == QProcess::Running)
            python.write("\n"), python.waitForFinished();
    }
    ~SqliteLock() { release(); }
};

#endif

#include "SqliteTileTable.h"

#include "SqliteTileFile.h"
#include "VeltraLogging.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDebug>
#include <QtCore/QDir>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFileInfo>
#include <QtCore/QHash>
#include <QtCore/QSet>
#include <QtCore/QTimer>
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>
#include <QtSql/QSqlResult>

#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <tuple>

namespace {

// One transaction per burst of arriving tiles; a longer one, as a copy makes, is
// written in transactions of this size.
constexpr int BatchRows = 4096;
constexpr qint64 BatchBytes = 16 * 1024 * 1024;
// What is held back while another program keeps the file locked.
constexpr int MaxPendingRows = 2 * BatchRows;
constexpr qint64 MaxPendingBytes = 4 * BatchBytes;
// The last chance to write: on destruction, once, so it may wait longer.
constexpr int FinalBusyTimeoutMs = 1000;
// How often, in SQLite's virtual machine instructions, a statement looks at its time: a
// read by key runs a few dozen, so it never looks, however slow the disk.
constexpr int InstructionsPerLook = 1000;
// The longest program, trigger programs included, that a statement run for one tile may
// have: the plain ones take a few dozen steps, each of which may touch a whole tile.
constexpr int MaxProgramSteps = 64;
// A view's read of a tile that works this many times the time limit is not cut, since
// it works between looks at the time; the view is not read again.
constexpr int ViewWorkLimits = 25;
// A row holds a tile and its key.
constexpr int MaxValueBytes = int(Tiles::MaxTileBytes) + 1024;
constexpr char SelectByKey[]
    = "SELECT %4 from tiles where (%1=? and %2=? and %3=?) and typeof(%4) = 'blob' "
      "and length(%4) <= 16777216";
static_assert(Tiles::MaxTileBytes == 16777216, "the statements spell the limit out");

// What the tile server said of each tile, in a table beside "tiles", made when the first
// record is written: files without it stay as they were, and other programs read the
// tiles as before. Keys as in "tiles"; times in seconds since 1970 (UTC); validators as
// the server sent them, as blobs, so that their length is known without reading them.
constexpr char RecordTable[] = "tile_freshness";
constexpr char CreateRecords[]
    = "CREATE TABLE tile_freshness (%1 INTEGER NOT NULL, %2 INTEGER NOT NULL, %3 INTEGER NOT "
      "NULL, fetched INTEGER NOT NULL, lifetime INTEGER, etag BLOB, last_modified BLOB, "
      "PRIMARY KEY (%3, %1, %2)) WITHOUT ROWID";
constexpr char SelectRecord[]
    = "SELECT CASE WHEN typeof(fetched) = 'integer' THEN fetched END, CASE WHEN "
      "typeof(lifetime) = 'integer' THEN lifetime END, CASE WHEN typeof(etag) = 'blob' AND "
      "length(etag) <= 1024 THEN etag END, CASE WHEN typeof(last_modified) = 'blob' AND "
      "length(last_modified) <= 64 THEN last_modified END FROM tile_freshness WHERE (%1=? and "
      "%2=? and %3=?)";
constexpr char WriteRecord[]
    = "INSERT OR REPLACE INTO tile_freshness (%1,%2,%3,fetched,lifetime,etag,last_modified) "
      "VALUES (?,?,?,?,?,?,?)";
constexpr char EraseRecord[] = "DELETE FROM tile_freshness WHERE (%1=? and %2=? and %3=?)";
// Longer validators are no validators: a server sends a few dozen bytes.
constexpr int MaxValidatorBytes = 1024;
// 9999-12-31 23:59:59 UTC, the last second an HTTP date can name.
constexpr qint64 LastFetchedSecs = 253402300799;

enum class Failure { Busy, Cut, ReadOnly, Rejected, Broken };

// When the statement running on a connection is to be cut: once it has run past the
// limit and worked that long too, so that a machine busy with other things, or a slow
// disk, does not cut what runs only slowly.
struct Deadline
{
    QElapsedTimer started;
    qint64 limitNs = 0;
    qint64 cpuAtFirstLook = -1;
    bool armed = false;
};

qint64 threadCpuNs()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int cutWhenLate(void *deadline)
{
    auto *d = static_cast<Deadline *>(deadline);
    if (!d->armed)
        return 0;
    if (d->cpuAtFirstLook < 0) {
        d->cpuAtFirstLook = threadCpuNs();
        return 0;
    }
    return d->started.nsecsElapsed() > d->limitNs && threadCpuNs() - d->cpuAtFirstLook > d->limitNs
        ? 1
        : 0;
}

// Statements of others on a connection the store was given run without a time limit.
struct Armed
{
    explicit Armed(Deadline &d) : d(d)
    {
        d.started.start();
        d.cpuAtFirstLook = -1;
        d.armed = true;
    }
    ~Armed() { d.armed = false; }
    Q_DISABLE_COPY(Armed)
    Deadline &d;
};

// SQLite's primary result codes; Qt reports them as the native error code.
Failure classify(const QSqlError &error, bool rowStatement)
{
    switch (error.nativeErrorCode().toInt() & 0xff) {
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
        return Failure::Busy;
    case 9: // SQLITE_INTERRUPT: the time limit
        return Failure::Cut;
    case 8: // SQLITE_READONLY
        return Failure::ReadOnly;
    case 1:  // SQLITE_ERROR: for one row, a trigger's or a function's
    case 18: // SQLITE_TOOBIG
    case 19: // SQLITE_CONSTRAINT, also RAISE in a trigger
    case 20: // SQLITE_MISMATCH
    case 25: // SQLITE_RANGE
        return rowStatement ? Failure::Rejected : Failure::Broken;
    default:
        return Failure::Broken;
    }
}

QString reasonOf(const QSqlError &error)
{
    return error.databaseText().isEmpty() ? error.text() : error.databaseText();
}

QString valueOrNull(const QVariant &value)
{
    return value.isNull() ? QStringLiteral("?") : value.toString();
}

struct Change
{
    QByteArray data;
    bool remove = false;
    // A record only: the tile stays as it is stored.
    bool recordOnly = false;
    bool hasRecord = false;
    Tiles::Freshness record;
};

// A connection the table was given to own goes after everything that uses it.
struct Connection
{
    Connection() = default;
    Q_DISABLE_COPY(Connection)
    QSqlDatabase db;
    bool owned = false;
    ~Connection()
    {
        if (owned)
            SqliteTileFile::disconnect(db);
    }
};

struct Statements
{
    explicit Statements(const QSqlDatabase &db) : select(db), write(db), erase(db) { }
    QSqlQuery select;
    // "insert or replace" where the key is unique, else a plain insert after the erase.
    QSqlQuery write;
    QSqlQuery erase;
};

struct RecordStatements
{
    explicit RecordStatements(const QSqlDatabase &db) : select(db), write(db), erase(db) { }
    QSqlQuery select;
    QSqlQuery write;
    QSqlQuery erase;
};

enum class Records { Unknown, Absent, Ready, Unusable };

} // namespace

struct SqliteTileTable::Private
{
    Connection connection;
    QSqlDatabase &db = connection.db;
    QString file;
    Layout layout;
    QString error;

    bool unusable = false;
    bool readOnly = false;
    bool uniqueKey = false;
    bool view = false;
    bool hasRowid = false;
    std::unique_ptr<Statements> statements;
    std::function<void(const QList<TileKey> &)> beforeCommit;
    Records records = Records::Unknown;
    std::unique_ptr<RecordStatements> recordStatements;
    bool warnedRecords = false;
    QString recordsError;

    sqlite3 *handle = nullptr;
    int previousLengthLimit = -1;
    Deadline deadline;
    bool warnedCut = false;

    QHash<TileKey, Change> pending;
    qint64 pendingBytes = 0;
    qint64 written = 0;
    bool waitingForLock = false;
    int writeDelay = Tiles::OpenOptions().writeDelayMs;
    int retryDelay = Tiles::OpenOptions().retryMs;
    QElapsedTimer busySince;
    std::unique_ptr<QTimer> timer;

    bool warnedUnusable = false;
    bool warnedReadOnly = false;
    bool warnedFull = false;
    bool warnedBroken = false;

    // SQLite counts instructions over all runs of a prepared statement: each run
    // counts from naught, so that a read by key never looks at its time.
    void restartCount(const QSqlQuery &q) const
    {
        const QVariant statement = handle && q.result() ? q.result()->handle() : QVariant();
        if (statement.isValid() && qstrcmp(statement.typeName(), "sqlite3_stmt*") == 0) {
            if (auto *s = *static_cast<sqlite3_stmt *const *>(statement.constData()))
                sqlite3_stmt_status(s, SQLITE_STMTSTATUS_VM_STEP, 1);
        }
    }
    bool exec(QSqlQuery &q)
    {
        restartCount(q);
        Armed armed(deadline);
        return q.exec();
    }
    bool exec(QSqlQuery &q, const QString &text)
    {
        Armed armed(deadline);
        return q.exec(text);
    }
    bool next(QSqlQuery &q)
    {
        Armed armed(deadline);
        return q.next();
    }
    QString reason(const QSqlError &failure) const
    {
        if (classify(failure, false) == Failure::Cut)
            return QStringLiteral("a statement ran longer than %1 ms")
                .arg(double(deadline.limitNs) / 1e6);
        return reasonOf(failure);
    }
    void noteCut();
    QString scanningRead(QSqlQuery &plan) const;
    QString unboundedWork(const QString &text);

    QString statement(const char *pattern) const
    {
        QString text = QString::fromLatin1(pattern);
        text.replace(QLatin1String("%1"), layout.xColumn);
        text.replace(QLatin1String("%2"), layout.yColumn);
        text.replace(QLatin1String("%3"), layout.zColumn);
        text.replace(QLatin1String("%4"), layout.dataColumn);
        text.replace(QLatin1String("%R"),
                     hasRowid ? QStringLiteral("rowid") : QStringLiteral("NULL"));
        return text;
    }
    bool storedRow(const TileKey &key, int *row) const;
    bool keyOf(const QSqlQuery &q, int first, TileKey *key) const;
    State check();
    State failedCheck(const QSqlError &error);
    State markUnusable(const QString &reason);
    bool hasUniqueKey(const QString &table);
    Records checkRecords();
    Records usableRecords();
    Records prepareRecords();
    Records recordsUnusable(const QString &reason);
    bool bindKey(QSqlQuery &q, const TileKey &key) const;
    bool execRecord(const TileKey &key, const Change &change, QSqlError *failure);
    bool prepare(QSqlQuery &query, const char *pattern, QSqlError *error) const;
    State ready();
    void noteBusy() { busySince.start(); }
    bool recentlyBusy() const { return busySince.isValid() && !busySince.hasExpired(retryDelay); }
    void scheduleWrite();
    void startTimer(int ms);
    bool writePending();
    bool execChange(const TileKey &key, const Change &change, QSqlError *error);
    bool writeFailed(const QSqlError &error, bool inTransaction);
    void dropPending();
    void warnReadOnly();
    void finalFlush();
    QString label() const { return QDir::toNativeSeparators(file); }
};

bool SqliteTileTable::Private::storedRow(const TileKey &key, int *row) const
{
    if (!layout.southRows) {
        *row = key.y;
        return true;
    }
    const qint64 side = TileKey::side(key.z);
    if (side == 0 || key.y < 0 || key.y >= side)
        return false;
    *row = int(side - 1 - key.y);
    return true;
}

// A key of the grid from three columns that hold whole numbers, or nothing.
bool SqliteTileTable::Private::keyOf(const QSqlQuery &q, int first, TileKey *key) const
{
    qint64 v[3];
    for (int i = 0; i < 3; ++i) {
        const QVariant value = q.value(first + i);
        bool ok = false;
        v[i] = value.toLongLong(&ok);
        if (value.isNull() || !ok || v[i] < std::numeric_limits<int>::min()
            || v[i] > std::numeric_limits<int>::max())
            return false;
    }
    int y = int(v[1]);
    const TileKey stored(int(v[0]), y, int(v[2]));
    if (!stored.isOnGrid() || !storedRow(stored, &y))
        return false;
    *key = TileKey(stored.x, y, stored.z);
    return true;
}

void SqliteTileTable::Private::noteCut()
{
    noteBusy();
    if (warnedCut)
        return;
    warnedCut = true;
    qCWarning(lcTiles).noquote()
        << QStringLiteral("tile store \"%1\": %2; its tiles are left out while it is that slow")
               .arg(label(), error);
}

SqliteTileTable::State SqliteTileTable::Private::markUnusable(const QString &reason)
{
    unusable = true;
    error = reason;
    return State::Unusable;
}

SqliteTileTable::State SqliteTileTable::Private::failedCheck(const QSqlError &failure)
{
    switch (classify(failure, false)) {
    case Failure::Busy:
        error = reason(failure);
        noteBusy();
        return State::Busy;
    case Failure::Cut:
        error = reason(failure);
        noteCut();
        return State::Busy;
    default:
        return markUnusable(reason(failure));
    }
}

// Why reading a tile by its key could run through more rows than that tile's; empty
// when every read is a search of indexes by level, column and row.
QString SqliteTileTable::Private::scanningRead(QSqlQuery &plan) const
{
    const auto scans = [this](const QString &table) {
        if (!view)
            return QStringLiteral("table \"tiles\" has no index on (%1, %2, %3): every read "
                                  "would scan it")
                .arg(layout.zColumn, layout.xColumn, layout.yColumn);
        return QStringLiteral("the view \"tiles\" finds a tile in \"%1\" without an index on "
                              "its level, column and row: every read would scan it")
            .arg(table);
    };
    QSet<QString> subqueries;
    bool keySearched = false;
    while (plan.next()) {
        const QString detail = plan.value(3).toString();
        const QString verb = detail.section(QLatin1Char(' '), 0, 0);
        const QString object = detail.section(QLatin1Char(' '), 1, 1);
        if (detail.contains(QLatin1String("RECURSIVE")))
            return QStringLiteral("the view \"tiles\" is a recursive query");
        if (verb == QLatin1String("CO-ROUTINE") || verb == QLatin1String("MATERIALIZE")) {
            subqueries.insert(object);
        } else if (verb == QLatin1String("SCAN")) {
            if (object != QLatin1String("CONSTANT") && !subqueries.contains(object))
                return scans(object);
        } else if (verb == QLatin1String("SEARCH")) {
            // A search without an index reads the whole table, an automatic index is
            // built anew for every read; the first search is the one by the key and
            // must use all of it.
            if (!detail.contains(QLatin1String(" USING "))
                || detail.contains(QLatin1String("AUTOMATIC"))
                || (!keySearched && detail.count(QLatin1Char('=')) < 3))
                return scans(object);
            keySearched = true;
        }
    }
    return QString();
}

// Why a statement could work long without its time being looked at: SQLite looks only
// between rows and at jumps of its program, never inside a function (one can run for
// hours on values of a few megabytes) nor along a straight run of steps. Empty when the
// statement calls no function but the reads' own, joins no values and is short.
QString SqliteTileTable::Private::unboundedWork(const QString &text)
{
    QSqlQuery program(db);
    program.setForwardOnly(true);
    // A statement that does not compile fails when it runs, and is told then.
    if (!exec(program, QStringLiteral("EXPLAIN ") + text))
        return QString();
    int steps = 0;
    while (next(program)) {
        const QString opcode = program.value(1).toString();
        if (opcode.startsWith(QLatin1String("Function"))
            || opcode.startsWith(QLatin1String("PureFunc"))
            || opcode.startsWith(QLatin1String("Agg"))) {
            const QString function = program.value(5).toString().section(QLatin1Char('('), 0, 0);
            if (function != QLatin1String("typeof") && function != QLatin1String("length"))
                return QStringLiteral("calls %1()").arg(function);
        } else if (opcode == QLatin1String("Concat")) {
            return QStringLiteral("joins values");
        }
        ++steps;
    }
    if (steps > MaxProgramSteps)
        return QStringLiteral("runs %1 steps").arg(steps);
    return QString();
}

bool SqliteTileTable::Private::hasUniqueKey(const QString &table)
{
    QSqlQuery indexes(db);
    if (!exec(indexes, QStringLiteral("PRAGMA index_list(%1)").arg(table)))
        return false;
    QStringList unique;
    while (next(indexes)) {
        if (indexes.value(2).toInt() == 1)
            unique << indexes.value(1).toString();
    }
    const QSet<QString> key{layout.xColumn, layout.yColumn, layout.zColumn};
    for (QString name : qAsConst(unique)) {
        QSqlQuery info(db);
        name.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        if (!exec(info, QStringLiteral("PRAGMA index_info(\"%1\")").arg(name)))
            continue;
        QSet<QString> columns;
        while (next(info))
            columns.insert(info.value(2).toString().toLower());
        if (columns == key)
            return true;
    }
    return false;
}

bool SqliteTileTable::Private::prepare(QSqlQuery &query, const char *pattern,
                                       QSqlError *failure) const
{
    query.setForwardOnly(true);
    if (query.prepare(statement(pattern)))
        return true;
    *failure = query.lastError();
    return false;
}

SqliteTileTable::State SqliteTileTable::Private::check()
{
    // Statements are prepared once the schema has passed.
    if (statements)
        return State::Ready;
    if (unusable)
        return State::Unusable;
    if (!db.isOpen())
        return markUnusable(reasonOf(db.lastError()));

    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!exec(q,
              QStringLiteral("SELECT type FROM sqlite_master WHERE name = 'tiles' COLLATE NOCASE")))
        return failedCheck(q.lastError());
    const QString type = next(q) ? q.value(0).toString() : QString();
    if (type != QLatin1String("table") && type != QLatin1String("view"))
        return markUnusable(QStringLiteral("it has no table \"tiles\""));
    view = type == QLatin1String("view");

    if (!exec(q, QStringLiteral("PRAGMA table_info(tiles)")))
        return failedCheck(q.lastError());
    QStringList columns;
    while (next(q))
        columns << q.value(1).toString().toLower();
    for (const QString &column :
         {layout.xColumn, layout.yColumn, layout.zColumn, layout.dataColumn}) {
        if (!columns.contains(column))
            return markUnusable(QStringLiteral("table \"tiles\" has no column \"%1\"").arg(column));
    }
    // The plan of a read by key, with keys of no matter.
    const QString plan = statement(SelectByKey).replace(QLatin1Char('?'), QLatin1Char('0'));
    if (!exec(q, QStringLiteral("EXPLAIN QUERY PLAN ") + plan))
        return failedCheck(q.lastError());
    const QString scanning = scanningRead(q);
    if (!scanning.isEmpty())
        return markUnusable(scanning);
    const QString readWork = unboundedWork(plan);
    if (!readWork.isEmpty())
        return markUnusable(
            QStringLiteral("a read of a tile from \"tiles\" %1: its time cannot be bounded")
                .arg(readWork));
    // Reading a row touches the table's own pages, which a truncated file lacks.
    if (!view && !exec(q, statement("SELECT %1 FROM tiles LIMIT 1")))
        return failedCheck(q.lastError());
    q.finish();
    hasRowid = !view && QSqlQuery(db).prepare(QStringLiteral("SELECT rowid FROM tiles LIMIT 0"));

    QSqlError failure;
    auto prepared = std::make_unique<Statements>(db);
    if (!prepare(prepared->select, SelectByKey, &failure))
        return failedCheck(failure);

    const QFileInfo info(file);
    if (view) {
        readOnly = true;
        error = QStringLiteral("\"tiles\" is a view");
    } else if (info.exists() && !info.isWritable()) {
        readOnly = true;
        error = QStringLiteral("the file is read-only");
    } else {
        uniqueKey = hasUniqueKey(QStringLiteral("tiles"));
        // Without a unique key "insert or replace" would add a second row.
        const char *const erase = "delete from tiles where (%1=? and %2=? and %3=?)";
        const char *const write = uniqueKey
            ? "insert or replace into tiles (%1,%2,%3,%4) values (?,?,?,?)"
            : "insert into tiles (%1,%2,%3,%4) values (?,?,?,?)";
        if (!prepare(prepared->erase, erase, &failure)
            || !prepare(prepared->write, write, &failure))
            return failedCheck(failure);
        // Triggers and checks run inside the writes, on the thread that paints.
        QString writeWork;
        for (const char *pattern : {write, erase}) {
            if (writeWork.isEmpty())
                writeWork = unboundedWork(
                    statement(pattern).replace(QLatin1Char('?'), QLatin1Char('0')));
        }
        if (!writeWork.isEmpty()) {
            readOnly = true;
            error = QStringLiteral("a write of a tile to \"tiles\" %1: its time cannot be bounded")
                        .arg(writeWork);
        }
    }
    statements = std::move(prepared);
    return State::Ready;
}

Records SqliteTileTable::Private::recordsUnusable(const QString &reason)
{
    recordStatements.reset();
    recordsError = reason;
    return records = Records::Unusable;
}

// Said when a record is to be read or written: a host that keeps no records hears nothing.
Records SqliteTileTable::Private::usableRecords()
{
    if (checkRecords() == Records::Unusable && !warnedRecords) {
        warnedRecords = true;
        qCWarning(lcTiles).noquote()
            << QStringLiteral("tile store \"%1\": its table \"%2\" is left alone: %3; its tiles "
                              "are read and written without their times")
                   .arg(label(), QLatin1String(RecordTable), recordsError);
    }
    return records;
}

// The record table as another program may have left it must be read by its key, and
// neither its reads nor its writes may compute: they run on the thread that paints.
Records SqliteTileTable::Private::checkRecords()
{
    if (records != Records::Unknown)
        return records;
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!exec(q,
              QStringLiteral("SELECT type FROM sqlite_master WHERE name = '%1' COLLATE NOCASE")
                  .arg(QLatin1String(RecordTable))))
        return Records::Unknown;
    const QString type = next(q) ? q.value(0).toString() : QString();
    q.finish();
    if (type.isEmpty())
        return records = Records::Absent;
    if (type != QLatin1String("table"))
        return recordsUnusable(QStringLiteral("it is a %1, not a table").arg(type));
    if (!exec(q, QStringLiteral("PRAGMA table_info(%1)").arg(QLatin1String(RecordTable))))
        return Records::Unknown;
    QStringList columns;
    while (next(q))
        columns << q.value(1).toString().toLower();
    for (const QString &column :
         {layout.xColumn, layout.yColumn, layout.zColumn, QStringLiteral("fetched"),
          QStringLiteral("lifetime"), QStringLiteral("etag"), QStringLiteral("last_modified")}) {
        if (!columns.contains(column))
            return recordsUnusable(QStringLiteral("it has no column \"%1\"").arg(column));
    }
    if (!hasUniqueKey(QLatin1String(RecordTable)))
        return recordsUnusable(QStringLiteral("it has no unique key on level, column and row"));
    const QString plan = statement(SelectRecord).replace(QLatin1Char('?'), QLatin1Char('0'));
    if (!exec(q, QStringLiteral("EXPLAIN QUERY PLAN ") + plan))
        return Records::Unknown;
    while (next(q)) {
        const QString detail = q.value(3).toString();
        if (detail.startsWith(QLatin1String("SCAN"))
            || (detail.startsWith(QLatin1String("SEARCH"))
                && (!detail.contains(QLatin1String(" USING "))
                    || detail.contains(QLatin1String("AUTOMATIC"))
                    || detail.count(QLatin1Char('=')) < 3)))
            return recordsUnusable(QStringLiteral("a read of a record would scan it"));
    }
    QString work;
    for (const char *pattern : {SelectRecord, WriteRecord, EraseRecord}) {
        if (work.isEmpty())
            work = unboundedWork(statement(pattern).replace(QLatin1Char('?'), QLatin1Char('0')));
    }
    if (!work.isEmpty())
        return recordsUnusable(QStringLiteral("a read or write of it %1").arg(work));
    return prepareRecords();
}

Records SqliteTileTable::Private::prepareRecords()
{
    auto prepared = std::make_unique<RecordStatements>(db);
    QSqlError failure;
    if (!prepare(prepared->select, SelectRecord, &failure)
        || !prepare(prepared->write, WriteRecord, &failure)
        || !prepare(prepared->erase, EraseRecord, &failure))
        return recordsUnusable(reason(failure));
    recordStatements = std::move(prepared);
    return records = Records::Ready;
}

bool SqliteTileTable::Private::bindKey(QSqlQuery &q, const TileKey &key) const
{
    int row = 0;
    if (!storedRow(key, &row))
        return false;
    q.addBindValue(key.x);
    q.addBindValue(row);
    q.addBindValue(key.z);
    return true;
}

// Inside the transaction that writes the tiles. A table that cannot be kept is given up,
// not the tiles; only a lock undoes the transaction.
bool SqliteTileTable::Private::execRecord(const TileKey &key, const Change &change,
                                          QSqlError *failure)
{
    if (readOnly || records == Records::Unusable)
        return true;
    if (!change.hasRecord && records != Records::Ready && checkRecords() != Records::Ready)
        return true; // no table, no record to remove
    if (change.hasRecord && usableRecords() == Records::Absent) {
        QSqlQuery create(db);
        if (!exec(create, statement(CreateRecords))) {
            *failure = create.lastError();
            const bool busy = classify(*failure, false) == Failure::Busy;
            if (!busy)
                recordsUnusable(reason(*failure));
            return !busy;
        }
        // Made just now, as it must be.
        prepareRecords();
    }
    if (checkRecords() != Records::Ready)
        return true;
    QSqlQuery &q = change.hasRecord ? recordStatements->write : recordStatements->erase;
    if (!bindKey(q, key))
        return true;
    if (change.hasRecord) {
        const Tiles::Freshness &r = change.record;
        q.addBindValue(r.fetched.toSecsSinceEpoch());
        q.addBindValue(r.lifetime >= 0 ? QVariant(r.lifetime) : QVariant());
        q.addBindValue(r.etag.isEmpty() ? QVariant() : QVariant(r.etag));
        q.addBindValue(r.lastModified.isEmpty() ? QVariant() : QVariant(r.lastModified));
    }
    const bool ok = exec(q);
    if (!ok)
        *failure = q.lastError();
    q.finish();
    if (ok)
        return true;
    // An error that undid the transaction takes the tiles along: they are written again.
    if (classify(*failure, false) == Failure::Busy || (handle && sqlite3_get_autocommit(handle)))
        return false;
    recordsUnusable(reason(*failure));
    return true;
}

SqliteTileTable::State SqliteTileTable::Private::ready()
{
    const State state = check();
    if (state == State::Unusable && !warnedUnusable) {
        warnedUnusable = true;
        qCWarning(lcTiles).noquote()
            << QStringLiteral("cannot use tile store \"%1\": %2").arg(label(), error);
    }
    return state;
}

void SqliteTileTable::Private::startTimer(int ms)
{
    if (timer && (!timer->isActive() || timer->remainingTime() > ms))
        timer->start(ms);
}

void SqliteTileTable::Private::scheduleWrite()
{
    if (waitingForLock)
        return;
    if (pending.size() >= BatchRows || pendingBytes >= BatchBytes)
        writePending();
    else
        startTimer(writeDelay);
}

bool SqliteTileTable::Private::execChange(const TileKey &key, const Change &change,
                                          QSqlError *failure)
{
    int row = key.y;
    storedRow(key, &row);
    auto run = [&](QSqlQuery &q, bool withData) {
        q.addBindValue(key.x);
        q.addBindValue(row);
        q.addBindValue(key.z);
        if (withData)
            q.addBindValue(change.data);
        const bool ok = exec(q);
        if (!ok)
            *failure = q.lastError();
        q.finish();
        return ok;
    };
    bool ok = true;
    if (change.remove)
        ok = run(statements->erase, false);
    else if (change.recordOnly)
        ok = true;
    else if (uniqueKey)
        ok = run(statements->write, true);
    else
        ok = run(statements->erase, false) && run(statements->write, true);
    return ok && execRecord(key, change, failure);
}

void SqliteTileTable::Private::dropPending()
{
    pending.clear();
    pendingBytes = 0;
}

void SqliteTileTable::Private::warnReadOnly()
{
    if (warnedReadOnly)
        return;
    warnedReadOnly = true;
    qCWarning(lcTiles).noquote()
        << QStringLiteral("tile store \"%1\" does not take tiles: %2").arg(label(), error);
}

bool SqliteTileTable::Private::writeFailed(const QSqlError &failure, bool inTransaction)
{
    error = reason(failure);
    // Whatever the transaction held is still buffered.
    if (inTransaction)
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
    switch (classify(failure, false)) {
    case Failure::Busy:
        break;
    case Failure::ReadOnly:
        dropPending();
        readOnly = true;
        warnReadOnly();
        return false;
    default:
        if (!warnedBroken)
            qCWarning(lcTiles).noquote()
                << QStringLiteral("cannot write tile store \"%1\": %2").arg(label(), error);
        // A full disk may clear.
        warnedBroken = true;
        break;
    }
    waitingForLock = true;
    startTimer(retryDelay);
    return false;
}

bool SqliteTileTable::Private::writePending()
{
    if (pending.isEmpty())
        return true;
    const State state = ready();
    if (state == State::Busy) {
        waitingForLock = true;
        startTimer(retryDelay);
        return false;
    }
    if (state == State::Unusable || readOnly) {
        if (readOnly)
            warnReadOnly();
        dropPending();
        return false;
    }
    // In key order, so the index grows at one end rather than all over the file.
    QList<TileKey> keys = pending.keys();
    std::sort(keys.begin(), keys.end(), [](const TileKey &a, const TileKey &b) {
        return std::tie(a.z, a.x, a.y) < std::tie(b.z, b.x, b.y);
    });
    QSqlQuery transaction(db);
    QList<TileKey> writtenKeys;
    // A second time without the commit hook, when the hook undid the transaction: a
    // statement of its that is cut takes the whole transaction with it.
    for (bool again = true; again;) {
        again = false;
        if (!transaction.exec(QStringLiteral("BEGIN IMMEDIATE")))
            return writeFailed(transaction.lastError(), false);
        writtenKeys.clear();
        for (const TileKey &key : qAsConst(keys)) {
            QSqlError failure;
            if (!pending.contains(key))
                continue;
            const Change &change = pending[key];
            if (execChange(key, change, &failure)) {
                if (!change.remove && !change.recordOnly)
                    writtenKeys << key;
                continue;
            }
            if (classify(failure, true) != Failure::Rejected)
                return writeFailed(failure, true);
            qCWarning(lcTiles) << "tile db insert error:" << failure.text();
            pendingBytes -= pending.take(key).data.size();
        }
        if (beforeCommit && !writtenKeys.isEmpty()) {
            beforeCommit(writtenKeys);
            if (handle && sqlite3_get_autocommit(handle)) {
                qCWarning(lcTiles).noquote()
                    << QStringLiteral("tile store \"%1\": what it keeps beside its tiles could "
                                      "not be written with them; its tiles are written alone")
                           .arg(label());
                beforeCommit = nullptr;
                again = true;
            }
        }
    }
    if (!transaction.exec(QStringLiteral("COMMIT")))
        return writeFailed(transaction.lastError(), true);
    written += writtenKeys.size();
    dropPending();
    waitingForLock = false;
    warnedBroken = false;
    warnedFull = false;
    return true;
}

void SqliteTileTable::Private::finalFlush()
{
    if (pending.isEmpty())
        return;
    QSqlQuery timeout(db);
    timeout.exec(QStringLiteral("PRAGMA busy_timeout"));
    const int previous = timeout.next() ? timeout.value(0).toInt() : 0;
    timeout.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(FinalBusyTimeoutMs));
    const int held = pending.size();
    if (!writePending())
        qCWarning(lcTiles).noquote()
            << QStringLiteral("tile store \"%1\": %2 tiles could not be written: %3")
                   .arg(label())
                   .arg(held)
                   .arg(error);
    // The connection may be a caller's, who chose its wait.
    timeout.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(previous));
}

SqliteTileTable::SqliteTileTable(QSqlDatabase db, const QString &fileName, const Layout &layout,
                                 bool ownsConnection)
    : d(new Private)
{
    d->db = db;
    d->file = fileName;
    d->layout = layout;
    d->connection.owned = ownsConnection;
    if (QCoreApplication::instance()) {
        d->timer.reset(new QTimer);
        d->timer->setSingleShot(true);
        QObject::connect(d->timer.get(), &QTimer::timeout, [this] {
            d->waitingForLock = false;
            d->writePending();
        });
    }
    setDelays(Tiles::OpenOptions());
    d->handle = SqliteTileFile::handle(db);
    if (d->handle) {
        sqlite3_progress_handler(d->handle, InstructionsPerLook, cutWhenLate, &d->deadline);
        d->previousLengthLimit = setLengthLimit(MaxValueBytes);
    }
}

SqliteTileTable::~SqliteTileTable()
{
    d->finalFlush();
    // A connection of the caller's may outlive the store, or have been reopened.
    if (d->handle && SqliteTileFile::handle(d->db) == d->handle) {
        sqlite3_progress_handler(d->handle, 0, nullptr, nullptr);
        setLengthLimit(d->previousLengthLimit);
    }
}

void SqliteTileTable::setDelays(const Tiles::OpenOptions &options)
{
    d->writeDelay = qMax(0, options.writeDelayMs);
    d->retryDelay = qMax(0, options.retryMs);
    d->deadline.limitNs = qMax(qint64(1), qint64(options.statementTimeLimitMs)) * 1000000;
}

QString SqliteTileTable::unboundedWork(const QString &statement)
{
    return d->unboundedWork(statement);
}

bool SqliteTileTable::exec(QSqlQuery &query)
{
    return d->exec(query);
}

bool SqliteTileTable::exec(QSqlQuery &query, const QString &statement)
{
    return d->exec(query, statement);
}

bool SqliteTileTable::next(QSqlQuery &query)
{
    return d->next(query);
}

int SqliteTileTable::setLengthLimit(int bytes)
{
    return d->handle ? sqlite3_limit(d->handle, SQLITE_LIMIT_LENGTH, bytes) : -1;
}

void SqliteTileTable::setBeforeCommit(std::function<void(const QList<TileKey> &)> hook)
{
    d->beforeCommit = std::move(hook);
}

SqliteTileTable::State SqliteTileTable::check()
{
    return d->check();
}

QString SqliteTileTable::fileName() const
{
    return d->file;
}

QString SqliteTileTable::errorString() const
{
    return d->error;
}

QSqlDatabase SqliteTileTable::database() const
{
    return d->db;
}

bool SqliteTileTable::isReadOnly()
{
    return d->check() == State::Ready && d->readOnly;
}

bool SqliteTileTable::isWritable()
{
    const State state = d->check();
    return state == State::Busy || (state == State::Ready && !d->readOnly);
}

qint64 SqliteTileTable::writtenCount() const
{
    return d->written;
}

QByteArray SqliteTileTable::read(const TileKey &key, Tiles::ReadResult *result)
{
    *result = Tiles::ReadResult::Missing;
    const auto buffered = d->pending.constFind(key);
    if (buffered != d->pending.constEnd() && !buffered->recordOnly) {
        if (buffered->remove)
            return QByteArray();
        *result = Tiles::ReadResult::Found;
        return buffered->data;
    }
    *result = Tiles::ReadResult::Busy;
    if (d->recentlyBusy() || d->ready() != State::Ready)
        return QByteArray();
    int row = 0;
    if (!d->storedRow(key, &row)) {
        *result = Tiles::ReadResult::Missing;
        return QByteArray();
    }
    QSqlQuery &q = d->statements->select;
    q.addBindValue(key.x);
    q.addBindValue(row);
    q.addBindValue(key.z);
    QByteArray data;
    const qint64 workBefore = d->view ? threadCpuNs() : 0;
    const bool found = d->exec(q) && d->next(q);
    const qint64 work = d->view ? threadCpuNs() - workBefore : 0;
    if (q.lastError().isValid()) {
        const QSqlError failure = q.lastError();
        d->error = d->reason(failure);
        const Failure kind = classify(failure, false);
        if (kind == Failure::Busy) {
            d->noteBusy();
        } else if (kind == Failure::Cut) {
            d->noteCut();
        } else if (!d->warnedUnusable) {
            d->warnedUnusable = true;
            qCWarning(lcTiles).noquote()
                << QStringLiteral("cannot read tile store \"%1\": %2").arg(d->label(), d->error);
        }
    } else if (found) {
        data = q.value(0).toByteArray();
        *result = Tiles::ReadResult::Found;
    } else {
        *result = Tiles::ReadResult::Missing;
    }
    // A finished statement holds no lock between paints.
    q.finish();
    if (work > ViewWorkLimits * d->deadline.limitNs) {
        d->statements.reset();
        d->markUnusable(QStringLiteral("a read of a tile from the view \"tiles\" worked %1 ms")
                            .arg(double(work) / 1e6));
        d->warnedUnusable = true;
        qCWarning(lcTiles).noquote()
            << QStringLiteral("tile store \"%1\": %2; it is not read again")
                   .arg(d->label(), d->error);
    }
    return data;
}

void SqliteTileTable::write(const TileKey &key, const QByteArray &data)
{
    // Known from the schema check; a store still waiting for its lock buffers.
    if (d->unusable)
        return;
    if (d->readOnly) {
        d->warnReadOnly();
        return;
    }
    int row = 0;
    if (!d->storedRow(key, &row)) {
        qCWarning(lcTiles)
            << "tile db insert error:"
            << QStringLiteral("no tile %1/%2/%3 in this scheme").arg(key.z).arg(key.x).arg(key.y);
        return;
    }
    auto it = d->pending.find(key);
    if (it == d->pending.end()) {
        if (d->pending.size() >= MaxPendingRows
            || d->pendingBytes + data.size() > MaxPendingBytes) {
            if (!d->warnedFull) {
                d->warnedFull = true;
                qCWarning(lcTiles).noquote()
                    << QStringLiteral("tile store \"%1\": %2 tiles wait to be written; further "
                                      "tiles are not kept")
                           .arg(d->label())
                           .arg(d->pending.size());
            }
            return;
        }
        it = d->pending.insert(key, Change());
    }
    d->pendingBytes += data.size() - it->data.size();
    *it = Change();
    it->data = data;
    d->scheduleWrite();
}

Tiles::Freshness SqliteTileTable::freshness(const TileKey &key, Tiles::ReadResult *result)
{
    *result = Tiles::ReadResult::Missing;
    const auto buffered = d->pending.constFind(key);
    if (buffered != d->pending.constEnd()) {
        if (buffered->hasRecord) {
            *result = Tiles::ReadResult::Found;
            return buffered->record;
        }
        if (!buffered->recordOnly)
            return {};
    }
    *result = Tiles::ReadResult::Busy;
    if (d->recentlyBusy() || d->ready() != State::Ready)
        return {};
    const Records records = d->usableRecords();
    if (records == Records::Unknown)
        return {};
    *result = Tiles::ReadResult::Missing;
    if (records != Records::Ready)
        return {};
    QSqlQuery &q = d->recordStatements->select;
    if (!d->bindKey(q, key))
        return {};
    Tiles::Freshness record;
    if (d->exec(q) && d->next(q) && !q.value(0).isNull()) {
        // Another program may have written any number: a time QDateTime cannot hold is no
        // time, and no lifetime is longer than any server gives.
        const qint64 fetched = q.value(0).toLongLong();
        if (fetched >= 0 && fetched <= LastFetchedSecs)
            record.fetched = QDateTime::fromSecsSinceEpoch(fetched, Qt::UTC);
        record.lifetime = q.value(1).isNull()
            ? -1
            : qBound(qint64(0), q.value(1).toLongLong(), Tiles::Freshness::MaxLifetimeSecs);
        record.etag = q.value(2).toByteArray();
        record.lastModified = q.value(3).toByteArray();
        *result = Tiles::ReadResult::Found;
    } else if (q.lastError().isValid()) {
        const Failure kind = classify(q.lastError(), false);
        if (kind == Failure::Busy || kind == Failure::Cut) {
            d->noteBusy();
            *result = Tiles::ReadResult::Busy;
        }
    }
    q.finish();
    return record;
}

bool SqliteTileTable::setFreshness(const TileKey &key, const Tiles::Freshness &record)
{
    if (d->unusable || d->readOnly || !record.fetched.isValid())
        return false;
    if (d->records == Records::Unusable) {
        d->usableRecords();
        return false;
    }
    int row = 0;
    if (!d->storedRow(key, &row))
        return false;
    auto it = d->pending.find(key);
    if (it == d->pending.end()) {
        if (d->pending.size() >= MaxPendingRows)
            return false;
        it = d->pending.insert(key, Change());
        it->recordOnly = true;
    } else if (it->remove) {
        return false;
    }
    it->hasRecord = true;
    it->record = record;
    if (it->record.etag.size() > MaxValidatorBytes)
        it->record.etag.clear();
    if (it->record.lastModified.size() > 64)
        it->record.lastModified.clear();
    d->scheduleWrite();
    return true;
}

bool SqliteTileTable::remove(const TileKey &key)
{
    if (d->readOnly) {
        d->warnReadOnly();
        return false;
    }
    int row = 0;
    if (!d->storedRow(key, &row))
        return true;
    Change &change = d->pending[key];
    d->pendingBytes -= change.data.size();
    change = Change();
    change.remove = true;
    d->scheduleWrite();
    return true;
}

bool SqliteTileTable::flush()
{
    return d->writePending();
}

void SqliteTileTable::finish()
{
    d->finalFlush();
    // The owner goes next: what destruction tries once more must not call back into it.
    d->beforeCommit = nullptr;
}

bool SqliteTileTable::forEach(int minZoom, int maxZoom, Tiles::Content content,
                              const Tiles::Visitor &visit)
{
    return forEachStored(minZoom, maxZoom, content, [&](const Tiles::StoredTile &tile) {
        return tile.flaw != Tiles::Flaw::None || visit(tile.key, tile.data);
    });
}

bool SqliteTileTable::forEachStored(int minZoom, int maxZoom, Tiles::Content content,
                                    const Tiles::StoredVisitor &visit)
{
    if (!d->pending.isEmpty() && !d->waitingForLock)
        d->writePending();
    // What is still buffered is newer than the file: visit it, and skip its keys there.
    QHash<TileKey, Change> buffered = d->pending;
    for (auto it = buffered.begin(); it != buffered.end();)
        it = it->recordOnly ? buffered.erase(it) : std::next(it);
    const bool withData = content == Tiles::Content::KeysAndData;
    for (auto it = buffered.cbegin(); it != buffered.cend(); ++it) {
        if (it->remove || it.key().z < minZoom || it.key().z > maxZoom)
            continue;
        Tiles::StoredTile tile;
        tile.key = it.key();
        tile.size = it->data.size();
        tile.data = withData ? it->data : QByteArray();
        tile.where = QStringLiteral("%1/%2/%3").arg(tile.key.z).arg(tile.key.x).arg(tile.key.y);
        if (!visit(tile))
            return true;
    }
    if (d->ready() != State::Ready)
        return false;

    // Keys that are no whole numbers and data that are no bytes, or more than a tile,
    // are told by their type and length, which SQLite knows without loading them.
    const bool allLevels = minZoom <= 0 && maxZoom >= TileKey::MaxLevel;
    QString text = d->statement(
        "SELECT %R, CASE WHEN typeof(%1) = 'integer' THEN %1 END, "
        "CASE WHEN typeof(%2) = 'integer' THEN %2 END, CASE WHEN typeof(%3) = 'integer' THEN %3 "
        "END, typeof(%4), CASE typeof(%4) WHEN 'blob' THEN length(%4) END");
    if (withData)
        text += d->statement(
            ", CASE WHEN typeof(%4) = 'blob' AND length(%4) <= 16777216 THEN %4 END");
    text += QStringLiteral(" FROM tiles");
    if (!allLevels)
        text += d->statement(" WHERE %3 >= ? AND %3 <= ?");
    QSqlQuery q(d->db);
    q.setForwardOnly(true);
    q.prepare(text);
    if (!allLevels) {
        q.addBindValue(minZoom);
        q.addBindValue(maxZoom);
    }
    if (!d->exec(q)) {
        d->error = d->reason(q.lastError());
        return false;
    }
    while (d->next(q)) {
        Tiles::StoredTile tile;
        const QVariant row = q.value(0);
        if (!row.isNull())
            tile.copy = row.toLongLong();
        if (!d->keyOf(q, 1, &tile.key)) {
            tile.flaw = Tiles::Flaw::OffGrid;
        } else if (buffered.contains(tile.key)) {
            continue;
        }
        tile.where = d->hasRowid
            ? QStringLiteral("row %1").arg(row.toLongLong())
            : QStringLiteral("%1/%2/%3")
                  .arg(valueOrNull(q.value(3)), valueOrNull(q.value(1)), valueOrNull(q.value(2)));
        if (q.value(4).toString() != QLatin1String("blob")) {
            if (tile.flaw == Tiles::Flaw::None)
                tile.flaw = Tiles::Flaw::NoBytes;
        } else {
            tile.size = q.value(5).toLongLong();
            if (tile.flaw == Tiles::Flaw::None && tile.size > Tiles::MaxTileBytes)
                tile.flaw = Tiles::Flaw::TooLarge;
            else if (tile.flaw == Tiles::Flaw::None && withData)
                tile.data = q.value(6).toByteArray();
        }
        if (!visit(tile))
            return true;
    }
    if (q.lastError().isValid()) {
        d->error = d->reason(q.lastError());
        return false;
    }
    return true;
}

qint64 SqliteTileTable::removeStored(const QVector<Tiles::StoredTile> &tiles)
{
    if (!d->writePending() || d->ready() != State::Ready)
        return 0;
    if (d->readOnly) {
        d->warnReadOnly();
        return 0;
    }
    QSqlQuery transaction(d->db);
    if (!transaction.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
        d->error = d->reason(transaction.lastError());
        return 0;
    }
    QSqlQuery byRow(d->db);
    if (d->hasRowid)
        byRow.prepare(QStringLiteral("DELETE FROM tiles WHERE rowid = ?"));
    QSqlQuery &byKey = d->statements->erase;
    qint64 removed = 0;
    for (const Tiles::StoredTile &tile : tiles) {
        int row = 0;
        QSqlQuery *q = &byKey;
        // A row of its own is removed alone: a good one may share its key.
        if (tile.copy.isValid() && d->hasRowid) {
            q = &byRow;
            byRow.addBindValue(tile.copy.toLongLong());
        } else if (tile.flaw != Tiles::Flaw::OffGrid && d->storedRow(tile.key, &row)) {
            byKey.addBindValue(tile.key.x);
            byKey.addBindValue(row);
            byKey.addBindValue(tile.key.z);
        } else {
            continue;
        }
        if (!d->exec(*q)) {
            d->error = d->reason(q->lastError());
            QSqlQuery(d->db).exec(QStringLiteral("ROLLBACK"));
            return 0;
        }
        removed += qMax(0, q->numRowsAffected());
        q->finish();
    }
    // A record goes with the last copy of its tile.
    if (d->records == Records::Ready || d->checkRecords() == Records::Ready) {
        QSqlQuery orphan(d->db);
        orphan.prepare(d->statement(
            "DELETE FROM tile_freshness WHERE (%1=? and %2=? and %3=?) AND NOT EXISTS (SELECT 1 "
            "FROM tiles WHERE (%1=? and %2=? and %3=?))"));
        for (const Tiles::StoredTile &tile : tiles) {
            int row = 0;
            if (tile.flaw == Tiles::Flaw::OffGrid || !d->storedRow(tile.key, &row))
                continue;
            for (int i = 0; i < 2; ++i) {
                orphan.addBindValue(tile.key.x);
                orphan.addBindValue(row);
                orphan.addBindValue(tile.key.z);
            }
            d->exec(orphan);
            orphan.finish();
        }
    }
    if (!transaction.exec(QStringLiteral("COMMIT"))) {
        d->error = d->reason(transaction.lastError());
        QSqlQuery(d->db).exec(QStringLiteral("ROLLBACK"));
        return 0;
    }
    return removed;
}

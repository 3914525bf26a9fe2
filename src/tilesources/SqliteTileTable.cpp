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

#include <algorithm>
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
// Tiles are kilobytes; a crafted file could hold a blob of a gigabyte.
constexpr qint64 MaxTileBytes = 16 * 1024 * 1024;

enum class Failure { Busy, ReadOnly, Rejected, Broken };

// SQLite's primary result codes; Qt reports them as the native error code.
Failure classify(const QSqlError &error, bool rowStatement)
{
    switch (error.nativeErrorCode().toInt() & 0xff) {
    case 5: // SQLITE_BUSY
    case 6: // SQLITE_LOCKED
        return Failure::Busy;
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

struct Change
{
    QByteArray data;
    bool remove = false;
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
    std::unique_ptr<Statements> statements;

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

    QString statement(const char *pattern) const
    {
        QString text = QString::fromLatin1(pattern);
        text.replace(QLatin1String("%1"), layout.xColumn);
        text.replace(QLatin1String("%2"), layout.yColumn);
        text.replace(QLatin1String("%3"), layout.zColumn);
        text.replace(QLatin1String("%4"), layout.dataColumn);
        return text;
    }
    bool storedRow(const TileKey &key, int *row) const;
    bool keyOf(const QSqlQuery &q, TileKey *key) const;
    State check();
    State failedCheck(const QSqlError &error);
    State markUnusable(const QString &reason);
    bool hasUniqueKey();
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

bool SqliteTileTable::Private::keyOf(const QSqlQuery &q, TileKey *key) const
{
    qint64 v[3];
    for (int i = 0; i < 3; ++i) {
        bool ok = false;
        v[i] = q.value(i).toLongLong(&ok);
        if (!ok || v[i] < std::numeric_limits<int>::min() || v[i] > std::numeric_limits<int>::max())
            return false;
    }
    int y = int(v[1]);
    const TileKey stored(int(v[0]), y, int(v[2]));
    if (!storedRow(stored, &y))
        return false;
    *key = TileKey(stored.x, y, stored.z);
    return true;
}

SqliteTileTable::State SqliteTileTable::Private::markUnusable(const QString &reason)
{
    unusable = true;
    error = reason;
    return State::Unusable;
}

SqliteTileTable::State SqliteTileTable::Private::failedCheck(const QSqlError &failure)
{
    if (classify(failure, false) == Failure::Busy) {
        error = reasonOf(failure);
        noteBusy();
        return State::Busy;
    }
    return markUnusable(reasonOf(failure));
}

bool SqliteTileTable::Private::hasUniqueKey()
{
    QSqlQuery indexes(db);
    if (!indexes.exec(QStringLiteral("PRAGMA index_list(tiles)")))
        return false;
    QStringList unique;
    while (indexes.next()) {
        if (indexes.value(2).toInt() == 1)
            unique << indexes.value(1).toString();
    }
    const QSet<QString> key{layout.xColumn, layout.yColumn, layout.zColumn};
    for (QString name : qAsConst(unique)) {
        QSqlQuery info(db);
        name.replace(QLatin1Char('"'), QStringLiteral("\"\""));
        if (!info.exec(QStringLiteral("PRAGMA index_info(\"%1\")").arg(name)))
            continue;
        QSet<QString> columns;
        while (info.next())
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
    if (!q.exec(
            QStringLiteral("SELECT type FROM sqlite_master WHERE name = 'tiles' COLLATE NOCASE")))
        return failedCheck(q.lastError());
    const QString type = q.next() ? q.value(0).toString() : QString();
    if (type != QLatin1String("table") && type != QLatin1String("view"))
        return markUnusable(QStringLiteral("it has no table \"tiles\""));

    if (!q.exec(QStringLiteral("PRAGMA table_info(tiles)")))
        return failedCheck(q.lastError());
    QStringList columns;
    while (q.next())
        columns << q.value(1).toString().toLower();
    for (const QString &column :
         {layout.xColumn, layout.yColumn, layout.zColumn, layout.dataColumn}) {
        if (!columns.contains(column))
            return markUnusable(QStringLiteral("table \"tiles\" has no column \"%1\"").arg(column));
    }
    // Reading a row touches the table's own pages, which a truncated file lacks.
    if (!q.exec(statement("SELECT %1 FROM tiles LIMIT 1")))
        return failedCheck(q.lastError());

    static_assert(MaxTileBytes == 16777216, "the select spells the limit out");
    QSqlError failure;
    auto prepared = std::make_unique<Statements>(db);
    if (!prepare(prepared->select,
                 "SELECT %4 from tiles where (%1=? and %2=? and %3=?) and length(%4) <= 16777216",
                 &failure))
        return failedCheck(failure);

    const QFileInfo info(file);
    if (type == QLatin1String("view")) {
        readOnly = true;
        error = QStringLiteral("\"tiles\" is a view");
    } else if (info.exists() && !info.isWritable()) {
        readOnly = true;
        error = QStringLiteral("the file is read-only");
    } else {
        uniqueKey = hasUniqueKey();
        // Without a unique key "insert or replace" would add a second row.
        if (!prepare(prepared->erase, "delete from tiles where (%1=? and %2=? and %3=?)", &failure)
            || !prepare(prepared->write,
                        uniqueKey ? "insert or replace into tiles (%1,%2,%3,%4) values (?,?,?,?)"
                                  : "insert into tiles (%1,%2,%3,%4) values (?,?,?,?)",
                        &failure))
            return failedCheck(failure);
    }
    statements = std::move(prepared);
    return State::Ready;
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
        const bool ok = q.exec();
        if (!ok)
            *failure = q.lastError();
        q.finish();
        return ok;
    };
    if (change.remove)
        return run(statements->erase, false);
    if (uniqueKey)
        return run(statements->write, true);
    return run(statements->erase, false) && run(statements->write, true);
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
    error = reasonOf(failure);
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
    QSqlQuery transaction(db);
    if (!transaction.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return writeFailed(transaction.lastError(), false);
    // In key order, so the index grows at one end rather than all over the file.
    QList<TileKey> keys = pending.keys();
    std::sort(keys.begin(), keys.end(), [](const TileKey &a, const TileKey &b) {
        return std::tie(a.z, a.x, a.y) < std::tie(b.z, b.x, b.y);
    });
    qint64 tiles = 0;
    for (const TileKey &key : qAsConst(keys)) {
        QSqlError failure;
        const Change change = pending.value(key);
        if (execChange(key, change, &failure)) {
            tiles += !change.remove;
            continue;
        }
        if (classify(failure, true) != Failure::Rejected)
            return writeFailed(failure, true);
        qCWarning(lcTiles) << "tile db insert error:" << failure.text();
        pendingBytes -= pending.take(key).data.size();
    }
    if (!transaction.exec(QStringLiteral("COMMIT")))
        return writeFailed(transaction.lastError(), true);
    written += tiles;
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
}

SqliteTileTable::~SqliteTileTable()
{
    d->finalFlush();
}

void SqliteTileTable::setDelays(const Tiles::OpenOptions &options)
{
    d->writeDelay = qMax(0, options.writeDelayMs);
    d->retryDelay = qMax(0, options.retryMs);
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
    if (buffered != d->pending.constEnd()) {
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
    if (!q.exec()) {
        const QSqlError failure = q.lastError();
        d->error = reasonOf(failure);
        if (classify(failure, false) == Failure::Busy) {
            d->noteBusy();
        } else if (!d->warnedUnusable) {
            d->warnedUnusable = true;
            qCWarning(lcTiles).noquote()
                << QStringLiteral("cannot read tile store \"%1\": %2").arg(d->label(), d->error);
        }
    } else if (q.next()) {
        data = q.value(0).toByteArray();
        *result = Tiles::ReadResult::Found;
    } else {
        *result = Tiles::ReadResult::Missing;
    }
    // A finished statement holds no lock between paints.
    q.finish();
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
    it->data = data;
    it->remove = false;
    d->scheduleWrite();
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
    change = Change{QByteArray(), true};
    d->scheduleWrite();
    return true;
}

bool SqliteTileTable::flush()
{
    return d->writePending();
}

bool SqliteTileTable::forEach(int minZoom, int maxZoom, Tiles::Content content,
                              const Tiles::Visitor &visit)
{
    if (!d->pending.isEmpty() && !d->waitingForLock)
        d->writePending();
    // What is still buffered is newer than the file: visit it, and skip its keys there.
    const QHash<TileKey, Change> buffered = d->pending;
    const bool withData = content == Tiles::Content::KeysAndData;
    for (auto it = buffered.cbegin(); it != buffered.cend(); ++it) {
        if (!it->remove && it.key().z >= minZoom && it.key().z <= maxZoom
            && !visit(it.key(), withData ? it->data : QByteArray()))
            return true;
    }
    if (d->ready() != State::Ready)
        return false;

    QSqlQuery q(d->db);
    q.setForwardOnly(true);
    q.prepare(d->statement(withData ? "SELECT %1, %2, %3, %4 from tiles where %3 >= ? and %3 <= ? "
                                      "and length(%4) <= 16777216"
                                    : "SELECT %1, %2, %3 from tiles where %3 >= ? and %3 <= ?"));
    q.addBindValue(minZoom);
    q.addBindValue(maxZoom);
    if (!q.exec()) {
        d->error = reasonOf(q.lastError());
        return false;
    }
    TileKey key;
    while (q.next()) {
        if (!d->keyOf(q, &key) || buffered.contains(key))
            continue;
        if (!visit(key, withData ? q.value(3).toByteArray() : QByteArray()))
            return true;
    }
    if (q.lastError().isValid()) {
        d->error = reasonOf(q.lastError());
        return false;
    }
    return true;
}

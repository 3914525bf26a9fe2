#include "TestTiles.h"
#include "TilesFromDb.h"

#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtTest/QtTest>

namespace {

QString freshDatabase(const QTemporaryDir &tmp, const QString &name)
{
    const QString path = tmp.filePath(name);
    QFile::copy(QStringLiteral(":/db/dbtemplate.sqlitedb"), path);
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return path;
}

QSqlDatabase openConnection(const QString &name, const QString &path)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(path);
    db.open();
    return db;
}

// Rows as a second connection of the test's own sees them.
QList<QVariantList> rowsOf(const QString &path)
{
    QList<QVariantList> rows;
    {
        QSqlDatabase db = openConnection(QStringLiteral("inspector"), path);
        QSqlQuery q(db);
        q.exec(QStringLiteral("select x, y, z, image from tiles order by z, x, y"));
        while (q.next())
            rows.append({q.value(0), q.value(1), q.value(2), q.value(3)});
    }
    QSqlDatabase::removeDatabase(QStringLiteral("inspector"));
    return rows;
}

} // namespace

class tst_TilesFromDb : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void emptyTemplate();
    void writesBytesUnchangedAndReplaces();
    void undecodableRows_data();
    void undecodableRows();
    void setPixmapStoresPng();
    void statementsFollowLastStore();
    void temporaryConnectionsRemoved();
    void insertErrorWarns();
};

void tst_TilesFromDb::cleanup()
{
    for (const QString &name : QSqlDatabase::connectionNames())
        QSqlDatabase::removeDatabase(name);
}

void tst_TilesFromDb::emptyTemplate()
{
    QTemporaryDir tmp;
    {
        TilesFromDb store(openConnection(QStringLiteral("a"), freshDatabase(tmp, "a.sqlitedb")));
        for (const TileKey &k : {TileKey(0, 0, 0), TileKey(600, 300, 10), TileKey(-1, -1, -1)}) {
            QVERIFY(store.pixmap(k).isNull());
            QVERIFY(!store.contains(k));
            QVERIFY(store.lastModified(k).isNull());
        }
    }
}

void tst_TilesFromDb::writesBytesUnchangedAndReplaces()
{
    QTemporaryDir tmp;
    const QString path = freshDatabase(tmp, "w.sqlitedb");
    const QByteArray first = TestTiles::encoded(7, 8, 9);
    const QByteArray second = TestTiles::encoded(1, 2, 3, "JPEG");
    {
        TilesFromDb store(openConnection(QStringLiteral("w"), path));
        store.setData(7, 8, 9, first);
        store.setData(TileKey(7, 8, 9), second);
        store.setData(8, 8, 9, first);
        QVERIFY(store.flush());

        const QList<QVariantList> rows = rowsOf(path);
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.at(0).mid(0, 3), (QVariantList{7, 8, 9}));
        QCOMPARE(rows.at(0).at(3).toByteArray(), second);
        QCOMPARE(rows.at(1).at(3).toByteArray(), first);

        QVERIFY(store.contains(7, 8, 9));
        const QImage back = store.pixmap(TileKey(8, 8, 9)).toImage();
        QVERIFY(TestTiles::sameColour(back.pixelColor(9, 9), TestTiles::colourOf(7, 8, 9)));
    }
}

void tst_TilesFromDb::undecodableRows_data()
{
    QTest::addColumn<QByteArray>("blob");
    QTest::newRow("text") << QByteArray("<html>not a tile</html>");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("truncated png") << TestTiles::encoded(1, 1, 1).left(60);
}

void tst_TilesFromDb::undecodableRows()
{
    QFETCH(QByteArray, blob);
    QTemporaryDir tmp;
    TilesFromDb store(openConnection(QStringLiteral("u"), freshDatabase(tmp, "u.sqlitedb")));
    store.setData(1, 1, 1, blob);
    QVERIFY(store.pixmap(1, 1, 1).isNull());
    QVERIFY(!store.contains(1, 1, 1));
}

void tst_TilesFromDb::setPixmapStoresPng()
{
    QTemporaryDir tmp;
    const QString path = freshDatabase(tmp, "p.sqlitedb");
    TilesFromDb store(openConnection(QStringLiteral("p"), path));
    store.setPixmap(TileKey(3, 4, 5), QPixmap::fromImage(TestTiles::image(3, 4, 5, 200)));
    QVERIFY(store.flush());
    const QByteArray stored = rowsOf(path).value(0).value(3).toByteArray();
    QVERIFY(stored.startsWith("\x89PNG"));
    QCOMPARE(store.pixmap(3, 4, 5).size(), QSize(200, 200));
}

void tst_TilesFromDb::statementsFollowLastStore()
{
    QTemporaryDir tmp;
    const QString pathA = freshDatabase(tmp, "a.sqlitedb");
    const QString pathB = freshDatabase(tmp, "b.sqlitedb");
    TilesFromDb storeA(openConnection(QStringLiteral("a"), pathA));
    TilesFromDb storeB(openConnection(QStringLiteral("b"), pathB));
    storeA.setData(1, 2, 3, TestTiles::encoded(1, 2, 3));
    QVERIFY(storeA.flush());
    QVERIFY(rowsOf(pathB).isEmpty());
    QCOMPARE(rowsOf(pathA).size(), 1);
    QVERIFY(storeB.pixmap(1, 2, 3).isNull());
}

void tst_TilesFromDb::temporaryConnectionsRemoved()
{
    QTemporaryDir tmp;
    {
        TilesFromDb temporary(
            openConnection(QStringLiteral("TilesDb_1"), freshDatabase(tmp, "t.sqlitedb")));
        TilesFromDb kept(openConnection(QStringLiteral("OsmView"), freshDatabase(tmp, "k.sqlitedb")));
    }
    QVERIFY(!QSqlDatabase::contains(QStringLiteral("TilesDb_1")));
    QVERIFY(QSqlDatabase::contains(QStringLiteral("OsmView")));
    QVERIFY(QSqlDatabase::database(QStringLiteral("OsmView"), false).isOpen());
}

void tst_TilesFromDb::insertErrorWarns()
{
    QTemporaryDir tmp;
    const QString path = freshDatabase(tmp, "ro.sqlitedb");
    {
        QSqlDatabase db = openConnection(QStringLiteral("setup"), path);
        QSqlQuery(db).exec(QStringLiteral(
            "create trigger refuse before insert on tiles begin select raise(abort, 'store is "
            "read only'); end"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("setup"));

    TilesFromDb store(openConnection(QStringLiteral("ro"), path));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^tile db insert error: \".*store is "
                                                           "read only.*\"$")));
    store.setData(1, 1, 1, TestTiles::encoded(1, 1, 1));
    store.flush();
    QVERIFY(!store.contains(1, 1, 1));
}

QTEST_MAIN(tst_TilesFromDb)
#include "tst_tilesfromdb.moc"

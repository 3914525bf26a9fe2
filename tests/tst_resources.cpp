#include <QtCore/QFile>
#include <QtCore/QResource>
#include <QtCore/QTemporaryDir>
#include <QtGui/QImage>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtSql/QSqlRecord>
#include <QtTest/QtTest>

#include "TileAddressing.h"

class tst_Resources : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void registeredWhileLoaded();
    void templateDatabaseHeader();
    void templateDatabaseSchema();
    void arrowIcons();
};

void tst_Resources::registeredWhileLoaded()
{
    // Linking the library is enough: nothing of it has been called yet.
    for (const char *path : {":/db/dbtemplate.sqlitedb", ":/images/left-16.png",
                             ":/images/right-16.png"})
        QVERIFY2(QFile::exists(QString::fromLatin1(path)), path);
    // Keep the library linked even though only its resources are used.
    QCOMPARE(lonToTileX(-180, 3), 0);
}

void tst_Resources::templateDatabaseHeader()
{
    QFile file(QStringLiteral(":/db/dbtemplate.sqlitedb"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    QCOMPARE(bytes.size(), 3072);
    QVERIFY(bytes.startsWith(QByteArray("SQLite format 3\0", 16)));
    auto be16 = [&](int at) { return (quint8(bytes[at]) << 8) | quint8(bytes[at + 1]); };
    auto be32 = [&](int at) { return (be16(at) << 16) | be16(at + 2); };
    QCOMPARE(be16(16), 1024);           // page size
    QCOMPARE(quint8(bytes[18]), quint8(1)); // legacy (rollback journal) write version
    QCOMPARE(quint8(bytes[19]), quint8(1)); // legacy read version
    QCOMPARE(be32(28), 3);              // pages in the file
    QCOMPARE(be32(52), 0);              // no auto-vacuum
    QCOMPARE(be32(56), 1);              // UTF-8
    QCOMPARE(be32(60), 0);              // user version
}

void tst_Resources::templateDatabaseSchema()
{
    QTemporaryDir tmp;
    const QString copy = tmp.filePath(QStringLiteral("copy.sqlitedb"));
    QVERIFY(QFile::copy(QStringLiteral(":/db/dbtemplate.sqlitedb"), copy));
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                                    QStringLiteral("schema"));
        db.setDatabaseName(copy);
        QVERIFY(db.open());
        QSqlQuery q(db);
        QVERIFY(q.exec(QStringLiteral("select type, name, sql from sqlite_master order by type desc")));
        QStringList rows;
        while (q.next())
            rows << q.value(0).toString() + QLatin1Char('|') + q.value(1).toString()
                    + QLatin1Char('|') + q.value(2).toString();
        QCOMPARE(rows,
                 (QStringList{"table|tiles|CREATE TABLE tiles ( x INTEGER , y INTEGER , z INTEGER "
                              ", image BYTE , PRIMARY KEY ( x , y , z ) )",
                              "index|sqlite_autoindex_tiles_1|"}));
        QVERIFY(q.exec(QStringLiteral("select count(*) from tiles")));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toInt(), 0);
        QVERIFY(q.exec(QStringLiteral("pragma journal_mode")));
        QVERIFY(q.next());
        QCOMPARE(q.value(0).toString(), QStringLiteral("delete"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("schema"));
}

void tst_Resources::arrowIcons()
{
    // Two green 16 x 16 icons on a transparent ground, mirror images of each other.
    const QImage left = QImage(QStringLiteral(":/images/left-16.png")).convertToFormat(QImage::Format_ARGB32);
    const QImage right = QImage(QStringLiteral(":/images/right-16.png")).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(left.size(), QSize(16, 16));
    QCOMPARE(left.pixelColor(0, 0).alpha(), 0);
    QCOMPARE(left.mirrored(true, false), right);
    QVERIFY(left != right);
    const QColor ink = left.pixelColor(8, 3);
    QVERIFY(ink.alpha() > 128 && ink.green() > ink.red() && ink.green() > ink.blue());
}

QTEST_APPLESS_MAIN(tst_Resources)
#include "tst_resources.moc"

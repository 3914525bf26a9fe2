// The compiled-in resources, registered by the library's own start-up: nothing of the
// library is called here.
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtGui/QImage>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtTest/QtTest>

class tst_Resources : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void templateDatabase();
    void arrowIcons();
};

void tst_Resources::templateDatabase()
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
        QVERIFY(
            q.exec(QStringLiteral("select type, name, sql from sqlite_master order by type desc")));
        QStringList rows;
        while (q.next())
            rows << q.value(0).toString() + QLatin1Char('|') + q.value(1).toString()
                    + QLatin1Char('|') + q.value(2).toString();
        QCOMPARE(rows,
                 (QStringList{"table|tiles|CREATE TABLE tiles ( x INTEGER , y INTEGER , z INTEGER "
                              ", image BYTE , PRIMARY KEY ( x , y , z ) )",
                              "index|sqlite_autoindex_tiles_1|"}));
        QVERIFY(q.exec(QStringLiteral("select count(*) from tiles")) && q.next());
        QCOMPARE(q.value(0).toInt(), 0);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("schema"));
}

void tst_Resources::arrowIcons()
{
    // Two green 16 x 16 icons on a transparent ground, mirror images of each other.
    const QImage left = QImage(QStringLiteral(":/images/left-16.png"))
                            .convertToFormat(QImage::Format_ARGB32);
    const QImage right = QImage(QStringLiteral(":/images/right-16.png"))
                             .convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(left.size(), QSize(16, 16));
    QCOMPARE(left.pixelColor(0, 0).alpha(), 0);
    QCOMPARE(left.mirrored(true, false), right);
    QVERIFY(left != right);
    const QColor ink = left.pixelColor(8, 3);
    QVERIFY(ink.alpha() > 128 && ink.green() > ink.red() && ink.green() > ink.blue());
}

QTEST_APPLESS_MAIN(tst_Resources)
#include "tst_resources.moc"

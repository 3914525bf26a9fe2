#include "MapFixture.h"
#include "OsmView.h"
#include "TestTiles.h"
#include "ViewProbe.h"

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtSql/QSqlDatabase>
#include <QtTest/QtTest>

class tst_TileSource : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void databaseTilesDrawn();
    void directoryTilesDrawn();
    void relativeDirectoryIsMadeAbsolute();
    void classification_data();
    void classification();
    void missingDatabaseGetsTemplate();
    void missingDirectoryGetsNoStore();
    void emptyPathDropsStore();
    void reopeningRepaintsAndNudgesZoom();
    void switchingToDirectoryKeepsConnection();
};

void tst_TileSource::databaseTilesDrawn()
{
    QTemporaryDir tmp;
    MapFixture map;
    const QString db = writeDatabase(tmp.filePath(QStringLiteral("city.sqlitedb")), 12,
                                     map.visibleTiles());
    QVERIFY(map.blankSamples() > 0);
    map.view->setImagePath(db);
    QCOMPARE(map.view->imagePath(), db);
    QString why;
    QVERIFY2(map.showsOwnTiles(&why), qPrintable(why));
    QCOMPARE(map.blankSamples(), 0);
}

void tst_TileSource::directoryTilesDrawn()
{
    QTemporaryDir tmp;
    MapFixture map(13);
    const QRect r = map.visibleTiles();
    TestTiles::writeTree(tmp.filePath(QStringLiteral("tree")), 13, r.left(), r.right(), r.top(),
                         r.bottom(), "JPEG", "jpg");
    map.view->setImagePath(tmp.filePath(QStringLiteral("tree")));
    QString why;
    QVERIFY2(map.showsOwnTiles(&why), qPrintable(why));
}

void tst_TileSource::relativeDirectoryIsMadeAbsolute()
{
    QTemporaryDir tmp;
    MapFixture map;
    const QRect r = map.visibleTiles();
    TestTiles::writeTree(tmp.filePath(QStringLiteral("rel")), 12, r.left(), r.right(), r.top(),
                         r.bottom());
    const QString previous = QDir::currentPath();
    QDir::setCurrent(tmp.path());
    map.view->setImagePath(QStringLiteral("rel"));
    QDir::setCurrent(previous);
    // The store keeps the absolute path it was opened on.
    QCOMPARE(map.view->imagePath(), QStringLiteral("rel"));
    QVERIFY(map.showsOwnTiles());
}

void tst_TileSource::classification_data()
{
    QTest::addColumn<QString>("relative");
    QTest::addColumn<bool>("drawn");
    QTest::newRow("directory named with a dot is taken for a database") << "maps.d" << false;
    QTest::newRow("the same with a trailing separator is a directory") << "maps.d/" << true;
    QTest::newRow("plain directory") << "maps" << true;
}

void tst_TileSource::classification()
{
    QFETCH(QString, relative);
    QFETCH(bool, drawn);
    QTemporaryDir tmp;
    MapFixture map;
    const QRect r = map.visibleTiles();
    const QString dirName = relative.endsWith(QLatin1Char('/')) ? relative.chopped(1) : relative;
    TestTiles::writeTree(tmp.filePath(dirName), 12, r.left(), r.right(), r.top(), r.bottom());
    if (!drawn)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("it is a directory")));
    map.view->setImagePath(tmp.filePath(relative));
    QCOMPARE(map.blankSamples() == 0, drawn);
    // A path taken for a database never gets a template copied over an existing entry.
    QVERIFY(QFileInfo(tmp.filePath(dirName)).isDir());
}

void tst_TileSource::missingDatabaseGetsTemplate()
{
    QTemporaryDir tmp;
    MapFixture map;
    const QString path = tmp.filePath(QStringLiteral("new.sqlitedb"));
    map.view->setImagePath(path);
    QFileInfo info(path);
    QVERIFY(info.exists());
    QCOMPARE(info.size(), qint64(3072));
    QCOMPARE(info.permissions() & (QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser
                                   | QFileDevice::ReadGroup | QFileDevice::WriteGroup
                                   | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                   | QFileDevice::WriteOther | QFileDevice::ExeOther),
             QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ReadGroup
                 | QFileDevice::ReadOther);
    const QSqlDatabase db = QSqlDatabase::database(QStringLiteral("OsmView"), false);
    QVERIFY(db.isOpen());
    QCOMPARE(db.connectOptions(), QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=40"));
    QVERIFY(map.blankSamples() > 0);
}

void tst_TileSource::missingDirectoryGetsNoStore()
{
    QTemporaryDir tmp;
    MapFixture map;
    const QString path = tmp.filePath(QStringLiteral("nowhere/new.sqlitedb"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("directory does not exist")));
    map.view->setImagePath(path);
    QVERIFY(!QFileInfo::exists(path));
    QVERIFY(!QFileInfo::exists(tmp.filePath(QStringLiteral("nowhere"))));
    QCOMPARE(map.view->imagePath(), path);
    QVERIFY(map.blankSamples() > 0);
}

void tst_TileSource::emptyPathDropsStore()
{
    QTemporaryDir tmp;
    MapFixture map;
    const QString db = writeDatabase(tmp.filePath(QStringLiteral("e.sqlitedb")), 12,
                                     map.visibleTiles());
    map.view->setImagePath(db);
    QCOMPARE(map.blankSamples(), 0);
    map.view->setImagePath(QString());
    QVERIFY(map.view->imagePath().isEmpty());
    // Nothing of the old source is drawn any more: the cache went with it.
    const int samples = map.blankSamples();
    QVERIFY(samples > 100);
}

void tst_TileSource::reopeningRepaintsAndNudgesZoom()
{
    QTemporaryDir tmp;
    MapFixture map;
    const double before = map.view->zoomF();
    QSignalSpy zooms(map.view.get(), QOverload<double>::of(&OsmView::zoomChanged));
    const QString db = writeDatabase(tmp.filePath(QStringLiteral("r.sqlitedb")), 12,
                                     map.visibleTiles());
    map.view->setImagePath(db);
    map.view->setImagePath(db);
    QCOMPARE(zooms.count(), 2);
    QVERIFY(qAbs(map.view->zoomF() - (before + 0.0002)) < 1e-9);
    QCOMPARE(zooms.last().at(0).toDouble(), map.view->zoomF());
    QVERIFY(map.showsOwnTiles());
}

void tst_TileSource::switchingToDirectoryKeepsConnection()
{
    QTemporaryDir tmp;
    MapFixture map;
    const QString db = writeDatabase(tmp.filePath(QStringLiteral("s.sqlitedb")), 12,
                                     map.visibleTiles());
    map.view->setImagePath(db);
    map.view->setImagePath(tmp.filePath(QStringLiteral("plain")));
    QVERIFY(!QSqlDatabase::contains(QStringLiteral("OsmView")));
    QVERIFY(map.blankSamples() > 0);
}

QTEST_MAIN(tst_TileSource)
#include "tst_tilesource.moc"

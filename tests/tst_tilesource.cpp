#include "MapFixture.h"
#include "OsmView.h"
#include "TestTiles.h"
#include "TileDatabase.h"
#include "Tiles.h"

#include <QtSql/QSqlDatabase>
#include <QtTest/QtTest>

#include "QuickTry.h"

namespace {

enum Content { Nothing, TileRows, JpgTree, Package, Text, Truncated, OtherSchema };

// Puts what a row names at path, holding the given tiles of level 12 where it holds any.
void make(Content content, const QString &path, const QRect &r)
{
    if (content == TileRows || content == Truncated)
        writeDatabase(path, 12, r);
    if (content == Truncated)
        QFile::resize(path, 2048);
    if (content == JpgTree)
        TestTiles::writeTree(path, 12, r.left(), r.right(), r.top(), r.bottom(), "JPEG", "jpg");
    if (content == Package) {
        std::unique_ptr<Tiles> store = Tiles::open(path, {}, nullptr);
        for (int x = r.left(); x <= r.right(); ++x)
            for (int y = r.top(); y <= r.bottom(); ++y)
                store->setData(x, y, 12, TestTiles::encoded(x, y, 12));
    }
    QFile file(path);
    if (content == Text && file.open(QIODevice::WriteOnly))
        file.write("x,y,z,image\n");
    if (content == OtherSchema)
        runSql(path, {"create table tiles (x, y, z, data)"});
}

} // namespace

class tst_TileSource : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void opensByPath_data();
    void opensByPath();
};

void tst_TileSource::opensByPath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("content");
    QTest::addColumn<QString>("warning");
    QTest::newRow("tile database") << "city.sqlitedb" << int(TileRows) << "";
    QTest::newRow("tree of jpg files") << "tree" << int(JpgTree) << "";
    QTest::newRow("mbtiles package") << "city.mbtiles" << int(Package) << "";
    QTest::newRow("dotted directory with a separator") << "maps.d/" << int(JpgTree) << "";
    QTest::newRow("missing tile database") << "new.sqlitedb" << int(Nothing) << "";
    QTest::newRow("missing package") << "new.mbtiles" << int(Nothing) << "";
    QTest::newRow("dotted directory") << "maps.d" << int(JpgTree) << "maps.d\": it is a directory";
    QTest::newRow("not sqlite") << "notes.sqlitedb" << int(Text) << "notes.sqlitedb\": file is not a database";
    QTest::newRow("truncated") << "cut.sqlitedb" << int(Truncated) << "cut.sqlitedb\": database disk image is malformed";
    QTest::newRow("wrong schema") << "other.sqlitedb" << int(OtherSchema) << "no column \"image\"";
    QTest::newRow("uncreatable") << "nowhere/new.mbtiles" << int(Nothing) << "directory does not exist";
}

void tst_TileSource::opensByPath()
{
    QFETCH(QString, path);
    QFETCH(int, content);
    QFETCH(QString, warning);
    QTemporaryDir tmp, elsewhere;
    MapFixture map, other; // the other view shows a database of its own, empty
    other.view->setImagePath(elsewhere.filePath(QStringLiteral("empty.sqlitedb")));
    make(Content(content), tmp.filePath(path), map.visibleTiles());
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
    const double zoom = map.view->zoomF();
    // Relative paths are taken from where the view was when it opened them.
    const QString previous = QDir::currentPath();
    QDir::setCurrent(tmp.path());
    map.view->setImagePath(path);
    QDir::setCurrent(previous);
    QCOMPARE(map.view->imagePath(), path);
    const bool shows = warning.isEmpty() && content != Nothing;
    QCOMPARE(map.wrongSamples(map.grab(), 1, shows ? map.visibleTiles() : QRect()), 0);
    QCOMPARE(other.wrongSamples(other.grab(), 1, QRect()), 0);
    if (content == Nothing && warning.isEmpty()) { // made whole, and readable by all
        QCOMPARE(int(QFileInfo(tmp.filePath(path)).permissions() & 0x0fff), 0x0644);
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Files), QStringList{path});
    }
    map.view->setImagePath(QString());
    other.view->setImagePath(QString());
    QVERIFY(QSqlDatabase::connectionNames().isEmpty());
    // Each change of source repaints through a nudge of the zoom.
    QVERIFY(qAbs(map.view->zoomF() - (zoom + 0.0002)) < 1e-9);
}

QTEST_MAIN(tst_TileSource)
#include "tst_tilesource.moc"

#include "MapFixture.h"
#include "OsmView.h"
#include "RowTable.h"
#include "TestTiles.h"
#include "TileDatabase.h"
#include "Tiles.h"

#include <QtSql/QSqlDatabase>
#include <QtTest/QtTest>

namespace {

enum Content {
    Nothing,
    TileRows,
    JpgTree,
    Package,
    Text,
    Truncated,
    OtherSchema,
    GifBmpRows,
    GifBmpTree
};

// GIF and BMP tiles in turn, as databases and trees written by older tools hold them.
const char *olderFormat(int x, int y)
{
    return (x + y) % 2 ? "GIF" : "BMP";
}

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
    if (content == GifBmpRows)
        writeTileDatabase(path, 12, r, [](int x, int y, int z) {
            return TestTiles::encoded(x, y, z, olderFormat(x, y));
        });
    for (int x = r.left(); content == GifBmpTree && x <= r.right(); ++x)
        for (int y = r.top(); y <= r.bottom(); ++y)
            TestTiles::writeTree(path, 12, x, x, y, y, olderFormat(x, y),
                                 QByteArray(olderFormat(x, y)).toLower().constData());
    QFile file(path);
    if (content == Text && file.open(QIODevice::WriteOnly))
        file.write("x,y,z,image\n");
    if (content == OtherSchema)
        runSql(path, {"create table tiles (x, y, z, data)"});
}

// Opened by a relative path; a warning, if any, is expected and nothing is shown then.
// clang-format off
const struct { const char *name, *path; Content content; const char *warning; } openRows[] = {
    {"tile database", "city.sqlitedb", TileRows, ""},
    {"tree of jpg files", "tree", JpgTree, ""},
    {"mbtiles package", "city.mbtiles", Package, ""},
    {"tile database of gif and bmp tiles", "old.sqlitedb", GifBmpRows, ""},
    {"tree of gif and bmp files", "oldtree", GifBmpTree, ""},
    {"dotted directory with a separator", "maps.d/", JpgTree, ""},
    {"missing tile database", "new.sqlitedb", Nothing, ""},
    {"missing package", "new.mbtiles", Nothing, ""},
    {"dotted directory", "maps.d", JpgTree, "maps.d\": it is a directory"},
    {"not sqlite", "notes.sqlitedb", Text, "notes.sqlitedb\": file is not a database"},
    {"truncated", "cut.sqlitedb", Truncated, "cut.sqlitedb\": database disk image is malformed"},
    {"wrong schema", "other.sqlitedb", OtherSchema, "no column \"image\""},
    {"uncreatable", "nowhere/new.mbtiles", Nothing, "directory does not exist"},
};
// clang-format on

} // namespace

class tst_TileSource : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void opensByPath_data() { addRows(openRows); }
    void opensByPath();
};

void tst_TileSource::opensByPath()
{
    QFETCH(int, row);
    const auto &r = openRows[row];
    const QString path = QLatin1String(r.path), warning = QLatin1String(r.warning);
    QTemporaryDir tmp, elsewhere;
    MapFixture map, other; // the other view shows a database of its own, empty
    other.view->setImagePath(elsewhere.filePath(QStringLiteral("empty.sqlitedb")));
    make(r.content, tmp.filePath(path), map.visibleTiles());
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QRegularExpression::escape(warning)));
    const double zoom = map.view->zoomF();
    // Relative paths are taken from where the view was when it opened them.
    const QString previous = QDir::currentPath();
    QDir::setCurrent(tmp.path());
    map.view->setImagePath(path);
    QDir::setCurrent(previous);
    QCOMPARE(map.view->imagePath(), path);
    const bool shows = warning.isEmpty() && r.content != Nothing;
    QCOMPARE(map.wrongSamples(map.grab(), 1, shows ? map.visibleTiles() : QRect()), 0);
    QCOMPARE(other.wrongSamples(other.grab(), 1, QRect()), 0);
    if (r.content == Nothing && warning.isEmpty()) { // made whole, and readable by all
        QCOMPARE(int(QFileInfo(tmp.filePath(path)).permissions() & 0x0fff), 0x0644);
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Files), QStringList{path});
    }
    map.view->setImagePath(elsewhere.filePath(QStringLiteral("another.sqlitedb")));
    QCOMPARE(map.wrongSamples(map.grab(), 1, QRect()), 0); // nothing kept from the source before
    map.view->setImagePath(QString());
    other.view->setImagePath(QString());
    QVERIFY(QSqlDatabase::connectionNames().isEmpty());
    // Each of the three changes of source repaints through a nudge of the zoom.
    QVERIFY(qAbs(map.view->zoomF() - (zoom + 0.0003)) < 1e-9);
}

QTEST_MAIN(tst_TileSource)
#include "tst_tilesource.moc"

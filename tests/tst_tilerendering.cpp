#include "MapFixture.h"
#include "OsmView.h"
#include "TestTiles.h"
#include "TileAddressing.h"
#include "ViewProbe.h"

#include <QtCore/QTemporaryDir>
#include <QtGui/QPainter>
#include <QtSql/QSqlDatabase>
#include <QtTest/QtTest>

namespace {

class ExposedView : public OsmView
{
public:
    using OsmView::drawBackground;
};

QSqlDatabase tileConnection()
{
    return QSqlDatabase::database(QStringLiteral("OsmView"), false);
}

} // namespace

class tst_TileRendering : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tilesWhereTheyBelong_data();
    void tilesWhereTheyBelong();
    void opacityBlendsWithViewport();
    void opacityZeroDrawsAndReadsNothing();
    void twoTileWidthsDrawThreeColumns();
    void missesCachedAndTrimmedToWindow();
    void storeTilesRememberedAcrossTrimming();
    void noTileOfTheFormerLevel();
    void sceneBeyondThePolesPaintsBounded_data();
    void sceneBeyondThePolesPaintsBounded();
};

void tst_TileRendering::tilesWhereTheyBelong_data()
{
    QTest::addColumn<double>("zoom");
    QTest::newRow("native 256 px") << 12 + 1.0 / 6;
    QTest::newRow("320 px") << 12.5;
    QTest::newRow("384 px") << 12 + 5.0 / 6;
    QTest::newRow("224 px of the next level") << 13.0;
    QTest::newRow("209 px") << 12.917;
}

void tst_TileRendering::tilesWhereTheyBelong()
{
    QFETCH(double, zoom);
    QTemporaryDir tmp;
    MapFixture map;
    map.view->setZoom(zoom);
    map.view->centerOn(30.3, 59.94);
    const int z = ViewProbe::level(*map.view);
    map.view->setImagePath(
        writeDatabase(tmp.filePath(QStringLiteral("t.sqlitedb")), z, map.visibleTiles()));
    QString why;
    QVERIFY2(map.showsOwnTiles(&why), qPrintable(why));
    QCOMPARE(map.blankSamples(), 0);
}

void tst_TileRendering::opacityBlendsWithViewport()
{
    QTemporaryDir tmp;
    MapFixture map;
    map.view->setImagePath(
        writeDatabase(tmp.filePath(QStringLiteral("o.sqlitedb")), 12, map.visibleTiles()));
    map.view->setOpacity(0.5);
    const QImage shown = ViewProbe::grab(*map.view);
    const QPoint p(200, 150);
    const QPoint tile = ViewProbe::tileAt(*map.view, p);
    const QColor c = TestTiles::colourOf(tile.x(), tile.y(), 12);
    const QColor expected((c.red() + 255) / 2, (c.green() + 255) / 2, (c.blue() + 255) / 2);
    QVERIFY2(TestTiles::sameColour(shown.pixelColor(p), expected, 3),
             qPrintable(shown.pixelColor(p).name() + QLatin1Char(' ') + expected.name()));
}

void tst_TileRendering::opacityZeroDrawsAndReadsNothing()
{
    QTemporaryDir tmp;
    MapFixture map;
    map.view->setImagePath(
        writeDatabase(tmp.filePath(QStringLiteral("z.sqlitedb")), 12, map.visibleTiles()));
    map.view->setOpacity(0.0);
    ViewProbe::StatementCounter counter(tileConnection());
    QVERIFY(map.blankSamples() > 100);
    QCOMPARE(counter.selects(), 0);
}

void tst_TileRendering::twoTileWidthsDrawThreeColumns()
{
    QTemporaryDir tmp;
    QGraphicsScene scene(-180, -85, 360, 170);
    ExposedView view;
    view.setScene(&scene);
    view.resize(800, 600);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.centerOn(30.3, 59.94);
    view.setImagePath(tmp.filePath(QStringLiteral("empty.sqlitedb")));
    ViewProbe::grab(view); // fill the cache for the whole viewport first
    view.setImagePath(tmp.filePath(QStringLiteral("empty.sqlitedb")));
    const int z = ViewProbe::level(view);

    const QPoint tile = ViewProbe::tileAt(view, QPoint(300, 300));
    const double west = tileXToLon(tile.x(), z);
    const double width = 360.0 / (1 << z);
    const double rowHeight = 256.0 / view.transform().m22();
    const double north = view.mapToScene(QPoint(300, 300)).y();
    // Two tile widths from a column boundary, inside one row.
    const QRectF exposed(west, north + rowHeight / 4, 2 * width, -rowHeight / 8);

    ViewProbe::StatementCounter counter(tileConnection());
    QImage canvas(view.viewport()->size(), QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&canvas);
    painter.setWorldTransform(view.viewportTransform());
    view.drawBackground(&painter, exposed.normalized());
    painter.end();
    QCOMPARE(counter.selects(), 3);
}

void tst_TileRendering::missesCachedAndTrimmedToWindow()
{
    QTemporaryDir tmp;
    MapFixture map(12, QSize(512, 900));
    map.view->setImagePath(tmp.filePath(QStringLiteral("empty.sqlitedb")));
    ViewProbe::StatementCounter counter(tileConnection());

    ViewProbe::grab(*map.view);
    const int cells = counter.selects();
    const QRect visible = map.visibleTiles();
    QVERIFY(cells >= (visible.width() - 2) * (visible.height() - 2));
    QVERIFY(cells <= visible.width() * visible.height());

    counter.reset();
    map.view->viewport()->repaint();
    QCOMPARE(counter.selects(), 0); // misses are cached too

    // A strip along the top keeps only its own window (plus one) in the cache...
    map.view->viewport()->repaint(QRect(0, 0, map.view->viewport()->width(), 10));
    QCOMPARE(counter.selects(), 0);
    // ...so the next full paint looks up again the misses that left it.
    map.view->viewport()->repaint();
    QVERIFY(counter.selects() > 0);
    QVERIFY(counter.selects() < cells);
}

void tst_TileRendering::storeTilesRememberedAcrossTrimming()
{
    QTemporaryDir tmp;
    MapFixture map(12, QSize(512, 900));
    map.view->setImagePath(
        writeDatabase(tmp.filePath(QStringLiteral("full.sqlitedb")), 12, map.visibleTiles()));
    ViewProbe::StatementCounter counter(tileConnection());
    ViewProbe::grab(*map.view);
    QVERIFY(counter.selects() > 0);
    counter.reset();
    map.view->viewport()->repaint(QRect(0, 0, map.view->viewport()->width(), 10));
    QVERIFY(map.showsOwnTiles());
    QCOMPARE(counter.selects(), 0);

    // Opening a source forgets what was remembered.
    map.view->setImagePath(map.view->imagePath());
    ViewProbe::StatementCounter reopened(tileConnection());
    ViewProbe::grab(*map.view);
    QVERIFY(reopened.selects() > 0);
}

void tst_TileRendering::noTileOfTheFormerLevel()
{
    // Near the grid's corner two levels share columns and rows; only the level that
    // has tiles in the store may ever be seen.
    QTemporaryDir tmp;
    MapFixture map(12, QSize(512, 512));
    map.scene.setSceneRect(-180, -85.06, 360, 170.12);
    map.view->centerOn(-180, 85.06);
    TestTiles::writeTree(tmp.filePath(QStringLiteral("tree")), 12, 0, 3, 0, 3);
    map.view->setImagePath(tmp.filePath(QStringLiteral("tree")));
    const QImage before = ViewProbe::grab(*map.view);
    int ownColour = 0;
    for (int y = 0; y < before.height(); y += 16)
        for (int x = 0; x < before.width(); x += 16) {
            const QPoint tile = ViewProbe::tileAt(*map.view, QPoint(x, y));
            ownColour += TestTiles::sameColour(before.pixelColor(x, y),
                                               TestTiles::colourOf(tile.x(), tile.y(), 12));
        }
    QVERIFY(ownColour > 100);
    map.view->setZoom(13.1667);
    map.view->centerOn(-180, 85.06);
    const QImage shown = ViewProbe::grab(*map.view);
    for (int y = 0; y < shown.height(); y += 16)
        for (int x = 0; x < shown.width(); x += 16)
            QCOMPARE(shown.pixelColor(x, y), QColor(Qt::white));
}

void tst_TileRendering::sceneBeyondThePolesPaintsBounded_data()
{
    QTest::addColumn<QPointF>("centre");
    QTest::newRow("north of the pole") << QPointF(0, 300);
    QTest::newRow("south of the pole") << QPointF(0, -700);
    QTest::newRow("east of the date line") << QPointF(900, 10);
}

void tst_TileRendering::sceneBeyondThePolesPaintsBounded()
{
    QFETCH(QPointF, centre);
    QTemporaryDir tmp;
    MapFixture map(17);
    map.scene.setSceneRect(-1000, -1000, 2000, 2000);
    map.view->centerOn(centre);
    map.view->setZoom(17.1667);
    map.view->centerOn(centre);
    map.view->setImagePath(tmp.filePath(QStringLiteral("empty.sqlitedb")));
    ViewProbe::StatementCounter counter(tileConnection());
    ViewProbe::grab(*map.view);
    const QSize size = map.view->viewport()->size();
    QVERIFY(counter.selects() <= (size.width() / 256 + 4) * (size.height() / 256 + 4));
}

QTEST_MAIN(tst_TileRendering)
#include "tst_tilerendering.moc"

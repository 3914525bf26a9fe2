#include "MapFixture.h"
#include "OsmView.h"
#include "RowTable.h"
#include "TestTiles.h"
#include "TileAddressing.h"
#include "TileDatabase.h"

#include <QtCore/QTemporaryDir>
#include <QtGui/QPainter>
#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtTest/QtTest>
#include <QtWidgets/QScrollBar>

namespace {

// Tiles of level 12 around the fixture's city, rows far enough north and south for a
// pan of fifty viewports.
QTemporaryDir tmp;
const QRect Band(QPoint(2388, 1132), QPoint(2397, 1302));

QString database()
{
    static const QString path = writeDatabase(tmp.filePath(QStringLiteral("band.sqlitedb")), 12,
                                              Band);
    return path;
}

// `smooth`: the host draws smoothly and antialiased, which shows any seam between cells
// that do not lie on whole device pixels.
// clang-format off
const struct { const char *name; double zoom; bool smooth; } placeRows[] = {
    {"native 256 px", 12 + 1.0 / 6, false},
    {"native after source nudges", 12 + 1.0 / 6 + 0.0002, false},
    {"native, smooth", 12 + 1.0 / 6, true},
    {"scaled 320 px", 12.5, false},
    {"scaled 384 px", 12 + 5.0 / 6, false},
    {"scaled 209 px", 12.917, false},
    {"scaled 209 px, smooth", 12.917, true},
    {"next level at 224 px, smooth", 13.0, true},
};
// clang-format on

// Pixels of an image that show no stored tile's own colour: a gap, or a seam where a
// cell's edge was blended.
int pixelsOfNoTile(const QImage &image, int z, const QRect &stored)
{
    QSet<QRgb> colours;
    for (int x = stored.left(); x <= stored.right(); ++x) {
        for (int y = stored.top(); y <= stored.bottom(); ++y)
            colours.insert(TestTiles::colourOf(x, y, z).rgb());
    }
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    int wrong = 0;
    for (int y = 0; y < rgb.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(rgb.constScanLine(y));
        for (int x = 0; x < rgb.width(); ++x)
            wrong += colours.contains(line[x]) ? 0 : 1;
    }
    return wrong;
}

// Tiles of `side` pixels, a checkerboard of single pixels, drawn smoothly or not on the
// screen of the run (QT_SCALE_FACTOR): a cell of 256 units is 256 times the pixel ratio
// device pixels, and a tile of that many pixels is drawn pixel for pixel.
// clang-format off
const struct { const char *name; int side; bool smooth; } densityRows[] = {
    {"512 px tiles", 512, false},
    {"512 px tiles, smooth", 512, true},
    {"256 px tiles", 256, false},
    {"256 px tiles, smooth", 256, true},
};
// clang-format on

// A host's foreground in scene coordinates, drawn after the background on a painter
// the view was told not to save (QGraphicsView::DontSavePainterState); `empty`: no tile
// shows, and the viewport's own background fills it. West and south of the scene's
// origin, a fill in scene coordinates would miss the view. `clear`: a source of tiles
// without an opaque pixel replaces the first.
// clang-format off
const struct { const char *name; double opacity, turn, hostScale; QPointF centre; bool empty, clear; } foregroundRows[] = {
    {"after tiles", 1.0, 0, 1, {30.3, 59.94}, false, false},
    {"after a background left empty", 0.0, 0, 1, {-70, -30}, true, false},
    {"after tiles drawn through a quarter turn", 1.0, 90, 1, {30.3, 59.94}, false, false},
    {"after a quarter-turned background west and south of the origin", 1.0, 90, 1, {-70, -30}, true, false},
    {"after tiles shrunk by the host to too many to draw", 1.0, 0, 1 / 512.0, {30.3, 59.94}, true, false},
    {"after the south edge of the grid", 1.0, 0, 1, {30.3, -85.06}, true, false},
    {"after tiles with no opaque pixel", 1.0, 0, 1, {30.3, 59.94}, true, true},
};
// clang-format on

class ForegroundScene : public QGraphicsScene
{
public:
    using QGraphicsScene::QGraphicsScene;
    QRectF box;
    void drawForeground(QPainter *painter, const QRectF &) override
    {
        painter->fillRect(box, Qt::red);
    }
};

// A view turned by its host, at a level, `side` pixels square.
// clang-format off
const struct { const char *name; double turn; int level, side; } turnRows[] = {
    {"30 degrees", 30.0, 12, 512},
    {"90 degrees at level 16, thousands of columns east", 90.0, 16, 512},
    {"180 degrees", 180.0, 12, 512},
    {"90 degrees, a small view within one tile", 90.0, 12, 96},
};
// clang-format on

// The view's viewport, `sourceScale` times its size, rendered at `scale` into an image;
// the view as given, or resized and never shown.
// clang-format off
const struct { const char *name; double scale, sourceScale; bool shown; } targetRows[] = {
    {"image 1x", 1.0, 1.0, true},
    {"image 4x", 4.0, 1.0, true},
    {"source twice the viewport", 1.0, 2.0, true},
    {"view resized, never shown", 1.0, 1.0, false},
};
// clang-format on

// A pan by the scroll bar, or by the host's centerOn, of whole viewports south (> 0).
// clang-format off
const struct { const char *name; bool centerOn; double viewports; } panRows[] = {
    {"scroll bar 1 viewports south", false, 1},
    {"scroll bar 1 viewports north", false, -1},
    {"scroll bar 50 viewports south", false, 50},
    {"host centerOn 50 viewports south", true, 50},
    {"scroll bar 50 viewports north", false, -50},
    {"host centerOn 50 viewports north", true, -50},
};
// clang-format on

} // namespace

class tst_TileRendering : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tilesWhereTheyBelong_data() { addRows(placeRows); }
    void tilesWhereTheyBelong();
    void tilesAtThePixelRatio_data() { addRows(densityRows); }
    void tilesAtThePixelRatio();
    void turnedViewShowsTheSameMap_data() { addRows(turnRows); }
    void turnedViewShowsTheSameMap();
    void hostForegroundOnTop_data() { addRows(foregroundRows); }
    void hostForegroundOnTop();
    void halfOpacityBlendsWithTheViewport();
    void withoutSceneShowsTheViewportBackground();
    void lockedStoreShowsWhatWasRead();
    void everyPaintTarget_data() { addRows(targetRows); }
    void everyPaintTarget();
    void screenAfterPans_data() { addRows(panRows); }
    void screenAfterPans();
    void wholeWorldAtLowLevels_data();
    void wholeWorldAtLowLevels();
};

void tst_TileRendering::tilesWhereTheyBelong()
{
    QFETCH(int, row);
    MapFixture map;
    map.view->setRenderHint(QPainter::Antialiasing, placeRows[row].smooth);
    map.view->setRenderHint(QPainter::SmoothPixmapTransform, placeRows[row].smooth);
    map.view->setZoom(placeRows[row].zoom);
    map.view->centerOn(30.3, 59.94);
    map.view->setImagePath(writeDatabase(tmp.filePath(QStringLiteral("placed.sqlitedb")),
                                         map.level(), map.visibleTiles()));
    const QImage shown = map.grab();
    QString why;
    QVERIFY2(!map.wrongSamples(shown, 1, map.visibleTiles(), &why), qPrintable(why));
    QCOMPARE(pixelsOfNoTile(shown, map.level(), map.visibleTiles()), 0);
}

void tst_TileRendering::tilesAtThePixelRatio()
{
    QFETCH(int, row);
    const auto &t = densityRows[row];
    const QColor a(0x20, 0x40, 0x60), b(0xe0, 0xc0, 0xa0);
    QImage checkerboard(t.side, t.side, QImage::Format_RGB32);
    for (int y = 0; y < t.side; ++y) {
        for (int x = 0; x < t.side; ++x)
            checkerboard.setPixelColor(x, y, (x + y) % 2 ? b : a);
    }
    QBuffer png;
    QVERIFY(png.open(QIODevice::WriteOnly) && checkerboard.save(&png, "PNG"));
    MapFixture map;
    map.view->setRenderHint(QPainter::SmoothPixmapTransform, t.smooth);
    const QString path = tmp.filePath(QStringLiteral("checkerboard%1.sqlitedb").arg(t.side));
    writeTileDatabase(path, 12, map.visibleTiles(), [&](int, int, int) { return png.data(); });
    map.view->setImagePath(path);
    const QImage shown = map.grab().convertToFormat(QImage::Format_RGB32);
    const qreal ratio = shown.devicePixelRatio();
    const QByteArray expected = qgetenv("VELTRA_EXPECT_RATIO");
    QCOMPARE(ratio, expected.isEmpty() ? 1.0 : expected.toDouble());
    QCOMPARE(shown.size(), (QSizeF(map.view->viewport()->size()) * ratio).toSize());

    // Every pixel either of the tile's two colours, and unlike its neighbour to the right
    // and below: the tile's own pixels, neither resampled nor shifted by part of a pixel.
    int pure = 0, alternating = 0, pixels = 0;
    for (int y = 0; y + 1 < shown.height(); ++y) {
        for (int x = 0; x + 1 < shown.width(); ++x, ++pixels) {
            const QRgb c = shown.pixel(x, y);
            pure += c == a.rgb() || c == b.rgb();
            alternating += c != shown.pixel(x + 1, y) && c != shown.pixel(x, y + 1);
        }
    }
    const double scale = 256 * ratio / t.side;
    if (scale == 1.0) {
        QCOMPARE(alternating, pixels);
        QCOMPARE(pure, pixels);
    } else if (t.smooth) {
        // Scaled once, smoothly: the two colours mixed nearly everywhere.
        QVERIFY2(pure < pixels / 10, qPrintable(QString::number(pure)));
    } else {
        // The nearest pixels: the two colours, in runs wider than one pixel.
        QVERIFY2(alternating < pixels / 2, qPrintable(QString::number(alternating)));
        QCOMPARE(pure, pixels);
    }
}

// Each sampled pixel of a view turned by its host shows what the unturned view shows at
// the same scene point, away from the tiles' edges.
void tst_TileRendering::turnedViewShowsTheSameMap()
{
    QFETCH(int, row);
    const int level = turnRows[row].level, side = turnRows[row].side;
    MapFixture plain(level, QSize(side, side)), turned(level, QSize(side, side));
    const QString path = writeDatabase(tmp.filePath(QStringLiteral("turned.sqlitedb")), level,
                                       plain.visibleTiles());
    plain.view->setImagePath(path);
    turned.view->setImagePath(path);
    turned.view->rotate(turnRows[row].turn);
    const int tx = lonToTileX(30.3, level), ty = latToTileY(59.94, level);
    const QPointF middle((tileXToLon(tx, level) + tileXToLon(tx + 1, level)) / 2,
                         (tileYToLat(ty, level) + tileYToLat(ty + 1, level)) / 2);
    plain.view->centerOn(middle);
    turned.view->centerOn(middle);
    const QImage unturned = plain.grab(), shown = turned.grab();
    // Viewport pixel p of an image, whatever the screen's pixel ratio.
    const auto at = [](const QImage &image, QPoint p) {
        return image.pixel((QPointF(p) * image.devicePixelRatio()).toPoint());
    };
    const QRect viewport(0, 0, side, side);
    int compared = 0, samples = 0;
    for (int y = 4; y < side; y += 23) {
        for (int x = 4; x < side; x += 23, ++samples) {
            const QPoint q = plain.view->mapFromScene(turned.view->mapToScene(QPoint(x, y)));
            const QRect around(q - QPoint(3, 3), QSize(7, 7));
            if (!viewport.contains(around)
                || QSet<QRgb>{at(unturned, around.topLeft()), at(unturned, around.topRight()),
                              at(unturned, around.bottomLeft()), at(unturned, around.bottomRight()),
                              at(unturned, q)}
                        .size()
                    > 1)
                continue;
            QVERIFY2(TestTiles::sameColour(at(shown, QPoint(x, y)), at(unturned, q)),
                     qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
            ++compared;
        }
    }
    QVERIFY(compared > samples / 3);
}

void tst_TileRendering::hostForegroundOnTop()
{
    QFETCH(int, row);
    const auto &r = foregroundRows[row];
    ForegroundScene scene(-180, -90, 360, 180);
    OsmView view(&scene, nullptr);
    view.resize(300, 200);
    view.setOptimizationFlag(QGraphicsView::DontSavePainterState);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.setImagePath(database());
    view.setZoom(12);
    view.centerOn(30.3, 59.94);
    QCoreApplication::processEvents(); // tiles everywhere on screen first
    if (r.clear) {
        QImage clear(256, 256, QImage::Format_ARGB32);
        clear.fill(Qt::transparent);
        QBuffer png;
        QVERIFY(png.open(QIODevice::WriteOnly) && clear.save(&png, "PNG"));
        writeTileDatabase(tmp.filePath("clear.sqlitedb"), 12, Band,
                          [&](int, int, int) { return png.data(); });
        view.setImagePath(tmp.filePath("clear.sqlitedb"));
    }
    view.setOpacity(r.opacity);
    view.rotate(r.turn);
    view.scale(r.hostScale, r.hostScale);
    scene.box = QRectF(r.centre - QPointF(0.005, 0.002) / r.hostScale,
                       QSizeF(0.01, 0.004) / r.hostScale);
    view.centerOn(r.centre);
    QImage shown(view.viewport()->size(), QImage::Format_RGB32);
    shown.fill(Qt::black);
    QPainter painter(&shown);
    view.render(&painter, QRectF(), view.viewport()->rect());
    painter.end();
    QCOMPARE(shown.pixelColor(shown.rect().center()), QColor(Qt::red));
    // A render leaves the target's own pixels where no tile is, so a host can compose.
    const QPoint corner(5, shown.height() - 5);
    QCOMPARE(shown.pixelColor(corner) == Qt::black, r.empty);
    // On screen, where an unfilled pixel would keep the tile it showed before.
    QCoreApplication::processEvents();
    const QImage window = view.windowHandle()->screen()->grabWindow(view.winId()).toImage();
    QCOMPARE(window.pixelColor(view.viewport()->mapTo(&view, corner))
                 == view.viewport()->palette().color(QPalette::Base),
             r.empty);
}

void tst_TileRendering::halfOpacityBlendsWithTheViewport()
{
    MapFixture map;
    map.view->setImagePath(database());
    map.view->setOpacity(0.5);
    const QImage shown = map.grab();
    for (const QPoint p : {QPoint(100, 100), QPoint(400, 300)}) {
        const QPoint tile = map.tileAt(p);
        const QColor c = TestTiles::colourOf(tile.x(), tile.y(), 12);
        const QColor expected((c.red() + 255) / 2, (c.green() + 255) / 2, (c.blue() + 255) / 2);
        QVERIFY2(TestTiles::sameColour(shown.pixelColor(p), expected, 3),
                 qPrintable(shown.pixelColor(p).name()));
    }
}

// As Designer makes it, or a host before it gives the view a scene.
void tst_TileRendering::withoutSceneShowsTheViewportBackground()
{
    OsmView view;
    QPalette palette = view.viewport()->palette();
    palette.setColor(QPalette::Base, QColor(0x12, 0x34, 0x56));
    view.viewport()->setPalette(palette);
    view.resize(200, 150);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    const QImage shown = view.viewport()->grab().toImage();
    for (const QPoint p : {QPoint(0, 0), shown.rect().center(), shown.rect().bottomRight()})
        QCOMPARE(shown.pixelColor(p), QColor(0x12, 0x34, 0x56));
}

// Tiles once read are drawn from memory while another program locks the file.
void tst_TileRendering::lockedStoreShowsWhatWasRead()
{
    MapFixture map;
    const QString path = writeDatabase(tmp.filePath(QStringLiteral("locked.sqlitedb")), 12,
                                       map.visibleTiles());
    map.view->setImagePath(path);
    map.grab();
    map.view->centerOn(31.3, 59.94); // other tiles, a degree east
    map.grab();
    SqliteLock locker;
    QVERIFY(locker.lock(path));
    map.view->centerOn(30.3, 59.94);
    QCOMPARE(map.wrongSamples(map.grab(), 1, map.visibleTiles()), 0);
}

void tst_TileRendering::everyPaintTarget()
{
    QFETCH(int, row);
    const auto &t = targetRows[row];
    const QSize size = t.shown ? QSize(512, 384) : QSize(900, 700);
    MapFixture map(12, size, t.shown);
    map.view->setImagePath(database());
    const QRect source(QPoint(), size * t.sourceScale);
    QImage image(source.size() * t.scale, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    map.view->render(&painter, QRectF(image.rect()), source);
    painter.end();
    QString why;
    QVERIFY2(!map.wrongSamples(image, t.scale, Band, &why), qPrintable(why));
}

void tst_TileRendering::screenAfterPans()
{
    QFETCH(int, row);
    const double viewports = panRows[row].viewports;
    MapFixture map;
    map.view->setImagePath(database());
    QVERIFY(map.exposed);
    QCoreApplication::processEvents();
    QWidget *viewport = map.view->viewport();
    const int distance = int(viewports * viewport->height());
    if (panRows[row].centerOn) {
        map.view->centerOn(map.view->mapToScene(viewport->rect().center() + QPoint(0, distance)));
    } else {
        // Steps a little under a viewport, so each scrolls the picture and paints a strip;
        // keys and a hand drag move the same scroll bars.
        QScrollBar *bar = map.view->verticalScrollBar();
        const int step = qAbs(viewports) > 1 ? viewport->height() - 17 : viewport->height() / 7;
        for (int moved = 0; moved < qAbs(distance); moved += step) {
            bar->setValue(bar->value()
                          + (distance > 0 ? 1 : -1) * qMin(step, qAbs(distance) - moved));
            QCoreApplication::processEvents();
        }
    }
    QCoreApplication::processEvents();
    const QImage screen = map.screen();
    QString why;
    QVERIFY2(!map.wrongSamples(screen, 1, Band, &why), qPrintable(why));
    QCOMPARE(screen.convertToFormat(QImage::Format_RGB32),
             map.grab().copy(screen.rect()).convertToFormat(QImage::Format_RGB32));
}

void tst_TileRendering::wholeWorldAtLowLevels_data()
{
    QTest::addColumn<int>("level");
    QTest::addColumn<bool>("fit");
    for (int z = 0; z <= 3; ++z)
        QTest::newRow(qPrintable(QStringLiteral("level %1").arg(z))) << z << false;
    QTest::newRow("the world fitted") << 1 << true;
}

void tst_TileRendering::wholeWorldAtLowLevels()
{
    // Files for tiles off the grid (east of 180 degrees, north of the first row) are in
    // the tree too; they must never be drawn.
    QFETCH(int, level);
    QFETCH(bool, fit);
    const int n = 1 << level;
    QTemporaryDir dir;
    TestTiles::writeTree(dir.path(), level, -1, n, -1, n);
    MapFixture map(10, QSize(600, 500));
    map.scene.setSceneRect(-720, -400, 1440, 800);
    map.view->setZoomMin(0);
    map.view->setImagePath(dir.path());
    map.view->centerOn(0, 0);
    if (fit)
        map.view->fitInViewZ(QRectF(-180, 85, 360, -170), 17);
    else
        map.view->setZoom(level);
    map.view->centerOn(0, 0);
    QCOMPARE(map.level(), level);
    QString why;
    QVERIFY2(!map.wrongSamples(map.grab(), 1, QRect(0, 0, n, n), &why), qPrintable(why));
}

QTEST_MAIN(tst_TileRendering)
#include "tst_tilerendering.moc"

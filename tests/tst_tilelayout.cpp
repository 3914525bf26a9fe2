#include "TileLayout.h"
#include "RowTable.h"
#include "TileAddressing.h"

#include <QtTest/QtTest>

#include <cmath>

namespace {

// Tiles of level 14 near the city, px pixels wide, drawn on a device of deviceScale
// (a screen's pixel ratio); `whole`: every cell is exactly px * deviceScale pixels.
// clang-format off
const struct { const char *name; double px, deviceScale; bool whole; } seamRows[] = {
    {"native 256", 256.0, 1.0, true},
    {"256 less rounding of two source nudges", 255.99999999999997, 1.0, true},
    {"209 scaled", 209.0, 1.0, true},
    {"209 and a little", 209.3, 1.0, false},
    {"native at ratio 2", 256.0, 2.0, true},
    {"native less rounding at ratio 2", 255.99999999999997, 2.0, true},
    {"native at ratio 1.5", 256.0, 1.5, true},
    {"209 at ratio 1.5, half pixels", 209.0, 1.5, false},
    {"native at ratio 1.25", 256.0, 1.25, true},
    {"three device pixels per cell", 3.0, 1.0, true},
};
// clang-format on

// Cells of px pixels: column 0's west edge at device x 0, row 0's north edge at y 0. At
// 255.6 px the second edge lies at 511.2 and is drawn at 511.
// clang-format off
const struct { const char *name; int z; double px; QRect device, window; } windowRows[] = {
    {"one cell", 3, 256, {10, 10, 20, 20}, {0, 0, 1, 1}},
    {"two widths from a column edge", 3, 256, {256, 300, 512, 10}, {1, 1, 2, 1}},
    {"one pixel into the next cell", 3, 256, {256, 300, 513, 10}, {1, 1, 3, 1}},
    {"starts on a rounded column edge", 3, 255.6, {511, 10, 5, 5}, {2, 0, 1, 1}},
    {"ends on a rounded row edge", 3, 255.6, {10, 300, 20, 212}, {0, 1, 1, 2}},
    {"west of the grid is clipped", 3, 256, {-1000, 0, 1100, 10}, {0, 0, 1, 1}},
    {"east and south of the grid are clipped", 3, 256, {1900, 1900, 900, 900}, {7, 7, 1, 1}},
    {"wholly off the grid", 3, 256, {2048, 0, 500, 500}, {}},
    {"level 0 is one cell", 0, 256, {-500, -500, 2000, 2000}, {0, 0, 1, 1}},
};
// clang-format on

// A device that turns, flips or shears the map, or makes cells of no size: drawn through
// its transform, never cell by cell.
// clang-format off
const struct { const char *name; QTransform transform; } throughRows[] = {
    {"turned", QTransform().rotate(30)},
    {"flipped east to west", QTransform::fromScale(-1, 1)},
    {"sheared", QTransform().shear(0.2, 0)},
    {"cells of no width", QTransform::fromScale(0, 1)},
};
// clang-format on

} // namespace

class tst_TileLayout : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void layoutIsSeamless_data() { addRows(seamRows); }
    void layoutIsSeamless();
    void layoutWindow_data() { addRows(windowRows); }
    void layoutWindow();
    void drawnThroughTheTransform_data() { addRows(throughRows); }
    void drawnThroughTheTransform();
};

void tst_TileLayout::layoutIsSeamless()
{
    QFETCH(int, row);
    const auto &t = seamRows[row];
    const int z = 14;
    const double width = 360.0 / (1 << z);
    const int anchor = latToTileY(59.94, z);
    const double height = tileYToLat(anchor + 1, z) - tileYToLat(anchor, z);
    const QTransform toDevice = QTransform::fromScale(t.px / width, t.px / height)
        * QTransform::fromTranslate(-9371.37, 4406.5)
        * QTransform::fromScale(t.deviceScale, t.deviceScale);
    const TileLayout layout(z, width, height, anchor, toDevice);
    QVERIFY(layout.isAxisAligned());
    QCOMPARE(layout.hasWholeCells(), t.whole);
    const double cell = t.px * t.deviceScale;
    for (int i = 0; i < 40; ++i) {
        const QRect a = layout.cell(9000 + i, anchor - 20 + i);
        const QRect b = layout.cell(9001 + i, anchor - 19 + i);
        QCOMPARE(b.left(), a.right() + 1); // no gap, no overlap
        QCOMPARE(b.top(), a.bottom() + 1);
        QVERIFY(a.width() >= std::floor(cell) && a.width() <= std::ceil(cell));
        if (t.whole)
            QCOMPARE(a.size(), QSize(qRound(cell), qRound(cell)));
    }
    // A scroll by whole pixels moves every row by exactly that much.
    QVERIFY(layout.placesRowsAs(TileLayout(z, width, height, anchor,
                                           toDevice * QTransform::fromTranslate(0, 37)),
                                37));
    // Moving the anchor to the next row keeps the rows only if its true edge happens to lie on one.
    QVERIFY(!layout.placesRowsAs(TileLayout(z, width, height * 0.9, anchor + 1, toDevice), 0));
}

void tst_TileLayout::layoutWindow()
{
    QFETCH(int, row);
    const auto &t = windowRows[row];
    const int z = t.z;
    const double width = 360.0 / (1 << z);
    const double height = tileYToLat(1, z) - tileYToLat(0, z);
    const QTransform toDevice = QTransform::fromScale(t.px / width, t.px / height)
        * QTransform::fromTranslate(t.px / width * 180, -t.px / height * tileYToLat(0, z));
    QCOMPARE(TileLayout(z, width, height, 0, toDevice).window(t.device), t.window);
}

void tst_TileLayout::drawnThroughTheTransform()
{
    QFETCH(int, row);
    const int z = 10;
    const double width = 360.0 / (1 << z);
    const double height = tileYToLat(298, z) - tileYToLat(297, z);
    const QTransform toDevice = QTransform::fromScale(256 / width, 256 / height)
        * throughRows[row].transform;
    const TileLayout layout(z, width, height, 297, toDevice);
    QVERIFY(!layout.isAxisAligned());
    QVERIFY(layout.window(QRect(-5000, -5000, 10000, 10000)).isEmpty());
}

QTEST_APPLESS_MAIN(tst_TileLayout)
#include "tst_tilelayout.moc"

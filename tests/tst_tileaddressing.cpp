#include "TileAddressing.h"
#include "OsmViewPrivate.h"
#include "RowTable.h"
#include "TileLayout.h"

#include <QtTest/QtTest>

#include <cmath>
#include <limits>

namespace {

const struct { const char *name; double lon, lat; int z; QPoint tile; } addressRows[] = {
    {"west edge, equator", -180.0, 0.0, 10, {0, 512}},
    {"east edge is one past the last column", 180.0, 59.94, 10, {1024, 297}},
    {"truncates toward zero west of -180", -180.5, -33.86, 1, {0, 1}},
    {"south of the equator", 151.2, -33.86, 11, {1884, 1228}},
    {"two columns west", -361.0, 85.0511287798066, 1, {-1, 0}},
    {"well north of the limit", 0.0, 85.2, 12, {2048, -19}},
    {"just short of a boundary", std::nextafter(-90.0, -91.0), -85.05, 2, {0, 3}},
    {"on a boundary", -90.0, -85.05, 8, {64, 255}},
};

const struct { const char *name; double lat; } poleRows[] = {
    {"north pole", 90.0},
    {"south pole", -90.0},
    {"past the south pole", -135.0},
    {"far away", 1e300},
    {"infinity", std::numeric_limits<double>::infinity()},
    {"nan", std::numeric_limits<double>::quiet_NaN()},
};

// Tiles of level 14 near the city, px pixels wide, drawn on a device of deviceScale.
const struct { const char *name; double px, deviceScale; bool native; } seamRows[] = {
    {"native 256", 256.0, 1.0, true},
    {"256 less rounding of two source nudges", 255.99999999999997, 1.0, true},
    {"209 scaled", 209.0, 1.0, false},
    {"native rendered at 2x", 256.0, 2.0, false},
    {"three device pixels per cell", 3.0, 1.0, false},
};

// Cells of px pixels: column 0's west edge at device x 0, row 0's north edge at y 0. At
// 255.6 px the second edge lies at 511.2 and is drawn at 511.
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

// The view's tables hash a cell to (y << 16) + x in 32 bits, XOR the table's seed.
const struct { const char *name; QPoint cell; uint seed; quint32 hash; } cellHashRows[] = {
    {"column and row", {3, 4}, 0, 0x40003},
    {"seed", {3, 4}, 0xff, 0x400fc},
    {"wide column adds into the row", {70000, 1}, 0, 0x10000 + 70000},
    {"negative column wraps", {-1, 0}, 0, 0xffffffff},
    {"row past 16 bits wraps", {5, 65537}, 0, 0x10005},
};

} // namespace

class tst_TileAddressing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void addresses_data() { addRows(addressRows); }
    void addresses();
    void edgesAndRoundTrip();
    void beyondThePolesStaysFinite_data() { addRows(poleRows); }
    void beyondThePolesStaysFinite();
    void layoutIsSeamless_data() { addRows(seamRows); }
    void layoutIsSeamless();
    void layoutWindow_data() { addRows(windowRows); }
    void layoutWindow();
    void cellHash_data() { addRows(cellHashRows); }
    void cellHash();
};

void tst_TileAddressing::addresses()
{
    QFETCH(int, row);
    const auto &t = addressRows[row];
    QCOMPARE(QPoint(lonToTileX(t.lon, t.z), latToTileY(t.lat, t.z)), t.tile);
}

void tst_TileAddressing::edgesAndRoundTrip()
{
    for (int z : {0, 3, 10, 17}) {
        const int n = 1 << z;
        QCOMPARE(tileXToLon(0, z), -180.0);
        QCOMPARE(tileXToLon(n, z), 180.0);
        QVERIFY(qAbs(tileYToLat(0, z) - 85.0511287798066) < 1e-9);
        QVERIFY(qAbs(tileYToLat(n, z) + 85.0511287798066) < 1e-9);
        // The centre of a tile maps back to its own address.
        for (int i = 0; i < n; i += qMax(1, n / 37)) {
            QCOMPARE(lonToTileX((tileXToLon(i, z) + tileXToLon(i + 1, z)) / 2, z), i);
            QCOMPARE(latToTileY((tileYToLat(i, z) + tileYToLat(i + 1, z)) / 2, z), i);
        }
    }
}

void tst_TileAddressing::beyondThePolesStaysFinite()
{
    QFETCH(int, row);
    const double lat = poleRows[row].lat;
    // Rows come out as ints that leave room for +1 and range arithmetic, and the
    // layout's anchor row is always a row of the grid.
    for (int z : {0, 10, 17, 30}) {
        const int y = latToTileY(lat, z);
        QVERIFY(qAbs(qint64(y)) <= (qint64(1) << 30));
        QVERIFY(!(lat >= 90.0) || y <= 0);
        QVERIFY(!(lat <= -90.0) || y >= (1 << qMin(z, 29)) - 1);
        QVERIFY(std::isfinite(tileYToLat(y + 1, z)));
        QVERIFY(qAbs(qint64(lonToTileX(lat, z))) <= (qint64(1) << 30));
        const int anchor = TileLayout::rowUnder(lat, z);
        QVERIFY(anchor >= 0 && anchor <= TileLayout::lastIndex(z));
    }
}

void tst_TileAddressing::layoutIsSeamless()
{
    QFETCH(int, row);
    const auto &t = seamRows[row];
    const int z = 14;
    const double width = 360.0 / (1 << z);
    const int anchor = latToTileY(59.94, z);
    const double height = tileYToLat(anchor + 1, z) - tileYToLat(anchor, z);
    const QTransform toDevice = QTransform::fromScale(t.px / width, t.px / height)
        * QTransform::fromTranslate(-9371.37, 4406.5) * QTransform::fromScale(t.deviceScale, t.deviceScale);
    const TileLayout layout(z, width, height, anchor, toDevice);
    QVERIFY(layout.isAxisAligned());
    QCOMPARE(layout.isNative(), t.native);
    const double cell = t.px * t.deviceScale;
    for (int i = 0; i < 40; ++i) {
        const QRect a = layout.cell(9000 + i, anchor - 20 + i);
        const QRect b = layout.cell(9001 + i, anchor - 19 + i);
        QCOMPARE(b.left(), a.right() + 1); // no gap, no overlap
        QCOMPARE(b.top(), a.bottom() + 1);
        QVERIFY(a.width() >= std::floor(cell) && a.width() <= std::ceil(cell));
        if (t.native)
            QCOMPARE(a.size(), QSize(256, 256));
    }
    // A scroll by whole pixels moves every row by exactly that much.
    QVERIFY(layout.placesRowsAs(TileLayout(z, width, height, anchor, toDevice * QTransform::fromTranslate(0, 37)), 37));
    // Moving the anchor to the next row keeps the rows only if its true edge happens to lie on one.
    QVERIFY(!layout.placesRowsAs(TileLayout(z, width, height * 0.9, anchor + 1, toDevice), 0));
}

void tst_TileAddressing::layoutWindow()
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

void tst_TileAddressing::cellHash()
{
    QFETCH(int, row);
    const auto &t = cellHashRows[row];
    QCOMPARE(qHash(TileCell(t.cell), t.seed), decltype(qHash(0))(t.hash));
}

QTEST_APPLESS_MAIN(tst_TileAddressing)
#include "tst_tileaddressing.moc"

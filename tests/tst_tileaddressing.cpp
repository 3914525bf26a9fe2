#include "TileAddressing.h"
#include "OsmViewPrivate.h"
#include "RowTable.h"
#include "TileLayout.h"

#include <QtTest/QtTest>

#include <cmath>
#include <limits>

namespace {

// clang-format off
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
// clang-format on

// clang-format off
const struct { const char *name; double lat; } poleRows[] = {
    {"north pole", 90.0},
    {"south pole", -90.0},
    {"past the south pole", -135.0},
    {"far away", 1e300},
    {"infinity", std::numeric_limits<double>::infinity()},
    {"nan", std::numeric_limits<double>::quiet_NaN()},
};
// clang-format on

// The view's tables hash a cell to (y << 16) + x in 32 bits, XOR the table's seed.
// clang-format off
const struct { const char *name; QPoint cell; uint seed; quint32 hash; } cellHashRows[] = {
    {"column and row", {3, 4}, 0, 0x40003},
    {"seed", {3, 4}, 0xff, 0x400fc},
    {"wide column adds into the row", {70000, 1}, 0, 0x10000 + 70000},
    {"negative column wraps", {-1, 0}, 0, 0xffffffff},
    {"row past 16 bits wraps", {5, 65537}, 0, 0x10005},
};
// clang-format on

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

void tst_TileAddressing::cellHash()
{
    QFETCH(int, row);
    const auto &t = cellHashRows[row];
    QCOMPARE(qHash(TileCell(t.cell), t.seed), decltype(qHash(0))(t.hash));
}

QTEST_APPLESS_MAIN(tst_TileAddressing)
#include "tst_tileaddressing.moc"

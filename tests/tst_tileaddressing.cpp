#include "TileAddressing.h"
#include "TileLayout.h"

#include <QtTest/QtTest>

#include <cmath>
#include <limits>

class tst_TileAddressing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void addresses_data();
    void addresses();
    void edgesAndRoundTrip();
    void beyondThePolesStaysFinite_data();
    void beyondThePolesStaysFinite();
    void layoutIsSeamless_data();
    void layoutIsSeamless();
    void layoutWindow_data();
    void layoutWindow();
};

void tst_TileAddressing::addresses_data()
{
    QTest::addColumn<double>("lon");
    QTest::addColumn<double>("lat");
    QTest::addColumn<int>("z");
    QTest::addColumn<QPoint>("tile");
    QTest::newRow("west edge, equator") << -180.0 << 0.0 << 10 << QPoint(0, 512);
    QTest::newRow("east edge is one past the last column") << 180.0 << 59.94 << 10 << QPoint(1024, 297);
    QTest::newRow("truncates toward zero west of -180") << -180.5 << -33.86 << 1 << QPoint(0, 1);
    QTest::newRow("south of the equator") << 151.2 << -33.86 << 11 << QPoint(1884, 1228);
    QTest::newRow("two columns west") << -361.0 << 85.0511287798066 << 1 << QPoint(-1, 0);
    QTest::newRow("well north of the limit") << 0.0 << 85.2 << 12 << QPoint(2048, -19);
    QTest::newRow("just short of a boundary") << std::nextafter(-90.0, -91.0) << -85.05 << 2 << QPoint(0, 3);
    QTest::newRow("on a boundary") << -90.0 << -85.05 << 8 << QPoint(64, 255);
}

void tst_TileAddressing::addresses()
{
    QFETCH(double, lon);
    QFETCH(double, lat);
    QFETCH(int, z);
    QFETCH(QPoint, tile);
    QCOMPARE(QPoint(lonToTileX(lon, z), latToTileY(lat, z)), tile);
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

void tst_TileAddressing::beyondThePolesStaysFinite_data()
{
    QTest::addColumn<double>("lat");
    QTest::newRow("north pole") << 90.0;
    QTest::newRow("south pole") << -90.0;
    QTest::newRow("past the south pole") << -135.0;
    QTest::newRow("far away") << 1e300;
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity();
    QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN();
}

void tst_TileAddressing::beyondThePolesStaysFinite()
{
    QFETCH(double, lat);
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

void tst_TileAddressing::layoutIsSeamless_data()
{
    QTest::addColumn<double>("px");
    QTest::addColumn<double>("deviceScale");
    QTest::addColumn<bool>("native");
    QTest::newRow("native 256") << 256.0 << 1.0 << true;
    QTest::newRow("256 less rounding of two source nudges") << 255.99999999999997 << 1.0 << true;
    QTest::newRow("288 scaled") << 288.0 << 1.0 << false;
    QTest::newRow("209 scaled") << 209.0 << 1.0 << false;
    QTest::newRow("native rendered at 2x") << 256.0 << 2.0 << false;
    QTest::newRow("three device pixels per cell") << 3.0 << 1.0 << false;
}

void tst_TileAddressing::layoutIsSeamless()
{
    QFETCH(double, px);
    QFETCH(double, deviceScale);
    QFETCH(bool, native);
    const int z = 14;
    const double width = 360.0 / (1 << z);
    const int anchor = latToTileY(59.94, z);
    const double height = tileYToLat(anchor + 1, z) - tileYToLat(anchor, z);
    const QTransform toDevice = QTransform::fromScale(px / width, px / height)
        * QTransform::fromTranslate(-9371.37, 4406.5) * QTransform::fromScale(deviceScale, deviceScale);
    const TileLayout layout(z, width, height, anchor, toDevice);
    QVERIFY(layout.isAxisAligned());
    QCOMPARE(layout.isNative(), native);
    const double cell = px * deviceScale;
    for (int i = 0; i < 40; ++i) {
        const QRect a = layout.cell(9000 + i, anchor - 20 + i);
        const QRect b = layout.cell(9001 + i, anchor - 19 + i);
        QCOMPARE(b.left(), a.right() + 1); // no gap, no overlap
        QCOMPARE(b.top(), a.bottom() + 1);
        QVERIFY(a.width() >= std::floor(cell) && a.width() <= std::ceil(cell));
        if (native)
            QCOMPARE(a.size(), QSize(256, 256));
    }
    // A scroll by whole pixels moves every row by exactly that much.
    QVERIFY(layout.placesRowsAs(TileLayout(z, width, height, anchor, toDevice * QTransform::fromTranslate(0, 37)), 37));
    // Moving the anchor to the next row keeps the rows only if its true edge happens to lie on one.
    QVERIFY(!layout.placesRowsAs(TileLayout(z, width, height * 0.9, anchor + 1, toDevice), 0));
}

void tst_TileAddressing::layoutWindow_data()
{
    QTest::addColumn<int>("z");
    QTest::addColumn<QRect>("device");
    QTest::addColumn<QRect>("window");
    // Level 3 at 256 px: column 0's west edge at device x 0, row 0's north edge at y 0.
    QTest::newRow("one cell") << 3 << QRect(10, 10, 20, 20) << QRect(0, 0, 1, 1);
    QTest::newRow("two widths from a column edge") << 3 << QRect(256, 300, 512, 10) << QRect(1, 1, 2, 1);
    QTest::newRow("one pixel into the next cell") << 3 << QRect(256, 300, 513, 10) << QRect(1, 1, 3, 1);
    QTest::newRow("west of the grid is clipped") << 3 << QRect(-1000, 0, 1100, 10) << QRect(0, 0, 1, 1);
    QTest::newRow("east and south of the grid are clipped") << 3 << QRect(1900, 1900, 900, 900) << QRect(7, 7, 1, 1);
    QTest::newRow("wholly off the grid") << 3 << QRect(2048, 0, 500, 500) << QRect();
    QTest::newRow("level 0 is one cell") << 0 << QRect(-500, -500, 2000, 2000) << QRect(0, 0, 1, 1);
}

void tst_TileAddressing::layoutWindow()
{
    QFETCH(int, z);
    QFETCH(QRect, device);
    QFETCH(QRect, window);
    const double width = 360.0 / (1 << z);
    const double height = tileYToLat(1, z) - tileYToLat(0, z);
    const QTransform toDevice = QTransform::fromScale(256 / width, 256 / height)
        * QTransform::fromTranslate(256 / width * 180, -256 / height * tileYToLat(0, z));
    QCOMPARE(TileLayout(z, width, height, 0, toDevice).window(device), window);
}

QTEST_APPLESS_MAIN(tst_TileAddressing)
#include "tst_tileaddressing.moc"

#include "TileAddressing.h"

#include <QtTest/QtTest>

#include <cmath>
#include <limits>

class tst_TileAddressing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lonToTileX_data();
    void lonToTileX();
    void latToTileY_data();
    void latToTileY();
    void edgesOfTiles_data();
    void edgesOfTiles();
    void roundTrip();
    void beyondThePolesStaysFinite_data();
    void beyondThePolesStaysFinite();
};

void tst_TileAddressing::lonToTileX_data()
{
    QTest::addColumn<double>("lon");
    QTest::addColumn<int>("z");
    QTest::addColumn<int>("x");

    QTest::newRow("west edge z0") << -180.0 << 0 << 0;
    QTest::newRow("west edge z17") << -180.0 << 17 << 0;
    QTest::newRow("east edge is one past the last column") << 180.0 << 10 << 1024;
    QTest::newRow("greenwich z1") << 0.0 << 1 << 1;
    QTest::newRow("truncates toward zero west of -180") << -180.5 << 1 << 0;
    QTest::newRow("far west truncates toward zero") << -181.0 << 2 << 0;
    QTest::newRow("two columns west") << -361.0 << 1 << -1;
    QTest::newRow("30.3 at z10") << 30.3 << 10 << 598;
    QTest::newRow("just short of a boundary") << std::nextafter(-90.0, -91.0) << 2 << 0;
    QTest::newRow("on a boundary") << -90.0 << 2 << 1;
}

void tst_TileAddressing::lonToTileX()
{
    QFETCH(double, lon);
    QFETCH(int, z);
    QFETCH(int, x);
    QCOMPARE(::lonToTileX(lon, z), x);
}

void tst_TileAddressing::latToTileY_data()
{
    QTest::addColumn<double>("lat");
    QTest::addColumn<int>("z");
    QTest::addColumn<int>("y");

    QTest::newRow("equator z10") << 0.0 << 10 << 512;
    QTest::newRow("59.94 z10") << 59.94 << 10 << 297;
    QTest::newRow("mercator limit is row 0") << 85.0511287798066 << 12 << 0;
    QTest::newRow("a little north of the limit truncates to 0") << 85.06 << 8 << 0;
    QTest::newRow("well north of the limit") << 85.2 << 12 << -19;
    QTest::newRow("south of the equator") << -33.86 << 11 << 1228;
    QTest::newRow("near south limit") << -85.05 << 8 << 255;
}

void tst_TileAddressing::latToTileY()
{
    QFETCH(double, lat);
    QFETCH(int, z);
    QFETCH(int, y);
    QCOMPARE(::latToTileY(lat, z), y);
}

void tst_TileAddressing::edgesOfTiles_data()
{
    QTest::addColumn<int>("z");
    QTest::newRow("z0") << 0;
    QTest::newRow("z10") << 10;
    QTest::newRow("z17") << 17;
}

void tst_TileAddressing::edgesOfTiles()
{
    QFETCH(int, z);
    const int n = 1 << z;
    QCOMPARE(tileXToLon(0, z), -180.0);
    QCOMPARE(tileXToLon(n, z), 180.0);
    QVERIFY(qAbs(tileYToLat(0, z) - 85.0511287798066) < 1e-9);
    QVERIFY(qAbs(tileYToLat(n, z) + 85.0511287798066) < 1e-9);
    if (z > 0) {
        QCOMPARE(tileXToLon(n / 2, z), 0.0);
        QVERIFY(qAbs(tileYToLat(n / 2, z)) < 1e-9);
    }
}

void tst_TileAddressing::roundTrip()
{
    // The centre of every tile maps back to its own address.
    for (int z : {3, 10, 16}) {
        const int n = 1 << z;
        for (int i = 0; i < n; i += qMax(1, n / 37)) {
            const double lon = (tileXToLon(i, z) + tileXToLon(i + 1, z)) / 2;
            const double lat = (tileYToLat(i, z) + tileYToLat(i + 1, z)) / 2;
            QCOMPARE(::lonToTileX(lon, z), i);
            QCOMPARE(::latToTileY(lat, z), i);
        }
    }
}

void tst_TileAddressing::beyondThePolesStaysFinite_data()
{
    QTest::addColumn<double>("lat");
    QTest::newRow("north pole") << 90.0;
    QTest::newRow("south pole") << -90.0;
    QTest::newRow("past the north pole") << 91.0;
    QTest::newRow("past the south pole") << -135.0;
    QTest::newRow("far away") << 1e300;
    QTest::newRow("far away south") << -1e300;
    QTest::newRow("infinity") << std::numeric_limits<double>::infinity();
    QTest::newRow("nan") << std::numeric_limits<double>::quiet_NaN();
}

void tst_TileAddressing::beyondThePolesStaysFinite()
{
    QFETCH(double, lat);
    // Rows come out as plain ints that leave room for +1 and range arithmetic.
    for (int z : {0, 10, 17, 30}) {
        const int y = ::latToTileY(lat, z);
        QVERIFY(qAbs(qint64(y)) <= (qint64(1) << 30));
        if (lat >= 90.0)
            QVERIFY(y <= 0);
        if (lat <= -90.0)
            QVERIFY(y >= (1 << qMin(z, 29)) - 1);
        QVERIFY(std::isfinite(tileYToLat(y, z)));
        QVERIFY(std::isfinite(tileYToLat(y + 1, z)));
        const int x = ::lonToTileX(lat, z);
        QVERIFY(qAbs(qint64(x)) <= (qint64(1) << 30));
    }
}

QTEST_APPLESS_MAIN(tst_TileAddressing)
#include "tst_tileaddressing.moc"

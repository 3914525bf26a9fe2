#include "OsmView.h"
#include "TileAddressing.h"

#include <QtTest/QtTest>
#include <QtWidgets/QGraphicsScene>

#include <cmath>
#include <limits>

namespace {

constexpr double Sixth = 0.16666666666666666;

// The level whose tiles the view's scale shows at 209 to 400 pixels, and their size.
int levelOf(const OsmView &view)
{
    for (int z = 0; z < 31; ++z) {
        const double px = view.transform().m11() * 360.0 / std::ldexp(1.0, z);
        if (px >= 208.5 && px <= 400.5)
            return z;
    }
    return -1;
}

double pixelsPerTile(const OsmView &view)
{
    return view.transform().m11() * 360.0 / std::ldexp(1.0, levelOf(view));
}

} // namespace

class tst_ZoomModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void defaults();
    void zoomModel_data();
    void zoomModel();
    void signalOrder_data();
    void signalOrder();
    void receiverSettingSameLevelReturnsAtOnce();
    void nonFiniteAndClampedInput_data();
    void nonFiniteAndClampedInput();
    void rowHeightMeasuredOnARealRow_data();
    void rowHeightMeasuredOnARealRow();
};

void tst_ZoomModel::defaults()
{
    OsmView view;
    QCOMPARE(view.zoomF(), 10 + Sixth);
    QCOMPARE(QPoint(view.zoomMin(), view.zoomMax()), QPoint(10, 17));
    QCOMPARE(view.opacity(), 0.5);
    QVERIFY(view.imagePath().isEmpty() && view.getTileServerUrl().isEmpty());
    QVERIFY(!view.getEnableTileDownload() && !view.dumpServerExchange());
    QCOMPARE(qRound(pixelsPerTile(view)), 256);
    // Opening a source nudges the zoom by 0.0001, which repaints and reports it.
    QSignalSpy zooms(&view, QOverload<double>::of(&OsmView::zoomChanged));
    view.setImagePath(QString());
    QCOMPARE(view.zoomF(), 10 + Sixth + 0.0001);
    QCOMPARE(zooms.count(), 1);
}

void tst_ZoomModel::zoomModel_data()
{
    QTest::addColumn<double>("requested");
    QTest::addColumn<double>("stored");
    QTest::addColumn<int>("zoom");
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("px");
    QTest::newRow("native 11") << 11 + Sixth << 11 + Sixth << 11 << 11 << 256;
    QTest::newRow("one notch") << 10 + 2 * Sixth << 10 + 2 * Sixth << 10 << 10 << 288;
    QTest::newRow("four notches") << 10 + 5 * Sixth << 10 + 5 * Sixth << 10 << 10 << 384;
    QTest::newRow("integer zoom truncates, level rounds") << 10.95 << 10.95 << 10 << 11 << 215;
    QTest::newRow("next level") << 11.0 << 11.0 << 11 << 11 << 224;
    QTest::newRow("just above min - 1/12") << 9.917 << 9.917 << 9 << 10 << 209;
    QTest::newRow("below native, not clamped") << 9.95 << 9.95 << 9 << 10 << 215;
    QTest::newRow("just below max + 11/12") << 17.9166 << 17.9166 << 17 << 17 << 400;
    QTest::newRow("above max clamps") << 18.0 << 17 + 5 * Sixth << 17 << 17 << 384;
    QTest::newRow("far above max") << 1e300 << 17 + 5 * Sixth << 17 << 17 << 384;
    QTest::newRow("below min clamps") << 9.0 << 10.0 << 10 << 10 << 224;
    QTest::newRow("far below min") << -1e300 << 10.0 << 10 << 10 << 224;
}

void tst_ZoomModel::zoomModel()
{
    QFETCH(double, requested);
    QFETCH(double, stored);
    QFETCH(int, zoom);
    QFETCH(int, level);
    QFETCH(int, px);
    OsmView view;
    view.resize(640, 480);
    view.setZoom(13.5); // start away from every row
    view.setZoom(requested);
    QCOMPARE(view.zoomF(), stored);
    QCOMPARE(view.zoom(), zoom);
    QCOMPARE(levelOf(view), level);
    QVERIFY2(qAbs(pixelsPerTile(view) - px) < 1e-6, qPrintable(QString::number(pixelsPerTile(view))));
    QVERIFY(view.transform().m22() < 0); // north up
}

void tst_ZoomModel::signalOrder_data()
{
    QTest::addColumn<double>("start");
    QTest::addColumn<int>("request");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("new level") << 10 + Sixth << 12 << QStringList{"int 12", "double 12.1667"};
    QTest::newRow("the level shown: nothing") << 12.5 << 12 << QStringList{};
    QTest::newRow("clamped from 15") << 15 + Sixth << 20 << QStringList{"int 17", "double 17.8333", "int 17"};
    QTest::newRow("clamped at the maximum") << 17 + Sixth << 20 << QStringList{"double 17.8333", "int 17"};
    QTest::newRow("clamped below") << 12 + Sixth << 3 << QStringList{"int 10", "double 10", "int 10"};
}

void tst_ZoomModel::signalOrder()
{
    QFETCH(double, start);
    QFETCH(int, request);
    QFETCH(QStringList, expected);
    OsmView view;
    view.setZoom(start);
    QStringList seen;
    connect(&view, QOverload<int>::of(&OsmView::zoomChanged), this,
            [&](int z) { seen << QStringLiteral("int %1").arg(z); });
    connect(&view, QOverload<double>::of(&OsmView::zoomChanged), this,
            [&](double z) { seen << QStringLiteral("double %1").arg(z); });
    view.setZoom(request);
    QCOMPARE(seen, expected);
}

void tst_ZoomModel::receiverSettingSameLevelReturnsAtOnce()
{
    // A zoom slider follows zoomChanged(int) and calls setZoom(int) back with the level
    // it was given, from within the emission.
    OsmView view;
    int calls = 0;
    connect(&view, QOverload<int>::of(&OsmView::zoomChanged), this, [&](int z) {
        ++calls;
        view.setZoom(z);
    });
    QSignalSpy zooms(&view, QOverload<double>::of(&OsmView::zoomChanged));
    view.setZoom(14.5);
    QCOMPARE(calls, 1);
    QCOMPARE(zooms.count(), 1);
    QCOMPARE(view.zoomF(), 14.5);
}

void tst_ZoomModel::nonFiniteAndClampedInput_data()
{
    // A NaN or infinite zoom changes nothing; opacity is clamped to [0, 1], NaN ignored.
    QTest::addColumn<double>("zoom");
    QTest::addColumn<double>("opacity");
    QTest::addColumn<double>("storedOpacity");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("nan") << nan << nan << 0.5;
    QTest::newRow("+inf, opacity above 1") << inf << 2.0 << 1.0;
    QTest::newRow("-inf, opacity below 0") << -inf << -1.0 << 0.0;
    QTest::newRow("opacity inside") << nan << 0.3 << 0.3;
}

void tst_ZoomModel::nonFiniteAndClampedInput()
{
    QFETCH(double, zoom);
    QFETCH(double, opacity);
    QFETCH(double, storedOpacity);
    OsmView view;
    const QTransform before = view.transform();
    QSignalSpy levels(&view, QOverload<int>::of(&OsmView::zoomChanged));
    QSignalSpy zooms(&view, QOverload<double>::of(&OsmView::zoomChanged));
    view.setZoom(zoom);
    view.setOpacity(opacity);
    QCOMPARE(view.zoomF(), 10 + Sixth);
    QCOMPARE(view.transform(), before);
    QCOMPARE(view.opacity(), storedOpacity);
    QCOMPARE(levels.count() + zooms.count(), 0);
}

void tst_ZoomModel::rowHeightMeasuredOnARealRow_data()
{
    // The row under the viewport's top-left pixel, or the nearest row of the grid when
    // the view looks past the poles; levels down to 0 when the host allows them.
    QTest::addColumn<double>("lat");
    QTest::addColumn<int>("level");
    QTest::addColumn<int>("row");
    QTest::newRow("city at 10") << 59.94 << 10 << -1;
    QTest::newRow("north pole") << 90.0 << 12 << 0;
    QTest::newRow("past the north pole") << 140.0 << 17 << 0;
    QTest::newRow("past the south pole") << -170.0 << 11 << 2047;
    QTest::newRow("world at level 0") << 300.0 << 0 << 0;
    QTest::newRow("world at level 2") << -300.0 << 2 << 3;
}

void tst_ZoomModel::rowHeightMeasuredOnARealRow()
{
    QFETCH(double, lat);
    QFETCH(int, level);
    QFETCH(int, row);
    QGraphicsScene scene(-720, -720, 1440, 1440);
    OsmView view(&scene, nullptr);
    view.resize(400, 300);
    view.setZoomMin(0);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.setZoom(level + 0.5);
    view.centerOn(30.3, lat);
    const double topLat = view.mapToScene(QPoint(0, 0)).y();
    view.setZoom(level + 0.9);
    if (row < 0)
        row = latToTileY(topLat, level);
    const double expected = tileYToLat(row + 1, level) - tileYToLat(row, level);
    const double px = 224 + int(0.9 * 192 + 0.5);
    QVERIFY2(qAbs(px / view.transform().m22() - expected) < 1e-9 * qAbs(expected),
             qPrintable(QString::number(px / view.transform().m22())));
    QVERIFY(qAbs(view.transform().m11() - px / (360.0 / (1 << level))) < 1e-9);
}

QTEST_MAIN(tst_ZoomModel)
#include "tst_zoommodel.moc"

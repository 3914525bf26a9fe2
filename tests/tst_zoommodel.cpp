#include "OsmView.h"
#include "RowTable.h"
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

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

// A request, the zoomF stored, zoom(), the level shown and its tiles' size in pixels.
// clang-format off
const struct { const char *name; double requested, stored; int zoom, level, px; } zoomRows[] = {
    {"native 11", 11 + Sixth, 11 + Sixth, 11, 11, 256},
    {"one notch", 10 + 2 * Sixth, 10 + 2 * Sixth, 10, 10, 288},
    {"four notches", 10 + 5 * Sixth, 10 + 5 * Sixth, 10, 10, 384},
    {"integer zoom truncates, level rounds", 10.95, 10.95, 10, 11, 215},
    {"next level", 11.0, 11.0, 11, 11, 224},
    {"just above min - 1/12", 9.917, 9.917, 9, 10, 209},
    {"below native, not clamped", 9.95, 9.95, 9, 10, 215},
    {"just below max + 11/12", 17.9166, 17.9166, 17, 17, 400},
    {"above max clamps", 18.0, 17 + 5 * Sixth, 17, 17, 384},
    {"far above max", 1e300, 17 + 5 * Sixth, 17, 17, 384},
    {"below min clamps", 9.0, 10.0, 10, 10, 224},
    {"far below min", -1e300, 10.0, 10, 10, 224},
};
// clang-format on

// The signals of setZoom(int) in their order.
// clang-format off
const struct { const char *name; double start; int request; QStringList expected; } signalRows[] = {
    {"new level", 10 + Sixth, 12, {"int 12", "double 12.1667"}},
    {"the level shown: nothing", 12.5, 12, {}},
    {"clamped from 15", 15 + Sixth, 20, {"int 17", "double 17.8333", "int 17"}},
    {"clamped at the maximum", 17 + Sixth, 20, {"double 17.8333", "int 17"}},
    {"clamped below", 12 + Sixth, 3, {"int 10", "double 10", "int 10"}},
};
// clang-format on

// A NaN or infinite zoom changes nothing; opacity is clamped to [0, 1], NaN ignored.
// clang-format off
const struct { const char *name; double zoom, opacity, storedOpacity; } inputRows[] = {
    {"nan", NaN, NaN, 0.5},
    {"+inf, opacity above 1", Inf, 2.0, 1.0},
    {"-inf, opacity below 0", -Inf, -1.0, 0.0},
    {"opacity inside", NaN, 0.3, 0.3},
};
// clang-format on

// The row under the viewport's top-left pixel (-1: the city's), or the nearest row of the
// grid when the view looks past the poles; levels down to 0 when the host allows them.
// clang-format off
const struct { const char *name; double lat; int level, row; } rowHeightRows[] = {
    {"city at 10", 59.94, 10, -1},
    {"north pole", 90.0, 12, 0},
    {"past the north pole", 140.0, 17, 0},
    {"past the south pole", -170.0, 11, 2047},
    {"world at level 0", 300.0, 0, 0},
    {"world at level 2", -300.0, 2, 3},
};
// clang-format on

} // namespace

class tst_ZoomModel : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void defaults();
    void zoomModel_data() { addRows(zoomRows); }
    void zoomModel();
    void signalOrder_data() { addRows(signalRows); }
    void signalOrder();
    void receiverSettingSameLevelReturnsAtOnce();
    void nonFiniteAndClampedInput_data() { addRows(inputRows); }
    void nonFiniteAndClampedInput();
    void rowHeightMeasuredOnARealRow_data() { addRows(rowHeightRows); }
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
    // What a host, a script or Designer finds in the meta-object, in order.
    const QMetaObject *meta = view.metaObject();
    QStringList slotList, properties;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
        if (meta->method(i).methodType() == QMetaMethod::Slot)
            slotList << QString::fromLatin1(meta->method(i).methodSignature());
    }
    for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i)
        properties << QString::fromLatin1(meta->property(i).name());
    QCOMPARE(slotList,
             QStringList({"fitItem(QGraphicsItem*)", "fitRect(QRectF)", "fitInViewZ(QRectF,int)",
                          "setZoom(int)", "setZoom(double)", "setImagePath(QString)",
                          "setOpacity(double)", "tileServerReply(QNetworkReply*)",
                          "loadPreset(double,double,double)", "setCenter(QPointF)"}));
    QCOMPARE(properties,
             QStringList({"zoom", "zoomMax", "zoomMin", "zoomF", "imagePath", "opacity",
                          "operationWidget", "tileServerUrl", "enableTileDownload",
                          "enableRightPane", "dumpServerExchange", "prefetch", "userAgent",
                          "maxTileAge"}));
    // Opening a source nudges the zoom by 0.0001, which repaints and reports it.
    QSignalSpy zooms(&view, QOverload<double>::of(&OsmView::zoomChanged));
    view.setImagePath(QString());
    QCOMPARE(view.zoomF(), 10 + Sixth + 0.0001);
    QCOMPARE(zooms.count(), 1);
}

void tst_ZoomModel::zoomModel()
{
    QFETCH(int, row);
    const auto &t = zoomRows[row];
    OsmView view;
    view.resize(640, 480);
    view.setZoom(13.5); // start away from every row
    view.setZoom(t.requested);
    QCOMPARE(view.zoomF(), t.stored);
    QCOMPARE(view.zoom(), t.zoom);
    QCOMPARE(levelOf(view), t.level);
    QVERIFY2(qAbs(pixelsPerTile(view) - t.px) < 1e-6,
             qPrintable(QString::number(pixelsPerTile(view))));
    QVERIFY(view.transform().m22() < 0); // north up
}

void tst_ZoomModel::signalOrder()
{
    QFETCH(int, row);
    const auto &t = signalRows[row];
    OsmView view;
    view.setZoom(t.start);
    QStringList seen;
    connect(&view, QOverload<int>::of(&OsmView::zoomChanged), this,
            [&](int z) { seen << QStringLiteral("int %1").arg(z); });
    connect(&view, QOverload<double>::of(&OsmView::zoomChanged), this,
            [&](double z) { seen << QStringLiteral("double %1").arg(z); });
    view.setZoom(t.request);
    QCOMPARE(seen, t.expected);
}

void tst_ZoomModel::receiverSettingSameLevelReturnsAtOnce()
{
    // A zoom slider follows zoomChanged(int) and calls setZoom(int) back with the level
    // it was given, from within the emission.
    OsmView view;
    int calls = 0;
    connect(&view, QOverload<int>::of(&OsmView::zoomChanged), this,
            [&](int z) { ++calls, view.setZoom(z); });
    QSignalSpy zooms(&view, QOverload<double>::of(&OsmView::zoomChanged));
    view.setZoom(14.5);
    QCOMPARE(calls, 1);
    QCOMPARE(zooms.count(), 1);
    QCOMPARE(view.zoomF(), 14.5);
}

void tst_ZoomModel::nonFiniteAndClampedInput()
{
    QFETCH(int, row);
    const auto &t = inputRows[row];
    OsmView view;
    const QTransform before = view.transform();
    QSignalSpy levels(&view, QOverload<int>::of(&OsmView::zoomChanged));
    QSignalSpy zooms(&view, QOverload<double>::of(&OsmView::zoomChanged));
    view.setZoom(t.zoom);
    view.setOpacity(t.opacity);
    QCOMPARE(view.zoomF(), 10 + Sixth);
    QCOMPARE(view.transform(), before);
    QCOMPARE(view.opacity(), t.storedOpacity);
    QCOMPARE(levels.count() + zooms.count(), 0);
}

void tst_ZoomModel::rowHeightMeasuredOnARealRow()
{
    QFETCH(int, row);
    const auto &t = rowHeightRows[row];
    QGraphicsScene scene(-720, -720, 1440, 1440);
    OsmView view(&scene, nullptr);
    view.resize(400, 300);
    view.setZoomMin(0);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.setZoom(t.level + 0.5);
    view.centerOn(30.3, t.lat);
    const double topLat = view.mapToScene(QPoint(0, 0)).y();
    view.setZoom(t.level + 0.9);
    const int measured = t.row < 0 ? latToTileY(topLat, t.level) : t.row;
    const double expected = tileYToLat(measured + 1, t.level) - tileYToLat(measured, t.level);
    const double px = 224 + int(0.9 * 192 + 0.5);
    QVERIFY2(qAbs(px / view.transform().m22() - expected) < 1e-9 * qAbs(expected),
             qPrintable(QString::number(px / view.transform().m22())));
    QVERIFY(qAbs(view.transform().m11() - px / (360.0 / (1 << t.level))) < 1e-9);
}

QTEST_MAIN(tst_ZoomModel)
#include "tst_zoommodel.moc"

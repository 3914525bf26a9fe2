#include "MapFixture.h"
#include "OsmView.h"
#include "RowTable.h"
#include "WaitFor.h"

#include <QtTest/QtTest>
#include <QtWidgets/QGraphicsRectItem>
#include <QtWidgets/QSlider>

#include <algorithm>
#include <limits>
#include <vector>

namespace {

constexpr double Sixth = 0.16666666666666666;
constexpr double Z = 14 + Sixth;
const double NaN = std::numeric_limits<double>::quiet_NaN();
const double Inf = std::numeric_limits<double>::infinity();

QPointF centre(const OsmView &view)
{
    return view.mapToScene(view.viewport()->rect().center());
}

void move(QWidget *viewport, QPoint to, Qt::MouseButtons buttons,
          Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QMouseEvent event(QEvent::MouseMove, QPointF(to), QPointF(viewport->mapToGlobal(to)),
                      Qt::NoButton, buttons, modifiers);
    QApplication::sendEvent(viewport, &event);
}

bool near(QPointF a, QPointF b, double tolerance)
{
    return qAbs(a.x() - b.x()) <= tolerance && qAbs(a.y() - b.y()) <= tolerance;
}

// A wheel turned or a touchpad swiped by this angle (eighths of a degree per axis). At
// the maximum the zoom stays and is still reported.
// clang-format off
const struct { const char *name; double start; QVector<QPoint> turns; double expected; } wheelRows[] = {
    {"vertical notch", Z, {{0, 120}}, Z + Sixth},
    {"horizontal notch", Z, {{120, 0}}, Z + Sixth},
    {"diagonal goes by its larger axis", Z, {{120, 40}}, Z + Sixth},
    {"diagonal against the vertical", Z, {{-120, 40}}, Z - Sixth},
    {"diagonal tie goes by the vertical", Z, {{-96, 96}}, Z + 96 / 720.0},
    {"touchpad eighth of a notch", Z, {{0, 15}}, Z + 15 / 720.0},
    {"five notches reach the next level", Z, QVector<QPoint>(5, {0, 120}), Z + 5 * Sixth},
    {"at the maximum it stays", 17 + 5 * Sixth, {{0, 120}}, 17 + 5 * Sixth},
};
// clang-format on

// What the viewport gets from the platform for one turn, on Qt 5 and Qt 6 alike: an
// event with both deltas and, for a turn on two axes, one with none after it.
void turnWheel(QWidget *viewport, QPoint angle)
{
    const QPoint at(100, 100);
    const QPoint deltas[] = {angle, QPoint()};
    const int events = angle.x() != 0 && angle.y() != 0 ? 2 : 1;
    for (int i = 0; i < events; ++i) {
        QWheelEvent event(QPointF(at), QPointF(viewport->mapToGlobal(at)), QPoint(), deltas[i],
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(viewport, &event);
    }
}

// How: 'r' fitRect, 'i' fitItem, 'n' fitItem(nullptr), 'z' fitInViewZ up to `max`,
// 'p' loadPreset at `expected`. The target starts on a pixel of the 600 x 400 viewport at
// level 14, `pixels` wide and high; it is measured counting its first and last pixel,
// so 239 pixels wide takes 240 and fits at 14 + log2(600 / 240). `zoomMax` 0 keeps 17.
// NaN expected: nothing changes.
const double Fitted = std::log2(2.5) + 14; // zoomF 14 + 1/6 less the native 1/6
// clang-format off
const struct { const char *name; char how; QSizeF pixels; int max, zoomMax; double expected; } fitRows[] = {
    {"null item ignored", 'n', {}, 0, 0, NaN},
    {"point item ignored", 'i', {0, 0}, 0, 0, NaN},
    {"infinite rectangle ignored", 'r', {Inf, 40}, 0, 0, NaN},
    {"NaN rectangle ignored", 'r', {40, NaN}, 0, 0, NaN},
    {"NaN rectangle at a bounded level ignored", 'z', {NaN, 40}, 15, 0, NaN},
    {"rectangle", 'r', {239, 39}, 0, 0, Fitted},
    {"item", 'i', {39, 159}, 0, 0, Fitted},
    {"horizontal line fits its width", 'r', {239, 0}, 0, 0, Fitted},
    {"vertical line item fits its height", 'i', {0, 159}, 0, 0, Fitted},
    {"point is one pixel", 'r', {0, 0}, 0, 30, 14 + std::log2(400)},
    {"point clamped to the largest zoom", 'r', {0, 0}, 0, 0, 17 + 5 * Sixth},
    {"huge finite rectangle", 'r', {1e300, 1e300}, 0, 0, 10.0},
    {"point at a bounded level", 'z', {0, 0}, 15, 0, 15 + Sixth},
    {"point above the maximum level", 'z', {0, 0}, 30, 0, 17 + 5 * Sixth},
    {"level that fits", 'z', {239, 39}, 17, 0, 15 + Sixth},
    {"bounded level", 'z', {239, 39}, 13, 0, 13 + Sixth},
    {"bound below the minimum lands on it", 'z', {239, 39}, 5, 0, 10.0},
    {"preset lands exactly, close first", 'p', {239, 39}, 0, 0, 14.1667},
};
// clang-format on

} // namespace

class tst_Navigation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void wheel_data() { addRows(wheelRows); }
    void wheel();
    void middleDragPansInNoDrag();
    void shiftRubberBandStartsOnSelectableItem();
    void hostSignalsAndSlots();
    void fits();
    void zoomMaxBelowLevel();
};

void tst_Navigation::wheel()
{
    QFETCH(int, row);
    const auto &t = wheelRows[row];
    MapFixture s(14, QSize(600, 400));
    s.view->setZoom(t.start);
    s.view->centerOn(30.3, 59.94);
    QSignalSpy zooms(s.view.get(), QOverload<double>::of(&OsmView::zoomChanged));
    for (QPoint turn : t.turns)
        turnWheel(s.view->viewport(), turn);
    QVERIFY2(qAbs(s.view->zoomF() - t.expected) < 1e-12,
             qPrintable(QString::number(s.view->zoomF())));
    QCOMPARE(zooms.count(), t.turns.size());                    // reported even when clamped
    QVERIFY(near(centre(*s.view), QPointF(30.3, 59.94), 0.01)); // the wheel never scrolls
}

void tst_Navigation::middleDragPansInNoDrag()
{
    MapFixture s(14, QSize(600, 400));
    OsmView &view = *s.view;
    QWidget *viewport = view.viewport();
    QSignalSpy presses(&view, &OsmView::mousePress), moves(&view, &OsmView::mouseMove);
    QSignalSpy releases(&view, &OsmView::mouseRelease), buttons(&view, &OsmView::mouseReleased);

    const QPointF pressedAt = view.mapToScene(QPoint(300, 200));
    QTest::mousePress(viewport, Qt::MiddleButton, Qt::NoModifier, QPoint(300, 200));
    QVERIFY(!view.isInteractive());
    QCOMPARE(view.dragMode(), QGraphicsView::ScrollHandDrag);
    move(viewport, QPoint(340, 230), Qt::MiddleButton);
    move(viewport, QPoint(380, 260), Qt::MiddleButton);
    QTest::mouseRelease(viewport, Qt::MiddleButton, Qt::NoModifier, QPoint(380, 260));

    // The map followed the hand: the scene point under the press is under the release.
    QVERIFY(near(view.mapToScene(QPoint(380, 260)), pressedAt, 1e-3));
    QCOMPARE(view.dragMode(), QGraphicsView::NoDrag);
    QVERIFY(view.isInteractive());
    QVERIFY(presses.size() == 1 && presses.first().first().toPointF() == pressedAt);
    QCOMPARE(moves.size(), 2);
    QVERIFY(releases.size() == 1 && near(releases.first().first().toPointF(), pressedAt, 1e-3));
    QVERIFY(buttons.size() == 1 && buttons.first().first() == int(Qt::MiddleButton));
    // After the pan a plain move does not scroll.
    const QPointF after = centre(view);
    move(viewport, QPoint(100, 100), Qt::NoButton);
    QVERIFY(near(centre(view), after, 1e-9));
    // A host's own non-interactive view: a plain click changes neither its mode nor that.
    view.setInteractive(false);
    view.setDragMode(QGraphicsView::RubberBandDrag);
    QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
    QVERIFY(!view.isInteractive() && view.dragMode() == QGraphicsView::RubberBandDrag);
}

void tst_Navigation::shiftRubberBandStartsOnSelectableItem()
{
    MapFixture s(14, QSize(600, 400));
    auto addItem = [&](QPoint a, QPoint b) {
        auto *item = s.scene.addRect(
            QRectF(s.view->mapToScene(a), s.view->mapToScene(b)).normalized(), Qt::NoPen, Qt::red);
        item->setFlag(QGraphicsItem::ItemIsSelectable);
        return item;
    };
    auto *start = addItem(QPoint(200, 150), QPoint(230, 180));
    auto *inside = addItem(QPoint(300, 220), QPoint(320, 240));
    s.view->setDragMode(QGraphicsView::ScrollHandDrag);

    QWidget *viewport = s.view->viewport();
    QTest::mousePress(viewport, Qt::LeftButton, Qt::ShiftModifier, QPoint(215, 165));
    QCOMPARE(s.view->dragMode(), QGraphicsView::RubberBandDrag);
    move(viewport, QPoint(280, 200), Qt::LeftButton, Qt::ShiftModifier);
    move(viewport, QPoint(350, 260), Qt::LeftButton, Qt::ShiftModifier);
    QTest::mouseRelease(viewport, Qt::LeftButton, Qt::ShiftModifier, QPoint(350, 260));

    QVERIFY(inside->isSelected());
    QCOMPARE(s.view->dragMode(), QGraphicsView::ScrollHandDrag);
    // A plain click still selects the item: it stayed selectable.
    s.scene.clearSelection();
    s.view->setDragMode(QGraphicsView::NoDrag);
    QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, QPoint(215, 165));
    QVERIFY(start->isSelected());
    QCOMPARE(s.scene.mouseGrabberItem(), nullptr); // the release reached the scene too
    // From a spot where there is no item, the band starts all the same.
    QTest::mousePress(viewport, Qt::LeftButton, Qt::ShiftModifier, QPoint(20, 20));
    QCOMPARE(s.view->dragMode(), QGraphicsView::RubberBandDrag);
    QTest::mouseRelease(viewport, Qt::LeftButton, Qt::ShiftModifier, QPoint(20, 20));
    QCOMPARE(s.view->dragMode(), QGraphicsView::NoDrag);
}

void tst_Navigation::hostSignalsAndSlots()
{
    MapFixture s(14, QSize(600, 400));
    s.view->setCenter(QPointF(30.31, 59.95));
    QVERIFY(near(centre(*s.view), QPointF(30.31, 59.95), 1e-3));
    s.view->setCenter(QPointF(NaN, 59.0)); // no point: the view stays
    QVERIFY(near(centre(*s.view), QPointF(30.31, 59.95), 1e-3));
    QSignalSpy pressed(s.view.get(), &OsmView::keyPressed);
    QSignalSpy released(s.view.get(), &OsmView::keyReleased);
    QTest::keyPress(s.view.get(), Qt::Key_A, Qt::ShiftModifier);
    QTest::keyRelease(s.view.get(), Qt::Key_Escape, Qt::ControlModifier);
    QCOMPARE(pressed.last(), (QVariantList{int(Qt::Key_A), int(Qt::ShiftModifier)}));
    QVERIFY(released.contains(QVariantList{int(Qt::Key_Escape), int(Qt::ControlModifier)}));
}

// One view per row, all asked at once, so the fitting delay is waited out once.
void tst_Navigation::fits()
{
    struct Fit
    {
        MapFixture map{14, QSize(600, 400)};
        QRectF target;
        int awaited = 0;
        QSignalSpy zooms{map.view.get(), QOverload<double>::of(&OsmView::zoomChanged)};
    };
    const int n = int(std::size(fitRows));
    std::vector<Fit> fits(n);
    for (int i = 0; i < n; ++i) {
        const auto &t = fitRows[i];
        OsmView &view = *fits[i].map.view;
        if (t.zoomMax)
            view.setZoomMax(t.zoomMax);
        const QSizeF degrees(t.pixels.width() / view.transform().m11(),
                             t.pixels.height() / view.transform().m22());
        const QRectF target = fits[i].target = QRectF(view.mapToScene(QPoint(150, 120)), degrees);
        if (t.how == 'r')
            view.fitRect(target);
        else if (t.how == 'i')
            view.fitItem(fits[i].map.scene.addRect(target, Qt::NoPen));
        else if (t.how == 'n')
            view.fitItem(nullptr);
        else if (t.how == 'z')
            view.fitInViewZ(target, t.max);
        else
            view.loadPreset(target.center().x(), target.center().y(), t.expected);
        // Only fitInViewZ acts at once; the others wait for the event loop.
        QVERIFY2(fits[i].zooms.count() == (t.how == 'z' && !qIsNaN(t.expected)), t.name);
        fits[i].awaited = qIsNaN(t.expected) ? 0 : t.how == 'p' ? 2 : 1;
    }
    // The ignored rows came first: a fitting delay started by one of them would run out
    // before those of the rows that land.
    const auto landed = [&] {
        return std::all_of(fits.begin(), fits.end(),
                           [](const Fit &f) { return f.zooms.count() >= f.awaited; });
    };
    QVERIFY(waitFor([&] { return landed(); }));
    for (int i = 0; i < n; ++i) {
        const auto &t = fitRows[i];
        const OsmView &view = *fits[i].map.view;
        const QString zoom = QStringLiteral("%1: %2").arg(t.name).arg(view.zoomF(), 0, 'g', 17);
        if (qIsNaN(t.expected)) {
            QVERIFY2(fits[i].zooms.isEmpty() && view.zoomF() == Z, qPrintable(zoom));
            continue;
        }
        QVERIFY2(qAbs(view.zoomF() - t.expected) < 1e-9, qPrintable(zoom));
        QVERIFY2(t.how != 'p'
                     || qAbs(fits[i].zooms.first().first().toDouble() - t.expected - 0.001) < 1e-12,
                 t.name);
        if (t.pixels.width() < 1e6)
            QVERIFY2(near(centre(view), fits[i].target.center(), 3 / view.transform().m11()),
                     t.name);
    }
}

void tst_Navigation::zoomMaxBelowLevel()
{
    // The operations pane's slider is found by name and pulls the view along; without a
    // slider of that name the view keeps its level.
    for (bool withSlider : {false, true}) {
        MapFixture s(14, QSize(600, 400));
        auto *slider = s.view->findChild<QSlider *>(QStringLiteral("sldZoom"));
        if (!withSlider)
            slider->setObjectName(QString());
        s.view->setZoom(15);
        s.view->setZoomMax(12);
        QCOMPARE(s.view->zoomMax(), 12);
        QCOMPARE(s.view->zoomF(), (withSlider ? 12 : 15) + Sixth);
        QCOMPARE(slider->maximum(), withSlider ? 12 : 17);
    }
}

QTEST_MAIN(tst_Navigation)
#include "tst_navigation.moc"

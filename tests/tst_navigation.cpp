#include "OsmView.h"
#include "ViewProbe.h"

#include <QtTest/QtTest>
#include <QtWidgets/QGraphicsRectItem>
#include <QtWidgets/QGraphicsScene>
#include <QtWidgets/QSlider>

namespace {

constexpr double Sixth = 0.16666666666666666;

struct Shown
{
    Shown() : scene(-180, -85, 360, 170), view(&scene, nullptr)
    {
        view.resize(600, 400);
        view.show();
        exposed = QTest::qWaitForWindowExposed(&view);
        // Rows take their height from where the view stands when the zoom changes.
        view.centerOn(30.3, 59.94);
        view.setZoom(14 + Sixth);
        view.centerOn(30.3, 59.94);
    }

    QPointF centre() const { return view.mapToScene(view.viewport()->rect().center()); }

    QGraphicsScene scene;
    OsmView view;
    bool exposed = false;
};

void wheel(QWidget *viewport, int delta, QPoint at = QPoint(100, 100))
{
    QWheelEvent event(QPointF(at), QPointF(viewport->mapToGlobal(at)), QPoint(), QPoint(0, delta),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewport, &event);
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

} // namespace

class tst_Navigation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void wheelNotches();
    void wheelAtMaximumStillReports();
    void middleDragPansInNoDrag();
    void shiftRubberBandStartsOnSelectableItem();
    void keySignals();
    void fitRectAfterTimer();
    void fitItemAndDegenerateFits_data();
    void fitItemAndDegenerateFits();
    void fitInViewZBoundedByMaximum_data();
    void fitInViewZBoundedByMaximum();
    void loadPresetLandsExactly();
    void zoomMaxBelowLevel();
};

void tst_Navigation::wheelNotches()
{
    Shown s;
    QVERIFY(s.exposed);
    QWidget *viewport = s.view.viewport();
    wheel(viewport, 120);
    QCOMPARE(s.view.zoomF(), 14 + 2 * Sixth);
    QCOMPARE(qRound(s.view.transform().m11() * 360.0 / (1 << 14)), 288);
    QSignalSpy levels(&s.view, QOverload<int>::of(&OsmView::zoomChanged));
    for (int i = 0; i < 4; ++i)
        wheel(viewport, 120);
    QCOMPARE(ViewProbe::level(s.view), 15);
    QCOMPARE(qRound(s.view.transform().m11() * 360.0 / (1 << 15)), 224);
    QCOMPARE(levels.count(), 1);
    wheel(viewport, -120);
    QVERIFY(qAbs(s.view.zoomF() - (14 + 5 * Sixth)) < 1e-12);
    const double before = s.view.zoomF();
    wheel(viewport, 60); // half a notch
    QVERIFY(qAbs(s.view.zoomF() - (before + 1.0 / 12)) < 1e-12);
    // The wheel never scrolls.
    QVERIFY(near(s.centre(), QPointF(30.3, 59.94), 0.01));
}

void tst_Navigation::wheelAtMaximumStillReports()
{
    Shown s;
    s.view.setZoom(17 + 5 * Sixth);
    QSignalSpy zooms(&s.view, QOverload<double>::of(&OsmView::zoomChanged));
    wheel(s.view.viewport(), 120);
    QCOMPARE(s.view.zoomF(), 17 + 5 * Sixth);
    QCOMPARE(zooms.count(), 1);
}

void tst_Navigation::middleDragPansInNoDrag()
{
    Shown s;
    s.view.setZoom(14.1667);
    s.view.centerOn(30.3, 59.94);
    QWidget *viewport = s.view.viewport();
    QCOMPARE(s.view.dragMode(), QGraphicsView::NoDrag);

    QList<QPointF> presses, moves, releases;
    QList<int> buttons;
    connect(&s.view, &OsmView::mousePress, this, [&](QPointF p) { presses << p; });
    connect(&s.view, &OsmView::mouseMove, this, [&](QPointF p) { moves << p; });
    connect(&s.view, &OsmView::mouseRelease, this, [&](QPointF p) { releases << p; });
    connect(&s.view, &OsmView::mouseReleased, this, [&](int b, QPointF) { buttons << b; });

    const QPointF before = s.centre();
    const QPointF pressedAt = s.view.mapToScene(QPoint(300, 200));
    QTest::mousePress(viewport, Qt::MiddleButton, Qt::NoModifier, QPoint(300, 200));
    QVERIFY(!s.view.isInteractive());
    QCOMPARE(s.view.dragMode(), QGraphicsView::ScrollHandDrag);
    move(viewport, QPoint(340, 230), Qt::MiddleButton);
    move(viewport, QPoint(380, 260), Qt::MiddleButton);
    QTest::mouseRelease(viewport, Qt::MiddleButton, Qt::NoModifier, QPoint(380, 260));

    // The map followed the hand: the scene point under the press is under the release.
    QVERIFY(near(s.view.mapToScene(QPoint(380, 260)), pressedAt, 1e-3));
    QVERIFY(!near(s.centre(), before, 1e-3));
    QCOMPARE(s.view.dragMode(), QGraphicsView::NoDrag);
    QVERIFY(s.view.isInteractive());

    QCOMPARE(presses, QList<QPointF>{pressedAt});
    QCOMPARE(moves.size(), 2);
    QCOMPARE(releases.size(), 1);
    QVERIFY(near(releases.first(), pressedAt, 1e-3));
    QCOMPARE(buttons, QList<int>{4});

    // After the pan a plain move does not scroll.
    const QPointF after = s.centre();
    move(viewport, QPoint(100, 100), Qt::NoButton);
    QVERIFY(near(s.centre(), after, 1e-9));
}

void tst_Navigation::shiftRubberBandStartsOnSelectableItem()
{
    Shown s;
    s.view.setZoom(14.1667);
    s.view.centerOn(30.3, 59.94);
    const QPointF a = s.view.mapToScene(QPoint(200, 150));
    const QPointF b = s.view.mapToScene(QPoint(230, 180));
    auto *start = s.scene.addRect(QRectF(a, b).normalized(), Qt::NoPen, Qt::red);
    start->setFlag(QGraphicsItem::ItemIsSelectable);
    const QPointF c = s.view.mapToScene(QPoint(300, 220));
    const QPointF e = s.view.mapToScene(QPoint(320, 240));
    auto *inside = s.scene.addRect(QRectF(c, e).normalized(), Qt::NoPen, Qt::blue);
    inside->setFlag(QGraphicsItem::ItemIsSelectable);
    s.view.setDragMode(QGraphicsView::ScrollHandDrag);

    QWidget *viewport = s.view.viewport();
    QTest::mousePress(viewport, Qt::LeftButton, Qt::ShiftModifier, QPoint(215, 165));
    QCOMPARE(s.view.dragMode(), QGraphicsView::RubberBandDrag);
    move(viewport, QPoint(280, 200), Qt::LeftButton, Qt::ShiftModifier);
    move(viewport, QPoint(350, 260), Qt::LeftButton, Qt::ShiftModifier);
    QTest::mouseRelease(viewport, Qt::LeftButton, Qt::ShiftModifier, QPoint(350, 260));

    QVERIFY(inside->isSelected());
    QVERIFY(start->flags() & QGraphicsItem::ItemIsSelectable);
    QCOMPARE(s.view.dragMode(), QGraphicsView::ScrollHandDrag);
    // A plain click still selects the item: it stayed selectable.
    s.scene.clearSelection();
    s.view.setDragMode(QGraphicsView::NoDrag);
    QTest::mouseClick(viewport, Qt::LeftButton, Qt::NoModifier, QPoint(215, 165));
    QVERIFY(start->isSelected());
}

void tst_Navigation::keySignals()
{
    Shown s;
    QSignalSpy pressed(&s.view, &OsmView::keyPressed);
    QSignalSpy released(&s.view, &OsmView::keyReleased);
    QTest::keyPress(&s.view, Qt::Key_A, Qt::ShiftModifier);
    QTest::keyRelease(&s.view, Qt::Key_Escape, Qt::ControlModifier);
    // QTest presses the modifier keys too; those are reported like any other key.
    QVERIFY(pressed.contains(QVariantList{int(Qt::Key_Shift), int(Qt::ShiftModifier)}));
    QCOMPARE(pressed.last(), (QVariantList{int(Qt::Key_A), int(Qt::ShiftModifier)}));
    QVERIFY(released.contains(QVariantList{int(Qt::Key_Escape), int(Qt::ControlModifier)}));
}

void tst_Navigation::fitRectAfterTimer()
{
    Shown s;
    const QRectF target(30.29, 59.945, 0.02, -0.01);
    const double before = s.view.zoomF();
    s.view.fitRect(target);
    QCOMPARE(s.view.zoomF(), before); // not at once
    QTRY_VERIFY_WITH_TIMEOUT(s.view.zoomF() != before, 3000);
    QVERIFY(near(s.centre(), target.center(), 0.001));
    const QRect onScreen = s.view.mapFromScene(target).boundingRect();
    QVERIFY(s.view.viewport()->rect().adjusted(-2, -2, 2, 2).contains(onScreen));
    // It nearly fills the viewport in one direction: tile sizes grow linearly within
    // a level, so a fractional fit is close but not exact.
    QVERIFY(onScreen.width() >= s.view.viewport()->width() * 0.85
            || onScreen.height() >= s.view.viewport()->height() * 0.85);
}

void tst_Navigation::fitItemAndDegenerateFits_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("item") << 0;
    QTest::newRow("null item") << 1;
    QTest::newRow("point-sized item") << 2;
    QTest::newRow("empty rectangle") << 3;
    QTest::newRow("rectangle of nan") << 4;
}

void tst_Navigation::fitItemAndDegenerateFits()
{
    QFETCH(int, kind);
    Shown s;
    const double before = s.view.zoomF();
    QSignalSpy zooms(&s.view, QOverload<double>::of(&OsmView::zoomChanged));
    switch (kind) {
    case 0:
        s.view.fitItem(s.scene.addRect(QRectF(30.3, 59.94, 0.005, 0.002), Qt::NoPen));
        QTRY_COMPARE_WITH_TIMEOUT(zooms.count(), 1, 3000);
        QVERIFY(near(s.centre(), QPointF(30.3025, 59.941), 1e-4));
        QVERIFY(s.view.zoomF() > before);
        return;
    case 1:
        s.view.fitItem(nullptr);
        break;
    case 2:
        s.view.fitItem(s.scene.addRect(QRectF(30.0, 59.9, 0, 0), Qt::NoPen));
        break;
    case 3:
        s.view.fitRect(QRectF(30.0, 59.9, 0.2, 0));
        s.view.fitInViewZ(QRectF(30.0, 59.9, 0, 0), 17);
        break;
    case 4:
        s.view.fitRect(QRectF(qQNaN(), 59.9, 0.2, 0.1));
        s.view.fitInViewZ(QRectF(30, 59.9, qInf(), 0.1), 17);
        break;
    }
    QTest::qWait(450); // past the fitting delay
    QCOMPARE(zooms.count(), 0);
    QCOMPARE(s.view.zoomF(), before);
}

void tst_Navigation::fitInViewZBoundedByMaximum_data()
{
    QTest::addColumn<int>("maxZoom");
    QTest::addColumn<int>("expected");
    QTest::newRow("fits at 15") << 17 << 15;
    QTest::newRow("bounded by 13") << 13 << 13;
    QTest::newRow("bound below the minimum") << 5 << 10;
    QTest::newRow("bound above the maximum") << 30 << 15;
}

void tst_Navigation::fitInViewZBoundedByMaximum()
{
    QFETCH(int, maxZoom);
    QFETCH(int, expected);
    Shown s;
    // Four tenths of the viewport's width at level 14: it fits at 15 but not at 16.
    const double width = s.view.viewport()->width() * 0.4 / s.view.transform().m11();
    const QRectF target(30.31, 59.945, width, -0.0001);
    s.view.fitInViewZ(target, maxZoom);
    // A request below the minimum lands on the minimum itself.
    QCOMPARE(s.view.zoomF(), expected == 10 ? 10.0 : expected + Sixth);
    // Scroll bars centre to whole pixels.
    QVERIFY(near(s.centre(), target.center(), 3 / s.view.transform().m11()));
}

void tst_Navigation::loadPresetLandsExactly()
{
    Shown s;
    QSignalSpy zooms(&s.view, QOverload<double>::of(&OsmView::zoomChanged));
    s.view.loadPreset(30.5, 59.9, 14.1667);
    QCOMPARE(zooms.count(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!zooms.isEmpty(), 2000);
    QVERIFY(qAbs(s.view.zoomF() - 14.1677) < 1e-9); // close first
    QTRY_COMPARE_WITH_TIMEOUT(s.view.zoomF(), 14.1667, 3000);
    QVERIFY(near(s.centre(), QPointF(30.5, 59.9), 1e-3));
    QCOMPARE(s.view.transformationAnchor(), QGraphicsView::AnchorViewCenter);
}

void tst_Navigation::zoomMaxBelowLevel()
{
    {
        // Without a slider of that name the view keeps its level.
        Shown s;
        s.view.findChild<QSlider *>(QStringLiteral("sldZoom"))->setObjectName(QString());
        s.view.setZoom(15);
        s.view.setZoomMax(12);
        QCOMPARE(s.view.zoomMax(), 12);
        QCOMPARE(s.view.zoomF(), 15 + Sixth);
    }
    {
        // The operations pane's slider is found by name and pulls the view along.
        Shown s;
        auto *slider = s.view.findChild<QSlider *>(QStringLiteral("sldZoom"));
        QVERIFY(slider);
        s.view.setZoom(15);
        QCOMPARE(slider->value(), 15);
        s.view.setZoomMax(12);
        QCOMPARE(slider->maximum(), 12);
        QCOMPARE(s.view.zoomF(), 12 + Sixth);
        s.view.setZoomMin(11);
        QCOMPARE(slider->minimum(), 11);
    }
}

QTEST_MAIN(tst_Navigation)
#include "tst_navigation.moc"

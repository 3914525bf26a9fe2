#include "OsmView.h"

#include <QtTest/QtTest>

#include "QuickTry.h"
#include <QtWidgets/QGraphicsRectItem>
#include <QtWidgets/QGraphicsScene>
#include <QtWidgets/QSlider>

#include <limits>

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

// A wheel event as the platform delivers it: both deltas, and the one-axis delta of
// the axis this event stands for (a diagonal scroll comes as two such events).
struct Wheel
{
    QPoint angle;
    int delta;
    Qt::Orientation orientation;
};

} // namespace

Q_DECLARE_METATYPE(QVector<Wheel>)

class tst_Navigation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void wheel_data();
    void wheel();
    void middleDragPansInNoDrag();
    void shiftRubberBandStartsOnSelectableItem();
    void keySignals();
    void fits_data();
    void fits();
    void degenerateFitsDoNothing();
    void fitInViewZBoundedByMaximum_data();
    void fitInViewZBoundedByMaximum();
    void loadPresetLandsExactly();
    void zoomMaxBelowLevel();
};

void tst_Navigation::wheel_data()
{
    QTest::addColumn<double>("start");
    QTest::addColumn<QVector<Wheel>>("events");
    QTest::addColumn<double>("expected");
    const double z = 14 + Sixth;
    QTest::newRow("vertical notch") << z << QVector<Wheel>{{{0, 120}, 120, Qt::Vertical}} << z + Sixth;
    QTest::newRow("horizontal notch") << z << QVector<Wheel>{{{120, 0}, 120, Qt::Horizontal}} << z + Sixth;
    QTest::newRow("both axes, one event: its own axis") << z << QVector<Wheel>{{{240, -120}, -120, Qt::Vertical}} << z - Sixth;
    QTest::newRow("diagonal as two events zooms by both") << z << QVector<Wheel>{{{120, 40}, 40, Qt::Vertical}, {{0, 0}, 120, Qt::Horizontal}} << z + 160 / 720.0;
    QTest::newRow("diagonal against the vertical") << z << QVector<Wheel>{{{-120, 40}, 40, Qt::Vertical}, {{0, 0}, -120, Qt::Horizontal}} << z - 80 / 720.0;
    QTest::newRow("touchpad eighth of a notch") << z << QVector<Wheel>{{{0, 15}, 15, Qt::Vertical}} << z + 15 / 720.0;
    QTest::newRow("five notches reach the next level") << z << QVector<Wheel>(5, {{0, 120}, 120, Qt::Vertical}) << z + 5 * Sixth;
    QTest::newRow("at the maximum it stays") << 17 + 5 * Sixth << QVector<Wheel>{{{0, 120}, 120, Qt::Vertical}} << 17 + 5 * Sixth;
}

void tst_Navigation::wheel()
{
    QFETCH(double, start);
    QFETCH(QVector<Wheel>, events);
    QFETCH(double, expected);
    Shown s;
    s.view.setZoom(start);
    s.view.centerOn(30.3, 59.94);
    QSignalSpy zooms(&s.view, QOverload<double>::of(&OsmView::zoomChanged));
    QWidget *viewport = s.view.viewport();
    const QPoint at(100, 100);
    for (const Wheel &w : events) {
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        QWheelEvent event(QPointF(at), QPointF(viewport->mapToGlobal(at)), QPoint(), w.angle,
                          w.delta, w.orientation, Qt::NoButton, Qt::NoModifier);
        QT_WARNING_POP
        QApplication::sendEvent(viewport, &event);
    }
    QVERIFY2(qAbs(s.view.zoomF() - expected) < 1e-12, qPrintable(QString::number(s.view.zoomF())));
    QCOMPARE(zooms.count(), events.size()); // reported even when clamped
    QVERIFY(near(s.centre(), QPointF(30.3, 59.94), 0.01)); // the wheel never scrolls
}

void tst_Navigation::middleDragPansInNoDrag()
{
    Shown s;
    QWidget *viewport = s.view.viewport();
    QList<QPointF> presses, moves, releases;
    QList<int> buttons;
    connect(&s.view, &OsmView::mousePress, this, [&](QPointF p) { presses << p; });
    connect(&s.view, &OsmView::mouseMove, this, [&](QPointF p) { moves << p; });
    connect(&s.view, &OsmView::mouseRelease, this, [&](QPointF p) { releases << p; });
    connect(&s.view, &OsmView::mouseReleased, this, [&](int b, QPointF) { buttons << b; });

    const QPointF pressedAt = s.view.mapToScene(QPoint(300, 200));
    QTest::mousePress(viewport, Qt::MiddleButton, Qt::NoModifier, QPoint(300, 200));
    QVERIFY(!s.view.isInteractive());
    QCOMPARE(s.view.dragMode(), QGraphicsView::ScrollHandDrag);
    move(viewport, QPoint(340, 230), Qt::MiddleButton);
    move(viewport, QPoint(380, 260), Qt::MiddleButton);
    QTest::mouseRelease(viewport, Qt::MiddleButton, Qt::NoModifier, QPoint(380, 260));

    // The map followed the hand: the scene point under the press is under the release.
    QVERIFY(near(s.view.mapToScene(QPoint(380, 260)), pressedAt, 1e-3));
    QCOMPARE(s.view.dragMode(), QGraphicsView::NoDrag);
    QVERIFY(s.view.isInteractive());
    QCOMPARE(presses, QList<QPointF>{pressedAt});
    QCOMPARE(moves.size(), 2);
    QVERIFY(releases.size() == 1 && near(releases.first(), pressedAt, 1e-3));
    QCOMPARE(buttons, QList<int>{4});
    // After the pan a plain move does not scroll.
    const QPointF after = s.centre();
    move(viewport, QPoint(100, 100), Qt::NoButton);
    QVERIFY(near(s.centre(), after, 1e-9));
}

void tst_Navigation::shiftRubberBandStartsOnSelectableItem()
{
    Shown s;
    auto addItem = [&](QPoint a, QPoint b) {
        auto *item = s.scene.addRect(QRectF(s.view.mapToScene(a), s.view.mapToScene(b)).normalized(),
                                     Qt::NoPen, Qt::red);
        item->setFlag(QGraphicsItem::ItemIsSelectable);
        return item;
    };
    auto *start = addItem(QPoint(200, 150), QPoint(230, 180));
    auto *inside = addItem(QPoint(300, 220), QPoint(320, 240));
    s.view.setDragMode(QGraphicsView::ScrollHandDrag);

    QWidget *viewport = s.view.viewport();
    QTest::mousePress(viewport, Qt::LeftButton, Qt::ShiftModifier, QPoint(215, 165));
    QCOMPARE(s.view.dragMode(), QGraphicsView::RubberBandDrag);
    move(viewport, QPoint(280, 200), Qt::LeftButton, Qt::ShiftModifier);
    move(viewport, QPoint(350, 260), Qt::LeftButton, Qt::ShiftModifier);
    QTest::mouseRelease(viewport, Qt::LeftButton, Qt::ShiftModifier, QPoint(350, 260));

    QVERIFY(inside->isSelected());
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
    QCOMPARE(pressed.last(), (QVariantList{int(Qt::Key_A), int(Qt::ShiftModifier)}));
    QVERIFY(released.contains(QVariantList{int(Qt::Key_Escape), int(Qt::ControlModifier)}));
}

void tst_Navigation::fits_data()
{
    // How: "rect" fitRect, "item" fitItem, "z15" fitInViewZ with 15. A rectangle's size
    // is in viewport fractions at level 14 (0.4 wide fits at 15.3 levels).
    QTest::addColumn<QString>("how");
    QTest::addColumn<QSizeF>("size");
    QTest::addColumn<double>("expected");
    const double fitted = std::log2(1 / 0.4) + 14; // zoomF 14 + 1/6 less the native 1/6
    QTest::newRow("rectangle") << "rect" << QSizeF(0.4, 0.1) << fitted;
    QTest::newRow("item") << "item" << QSizeF(0.1, 0.4) << std::log2(1 / 0.4) + 14;
    QTest::newRow("point takes the largest zoom") << "rect" << QSizeF(0, 0) << 17 + 5 * Sixth;
    QTest::newRow("point, bounded level") << "z15" << QSizeF(0, 0) << 15 + Sixth;
    QTest::newRow("horizontal line fits its width") << "rect" << QSizeF(0.4, 0) << fitted;
    QTest::newRow("vertical line item fits its height") << "item" << QSizeF(0, 0.4) << std::log2(1 / 0.4) + 14;
    QTest::newRow("huge finite rectangle") << "rect" << QSizeF(1e300, 1e300) << 10.0;
}

void tst_Navigation::fits()
{
    QFETCH(QString, how);
    QFETCH(QSizeF, size);
    QFETCH(double, expected);
    Shown s;
    const double before = s.view.zoomF();
    const QSizeF degrees(size.width() * s.view.viewport()->width() / s.view.transform().m11(),
                         size.height() * s.view.viewport()->height() / s.view.transform().m22());
    const QRectF target(QPointF(30.31, 59.945), degrees);
    QSignalSpy zooms(&s.view, QOverload<double>::of(&OsmView::zoomChanged));
    if (how == QLatin1String("rect"))
        s.view.fitRect(target);
    else if (how == QLatin1String("z15"))
        s.view.fitInViewZ(target, 15);
    else
        s.view.fitItem(s.scene.addRect(target, Qt::NoPen));
    QTRY_VERIFY(zooms.count() > 0);
    QVERIFY(s.view.zoomF() != before);
    // Corners are rounded to whole pixels before the fit, as QGraphicsView maps them.
    QVERIFY2(qAbs(s.view.zoomF() - expected) < 0.01, qPrintable(QString::number(s.view.zoomF())));
    if (size.width() < 1e6)
        QVERIFY(near(s.centre(), target.center(), 3 / s.view.transform().m11()));
}

void tst_Navigation::degenerateFitsDoNothing()
{
    Shown s;
    const double before = s.view.zoomF();
    QSignalSpy zooms(&s.view, QOverload<double>::of(&OsmView::zoomChanged));
    s.view.fitItem(nullptr);
    s.view.fitItem(s.scene.addRect(QRectF(30.3, 59.9, 0, 0), Qt::NoPen));
    s.view.fitRect(QRectF(30.3, 59.9, std::numeric_limits<double>::infinity(), 0.1));
    s.view.fitRect(QRectF(30.3, qQNaN(), 0.1, 0.1));
    s.view.fitInViewZ(QRectF(qQNaN(), 59.9, 0.1, 0.1), 15);
    QTest::qWait(450); // the only wait for nothing: past the 300 ms fitting delay
    QCOMPARE(zooms.count(), 0);
    QCOMPARE(s.view.zoomF(), before);
}

void tst_Navigation::fitInViewZBoundedByMaximum_data()
{
    QTest::addColumn<int>("maxZoom");
    QTest::addColumn<int>("expected");
    QTest::newRow("fits at 15") << 17 << 15;
    QTest::newRow("bounded by 13") << 13 << 13;
    QTest::newRow("bound below the minimum lands on it") << 5 << 10;
    QTest::newRow("bound above the maximum") << 30 << 15;
}

void tst_Navigation::fitInViewZBoundedByMaximum()
{
    QFETCH(int, maxZoom);
    QFETCH(int, expected);
    Shown s;
    const double width = s.view.viewport()->width() * 0.4 / s.view.transform().m11();
    s.view.fitInViewZ(QRectF(30.31, 59.945, width, -0.0001), maxZoom);
    QCOMPARE(s.view.zoomF(), expected == 10 ? 10.0 : expected + Sixth);
}

void tst_Navigation::loadPresetLandsExactly()
{
    Shown s;
    QSignalSpy zooms(&s.view, QOverload<double>::of(&OsmView::zoomChanged));
    s.view.loadPreset(30.5, 59.9, 14.1667);
    QCOMPARE(zooms.count(), 0);
    QTRY_VERIFY(!zooms.isEmpty());
    QVERIFY(qAbs(s.view.zoomF() - 14.1677) < 1e-9); // close first
    QTRY_COMPARE(s.view.zoomF(), 14.1667);
    QVERIFY(near(s.centre(), QPointF(30.5, 59.9), 1e-3));
}

void tst_Navigation::zoomMaxBelowLevel()
{
    // The operations pane's slider is found by name and pulls the view along; without a
    // slider of that name the view keeps its level.
    for (bool withSlider : {false, true}) {
        Shown s;
        auto *slider = s.view.findChild<QSlider *>(QStringLiteral("sldZoom"));
        if (!withSlider)
            slider->setObjectName(QString());
        s.view.setZoom(15);
        s.view.setZoomMax(12);
        QCOMPARE(s.view.zoomMax(), 12);
        QCOMPARE(s.view.zoomF(), (withSlider ? 12 : 15) + Sixth);
        QCOMPARE(slider->maximum(), withSlider ? 12 : 17);
    }
}

QTEST_MAIN(tst_Navigation)
#include "tst_navigation.moc"

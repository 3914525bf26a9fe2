#include "OsmView.h"
#include "PaneButton.h"
#include "QuietPlatform.h"

#include <QtTest/QtTest>
#include <QtWidgets/QGraphicsScene>
#include <QtWidgets/QScrollBar>
#include <QtWidgets/QVBoxLayout>

namespace {

struct Shown
{
    Shown() : scene(-180, -85, 360, 170), view(&scene, nullptr)
    {
        view.resize(640, 480);
        view.setEnableRightPane(true);
        view.show();
        exposed = QTest::qWaitForWindowExposed(&view);
        pane = qobject_cast<QWidget *>(view.operationWidget());
        for (QPushButton *b : view.findChildren<QPushButton *>())
            if (b->parentWidget() == &view)
                tab = b;
    }

    // Right edge of the viewport in the view's coordinates.
    int viewportRight() const { return view.viewport()->geometry().right() + 1; }

    bool tabAtRightEdge() const
    {
        return tab->geometry().right() + 1 == viewportRight() && tab->y() == view.viewport()->y();
    }

    bool paneAtRightEdge() const
    {
        return pane->geometry().right() + 1 == viewportRight() && pane->y() == view.viewport()->y();
    }

    bool tabAgainstPane() const { return tab->geometry().right() + 1 == pane->x(); }

    QGraphicsScene scene;
    OsmView view;
    QWidget *pane = nullptr;
    QPushButton *tab = nullptr;
    bool exposed = false;
};

} // namespace

class tst_PaneButton : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QuietPlatform::install(); }
    void clicksOpenAndClose();
    void drawsTabAndArrow();
    void followsViewResize_data();
    void followsViewResize();
    void followsPaneResize();
    void followsVerticalScrollBar();
    void setCheckedAloneMovesNothing();
    void outsideScrollAreaStaysPut();
};

void tst_PaneButton::clicksOpenAndClose()
{
    Shown s;
    QVERIFY(s.exposed);
    QVERIFY(s.tab);
    QCOMPARE(s.tab->width(), 15);
    QCOMPARE(s.tab->height(), s.pane->height());
    QVERIFY(s.tab->isVisible());
    QVERIFY(!s.pane->isVisible());
    QVERIFY(s.tabAtRightEdge());

    QTest::mouseClick(s.tab, Qt::LeftButton);
    QVERIFY(s.pane->isVisible());
    QVERIFY(s.paneAtRightEdge());
    QVERIFY(s.tabAgainstPane());

    QTest::mouseClick(s.tab, Qt::LeftButton);
    QVERIFY(!s.pane->isVisible());
    QVERIFY(s.tabAtRightEdge());
}

void tst_PaneButton::drawsTabAndArrow()
{
    Shown s;
    const QColor fill = s.pane->palette().color(QPalette::Window);
    QCOMPARE(fill.rgb(), QColor(Qt::blue).rgb());
    QCOMPARE(fill.alpha(), 153);
    QVERIFY(s.pane->autoFillBackground());

    // How tall the grey arrow is in one column of the tab.
    auto arrowHeightAt = [&](int x) {
        const QImage tab = s.tab->grab().toImage();
        int rows = 0;
        for (int y = 0; y < tab.height(); ++y)
            rows += tab.pixelColor(x, y) == QColor(Qt::gray);
        return rows;
    };
    // Closed, the triangle points left: narrow at x = 3, 14 px tall at x = 12.
    QVERIFY(arrowHeightAt(3) <= 3);
    QVERIFY(arrowHeightAt(12) >= 11);
    QTest::mouseClick(s.tab, Qt::LeftButton);
    QVERIFY(arrowHeightAt(12) <= 3);
    QVERIFY(arrowHeightAt(3) >= 11);
    // The rounded left corners leave the tab's own corner pixel unpainted.
    const QImage tab = s.tab->grab().toImage();
    QVERIFY(tab.pixelColor(0, 0) != tab.pixelColor(7, 3));
}

void tst_PaneButton::followsViewResize_data()
{
    QTest::addColumn<bool>("open");
    QTest::addColumn<QSize>("size");
    QTest::newRow("closed, shrinking") << false << QSize(420, 380);
    QTest::newRow("closed, growing") << false << QSize(900, 600);
    QTest::newRow("open, shrinking") << true << QSize(420, 380);
    QTest::newRow("open, growing") << true << QSize(900, 600);
}

void tst_PaneButton::followsViewResize()
{
    QFETCH(bool, open);
    QFETCH(QSize, size);
    Shown s;
    if (open)
        QTest::mouseClick(s.tab, Qt::LeftButton);
    s.view.resize(size);
    // Placed from the viewport's final size at once, before any paint of the tab.
    QVERIFY(open ? s.tabAgainstPane() && s.paneAtRightEdge() : s.tabAtRightEdge());
    QCoreApplication::processEvents();
    QVERIFY(open ? s.tabAgainstPane() && s.paneAtRightEdge() : s.tabAtRightEdge());
}

void tst_PaneButton::followsPaneResize()
{
    Shown s;
    QTest::mouseClick(s.tab, Qt::LeftButton);
    s.pane->resize(s.pane->width() + 40, s.pane->height() + 30);
    QCOMPARE(s.tab->height(), s.pane->height());
    QVERIFY(s.paneAtRightEdge() || s.tabAgainstPane());
    QVERIFY(s.tabAgainstPane());

    // Closed, only the height follows; the pane is placed again when opened.
    QTest::mouseClick(s.tab, Qt::LeftButton);
    const int before = s.pane->height();
    QMetaObject::invokeMethod(s.pane, "addMapLayer", Q_ARG(QString, QStringLiteral("one")),
                              Q_ARG(QString, QString()), Q_ARG(QString, QString()));
    QMetaObject::invokeMethod(s.pane, "addMapLayer", Q_ARG(QString, QStringLiteral("two")),
                              Q_ARG(QString, QString()), Q_ARG(QString, QString()));
    QTRY_VERIFY(s.pane->height() > before);
    QTRY_COMPARE(s.tab->height(), s.pane->height());
    QVERIFY(s.tabAtRightEdge());
    QTest::mouseClick(s.tab, Qt::LeftButton);
    QVERIFY(s.paneAtRightEdge());
    QVERIFY(s.tabAgainstPane());
}

void tst_PaneButton::followsVerticalScrollBar()
{
    Shown s;
    QTest::mouseClick(s.tab, Qt::LeftButton);
    s.view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    s.view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    QCoreApplication::processEvents();
    const int before = s.viewportRight();
    s.view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QCoreApplication::processEvents();
    QVERIFY(s.viewportRight() < before);
    QVERIFY(s.paneAtRightEdge());
    QVERIFY(s.tabAgainstPane());
}

void tst_PaneButton::setCheckedAloneMovesNothing()
{
    Shown s;
    const QPoint at = s.tab->pos();
    s.tab->setChecked(true);
    QVERIFY(!s.pane->isVisible());
    QCOMPARE(s.tab->pos(), at);
}

void tst_PaneButton::outsideScrollAreaStaysPut()
{
    QWidget window;
    window.resize(300, 200);
    auto *pane = new QWidget(&window);
    pane->resize(80, 120);
    auto *tab = new PaneButton(&window, pane);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(tab->pos(), QPoint(0, 0));
    QCOMPARE(tab->size(), QSize(15, 120));
    window.resize(500, 400);
    QTest::mouseClick(tab, Qt::LeftButton);
    QVERIFY(pane->isVisible());
    QCOMPARE(tab->pos(), QPoint(0, 0));
    QVERIFY(!tab->grab().isNull());
}

QTEST_MAIN(tst_PaneButton)
#include "tst_panebutton.moc"

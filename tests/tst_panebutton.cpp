#include "OsmOperationsWidget.h"
#include "OsmView.h"
#include "QuietPlatform.h"
#include "RowTable.h"
#include "WaitFor.h"

#include <QtTest/QtTest>
#include <QtWidgets/QtWidgets>

namespace {

// A shown view with its pane enabled, over a white viewport.
struct Shown
{
    Shown() : scene(-180, -85, 360, 170), view(&scene, nullptr)
    {
        view.viewport()->setPalette(QPalette(Qt::white, Qt::white));
        view.resize(640, 480);
        view.setEnableRightPane(true);
        view.show();
        exposed = QTest::qWaitForWindowExposed(&view);
    }
    void click() { QTest::mouseClick(tab, Qt::LeftButton); }
    // Closed, the tab stands against the viewport's right edge; open, against the pane,
    // which fills the viewport's top right corner. The tab is always as tall as the pane.
    bool placed() const
    {
        const QRect port = view.viewport()->geometry();
        const int edge = tab->isChecked() ? pane->x() : port.right() + 1;
        return tab->isVisible() && pane->isVisible() == tab->isChecked()
            && tab->height() == pane->height() && tab->geometry().right() + 1 == edge
            && tab->y() == port.y()
            && (!tab->isChecked() || pane->geometry().topRight() == port.topRight());
    }
    QImage grab(const QWidget *w) { return view.grab(w->geometry()).toImage(); }

    QGraphicsScene scene;
    OsmView view;
    OsmOperationsWidget *pane = static_cast<OsmOperationsWidget *>(view.operationWidget());
    QPushButton *tab = view.findChild<QPushButton *>(QString(), Qt::FindDirectChildrenOnly);
    bool exposed = false;
};

// Pixels of the tab over the white viewport: outside its rounded outline, its blue at 0.6
// opacity (the pane's too), its arrow.
enum Kind { Clear, Fill, Arrow };
const QColor colours[] = {Qt::white, QColor(0x66, 0x66, 0xff), Qt::gray};

// After some clicks and a change, one pixel of the tab (none for x < 0): y < 0 counts from
// the bottom, y > 500 from the middle plus 1000.
// clang-format off
const struct { const char *name; int clicks; void (*change)(Shown &); int x, y; Kind kind; } tabRows[] = {
    {"second click not closing", 2, nullptr, -1, 0, Clear},
    {"closed tab left behind by a shrinking view", 0, [](Shown &s) { s.view.resize(420, 380); }, -1, 0, Clear},
    {"open pane left behind by a growing view", 1, [](Shown &s) { s.view.resize(900, 600); }, -1, 0, Clear},
    {"tab not following an open pane's new size", 1, [](Shown &s) { s.pane->resize(s.pane->width() + 40, s.pane->height() + 30); }, -1, 0, Clear},
    {"pane and tab under an appearing scroll bar", 1, [](Shown &s) { s.view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn); }, -1, 0, Clear},
    {"tab opened while hidden left behind when shown", 2, [](Shown &s) { s.view.setEnableRightPane(false); s.pane->showContent(true); s.view.setEnableRightPane(true); }, -1, 0, Clear},
    {"hidden pane's height not followed, or pane misplaced when opened", 0, [](Shown &s) { const int h = s.pane->height(); s.pane->addMapLayer("A map with a long name", {}, {}); QVERIFY(waitFor([&] { return s.pane->height() > h && s.placed(); })); s.click(); }, -1, 0, Clear},
    {"closed tab off the viewport's edge, upper left corner not rounded", 0, nullptr, 0, 0, Clear},
    {"lower left corner not rounded", 0, nullptr, 0, -1, Clear},
    {"right side not square at the top", 0, nullptr, 14, 0, Fill},
    {"right side not square at the bottom", 0, nullptr, 14, -1, Fill},
    {"upper arc missing", 0, nullptr, 2, 12, Fill},
    {"lower arc missing", 0, nullptr, 2, -13, Fill},
    {"closed arrow's base too narrow above", 0, nullptr, 11, 1000 - 5, Arrow},
    {"closed arrow's base too narrow below", 0, nullptr, 11, 1000 + 5, Arrow},
    {"closed arrow's tip too wide", 0, nullptr, 4, 1000 - 3, Fill},
    {"closed arrow not pointing left", 0, nullptr, 4, 1000, Arrow},
    {"open arrow's base too narrow above", 1, nullptr, 3, 1000 - 5, Arrow},
    {"open arrow's base too narrow below", 1, nullptr, 3, 1000 + 5, Arrow},
    {"open arrow's tip too wide", 1, nullptr, 10, 1000 - 3, Fill},
    {"click not opening the pane beside the tab, open arrow not pointing right", 1, nullptr, 10, 1000, Arrow},
};
// clang-format on

} // namespace

class tst_PaneButton : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QuietPlatform::install(); }
    void tab_data() { addRows(tabRows); }
    void tab();
};

void tst_PaneButton::tab()
{
    QFETCH(int, row);
    const auto &r = tabRows[row];
    Shown s;
    QVERIFY(s.exposed);
    QCOMPARE(s.tab->width(), 15);
    for (int i = 0; i < r.clicks; ++i)
        s.click();
    if (r.change)
        r.change(s);
    QVERIFY(s.placed()); // at once, not one paint later
    const QImage tab = s.grab(s.tab);
    for (int p = 0; p < tab.width() * tab.height(); ++p) // no outline, no push-button look
        QVERIFY(std::count(colours, colours + 3, tab.pixelColor(p % tab.width(), p / tab.width())));
    if (s.tab->isChecked())
        QCOMPARE(s.grab(s.pane).pixelColor(1, 1), colours[Fill]);
    const int y = r.y > 500 ? tab.height() / 2 + r.y - 1000 : r.y < 0 ? tab.height() + r.y : r.y;
    if (r.x >= 0)
        QCOMPARE(tab.pixelColor(r.x, y), colours[r.kind]);
}

QTEST_MAIN(tst_PaneButton)
#include "tst_panebutton.moc"

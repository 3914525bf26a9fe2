#include "CrossView.h"
#include "CrossViewPrivate.h"
#include "Light.h"
#include "LightWithoutPhases.h"
#include "QuietPlatform.h"

#include <QtCore/QTemporaryDir>
#include <QtGui/QPainter>
#include <QtTest/QtTest>
#include <QtWidgets/QDockWidget>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMainWindow>
#include <QtWidgets/QPushButton>

namespace {

const QColor SchemeColour(0x30, 0x50, 0xa0);
const QColor PhaseColour(0xe0, 0x20, 0x20);
const QColor PixmapColour(0x20, 0xc0, 0x40);

QString writeSvg(const QTemporaryDir &dir, const QString &name, QSize size, const QRect &fill,
                 const QColor &colour)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    // Faint dots in two corners make the picture's bounds the whole document.
    file.write(QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\">"
                              "<rect x=\"0\" y=\"0\" width=\"1\" height=\"1\" fill-opacity=\"0.01\"/>"
                              "<rect x=\"%8\" y=\"%9\" width=\"1\" height=\"1\" fill-opacity=\"0.01\"/>"
                              "<rect x=\"%3\" y=\"%4\" width=\"%5\" height=\"%6\" fill=\"%7\"/></svg>")
                   .arg(size.width())
                   .arg(size.height())
                   .arg(fill.x())
                   .arg(fill.y())
                   .arg(fill.width())
                   .arg(fill.height())
                   .arg(colour.name())
                   .arg(size.width() - 1)
                   .arg(size.height() - 1)
                   .toUtf8());
    return path;
}

// A light over a 400 x 400 scheme in one colour; each phase paints a 100 x 100 square
// at (100 * id, 100) in the phase colour.
struct Fixture
{
    Fixture()
    {
        light.setId(12);
        light.setDescription(QStringLiteral("Market Square"));
        light.setShema(writeSvg(tmp, QStringLiteral("k12.svg"), QSize(400, 400),
                                QRect(0, 0, 400, 400), SchemeColour));
        for (int id : {1, 2, 3})
            light.addPhase(id, writeSvg(tmp, QStringLiteral("p%1.svg").arg(id), QSize(400, 400),
                                        QRect(100 * id - 100, 100, 100, 100), PhaseColour));
        light.setCurrentPhase(1);
        view.resize(300, 340);
        view.show();
        exposed = QTest::qWaitForWindowExposed(&view);
        panel = view.findChild<CrossView::Private *>();
        label = view.findChild<QLabel *>();
    }

    QImage shown()
    {
        return panel->grab().toImage();
    }

    // Colour at a point of the scheme's own coordinates.
    QColor at(double x, double y)
    {
        const double s = std::min(panel->width() / 401.0, panel->height() / 401.0);
        return shown().pixelColor(int(x * s), int(y * s));
    }

    // Nothing of the pictures is drawn there: the panel's background shows.
    bool blank(const QColor &c) const
    {
        return c.alpha() == 0 || c == panel->palette().color(QPalette::Window);
    }

    void tick()
    {
        QTimerEvent event(panel->timerId);
        QCoreApplication::sendEvent(panel, &event);
    }

    QTemporaryDir tmp;
    Sivel::Light light;
    CrossView view;
    CrossView::Private *panel = nullptr;
    QLabel *label = nullptr;
    bool exposed = false;
};

// A CrossView in the dock of a shown main window.
struct Docked
{
    Docked() : dock(new QDockWidget(&window)), view(new CrossView)
    {
        dock->setWidget(view);
        window.addDockWidget(Qt::LeftDockWidgetArea, dock);
        window.resize(400, 400);
        window.show();
        exposed = QTest::qWaitForWindowExposed(&window);
        panel = view->findChild<CrossView::Private *>();
    }

    QMainWindow window;
    QDockWidget *dock;
    CrossView *view;
    CrossView::Private *panel = nullptr;
    bool exposed = false;
};

QGridLayout *gridOf(CrossView &view)
{
    return qobject_cast<QGridLayout *>(view.layout()->itemAt(0)->layout());
}

} // namespace

class tst_CrossView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QuietPlatform::install(); }
    void layoutLabelAbovePanel();
    void pictures_data();
    void pictures();
    void scaleAndTopLeftAnchor();
    void statusLine_data();
    void statusLine();
    void statusWaitsForTheTimer();
    void statusWhilePreviewing();
    void buttonPreviewIgnoresState();
    void previewPhaseCalls();
    void mouseHoldShowsSchemeAlone();
    void doubleClicksToggleGrid();
    void buttonsInIdOrder_data();
    void buttonsInIdOrder();
    void buttonsCreatedWhenLightBound();
    void dockTitle();
    void metafiles();
    void lightDestroyedWhileBound();
    void bindingSameLightTwice();
    void notALight();
    void lightWithoutPhases();
    void statusLineFitsItsFont_data();
    void statusLineFitsItsFont();
    void sizeHints_data();
    void sizeHints();
    void rasterSchemes_data();
    void rasterSchemes();
    void statusFarFromNow_data();
    void statusFarFromNow();
};

void tst_CrossView::layoutLabelAbovePanel()
{
    Fixture f;
    QVERIFY(f.exposed);
    QCOMPARE(f.view.children().first(), f.panel);
    QCOMPARE(f.view.layout()->itemAt(0)->widget(), f.label);
    QCOMPARE(f.view.layout()->itemAt(1)->widget(), f.panel);
    QVERIFY(f.label->geometry().bottom() < f.panel->geometry().top());
}

void tst_CrossView::pictures_data()
{
    QTest::addColumn<QString>("scheme"); // "file", "pixmap" or "none"
    QTest::addColumn<int>("phase");
    QTest::addColumn<QPoint>("point"); // in the scheme's coordinates
    QTest::addColumn<QColor>("colour"); // invalid: nothing drawn there

    QTest::newRow("scheme alone") << "file" << -1 << QPoint(150, 150) << SchemeColour;
    QTest::newRow("phase over the scheme") << "file" << 2 << QPoint(150, 150) << PhaseColour;
    QTest::newRow("scheme around the phase") << "file" << 2 << QPoint(50, 150) << SchemeColour;
    QTest::newRow("phase alone without scheme") << "none" << 1 << QPoint(50, 150) << PhaseColour;
    QTest::newRow("nothing around it") << "none" << 1 << QPoint(250, 250) << QColor();
    QTest::newRow("nothing without a phase") << "none" << -1 << QPoint(50, 150) << QColor();
    QTest::newRow("pixmap scheme without phase") << "pixmap" << -1 << QPoint(50, 50) << PixmapColour;
    QTest::newRow("phase drawn without the pixmap") << "pixmap" << 1 << QPoint(50, 150) << PhaseColour;
    QTest::newRow("no pixmap under a phase") << "pixmap" << 1 << QPoint(250, 50) << QColor();
}

void tst_CrossView::pictures()
{
    QFETCH(QString, scheme);
    QFETCH(int, phase);
    QFETCH(QPoint, point);
    QFETCH(QColor, colour);
    Fixture f;
    if (scheme == QLatin1String("none")) {
        f.light.setShema(QVariant());
    } else if (scheme == QLatin1String("pixmap")) {
        QPixmap pixmap(400, 400);
        pixmap.fill(PixmapColour);
        f.light.setShema(pixmap);
    }
    f.light.setCurrentPhase(phase == 2 ? 1 : phase);
    f.view.setLight(&f.light);
    // A change of phase reaches the picture through stateChanged().
    f.light.setCurrentPhase(phase);
    f.light.notify();
    if (scheme == QLatin1String("pixmap"))
        QVERIFY(f.panel->pictures.contains(-2) && !f.panel->pictures.contains(-1));
    const QColor shown = f.at(point.x(), point.y());
    if (colour.isValid())
        QCOMPARE(shown, colour);
    else
        QVERIFY(f.blank(shown));
}

void tst_CrossView::scaleAndTopLeftAnchor()
{
    Fixture f;
    f.light.setShema(writeSvg(f.tmp, QStringLiteral("wide.svg"), QSize(399, 99),
                              QRect(0, 0, 399, 99), SchemeColour));
    f.light.setCurrentPhase(-1);
    f.view.setLight(&f.light);
    f.panel->resize(200, 100);
    const QImage shown = f.shown();
    QCOMPARE(shown.size(), QSize(200, 100));
    // s = min(200 / 400, 100 / 100) = 0.5: 199.5 x 49.5 pixels at the top-left corner.
    QCOMPARE(shown.pixelColor(0, 0), SchemeColour);
    QCOMPARE(shown.pixelColor(198, 48), SchemeColour);
    QVERIFY(f.blank(shown.pixelColor(100, 52)));
    QVERIFY(f.blank(shown.pixelColor(199, 99)));
}

void tst_CrossView::statusLine_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<int>("phase");
    QTest::addColumn<int>("secondsAgo");
    QTest::addColumn<QVariant>("length");
    QTest::addColumn<QVariant>("transition");
    QTest::addColumn<QVariant>("regime");
    QTest::addColumn<QString>("text");

    const QVariant none;
    QTest::newRow("remaining") << true << 2 << 12 << QVariant(30) << QVariant(0) << none << "Phase 2:12(18)";
    QTest::newRow("overrun shows 0") << true << 2 << 50 << QVariant(45) << QVariant(0) << none << "Phase 2:50(0)";
    QTest::newRow("transition countdown") << true << 2 << 12 << QVariant(30) << QVariant(20) << none << "Phase 2:12(30) TF:8";
    QTest::newRow("transition overrun") << true << 2 << 25 << QVariant(30) << QVariant(20) << none << "Phase 2:25(30) TF:0";
    QTest::newRow("transition of unknown length") << true << 2 << 12 << QVariant(30) << QVariant(255) << none << "Phase 2:12(30) TF";
    QTest::newRow("no length") << true << 2 << 12 << none << QVariant(0) << none << "Phase 2:12";
    QTest::newRow("length not a number") << true << 2 << 12 << QVariant(QStringLiteral("long")) << QVariant(0) << none << "Phase 2:12";
    QTest::newRow("no transition flag") << true << 2 << 12 << QVariant(30) << none << none << "Phase 2:";
    QTest::newRow("no change time") << true << 2 << -1 << QVariant(30) << QVariant(0) << none << "Phase 2:";
    QTest::newRow("negative transition flag") << true << 2 << 12 << QVariant(30) << QVariant(-4) << none << "Phase 2:12(30)";
    QTest::newRow("key regime") << true << -1 << 12 << none << none << QVariant(3) << "Key regime 3: 12";
    QTest::newRow("regime 255") << true << -1 << 12 << none << none << QVariant(255) << "Unknown state: 12";
    QTest::newRow("no regime") << true << -1 << 12 << none << none << none << "Unknown state: 12";
    QTest::newRow("no regime, no time") << true << -1 << -1 << none << none << none << "Unknown state";
    QTest::newRow("disconnected") << false << 2 << 12 << QVariant(30) << QVariant(0) << none << "Disconnected: 12";
    QTest::newRow("disconnected, no time") << false << 2 << -1 << none << none << none << "Disconnected";
}

void tst_CrossView::statusLine()
{
    QFETCH(bool, connected);
    QFETCH(int, phase);
    QFETCH(int, secondsAgo);
    QFETCH(QVariant, length);
    QFETCH(QVariant, transition);
    QFETCH(QVariant, regime);
    QFETCH(QString, text);
    Fixture f;
    f.light.setConnected(connected);
    f.light.setCurrentPhase(phase);
    f.light.setPhaseLength(length);
    f.light.setTransitionFlag(transition);
    f.light.setKeyRegime(regime);
    // A third of a second past the whole seconds keeps the count steady for a while.
    f.light.setPhaseChangeTime(secondsAgo < 0 ? QDateTime()
                                              : QDateTime::currentDateTime().addMSecs(
                                                  -secondsAgo * 1000 - 300));
    f.view.setLight(&f.light);
    f.tick();
    QCOMPARE(f.label->text(), text);
}

void tst_CrossView::statusWaitsForTheTimer()
{
    Fixture f;
    f.light.setPhaseLength(30);
    f.light.setTransitionFlag(0);
    f.light.setPhaseChangeTime(QDateTime::currentDateTime().addMSecs(-5300));
    f.view.setLight(&f.light);
    QVERIFY(f.label->text().isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(f.label->text().left(8), QStringLiteral("Phase 1:"), 2000);
    f.light.setCurrentPhase(3);
    f.light.notify();
    QVERIFY(f.label->text().startsWith(QLatin1String("Phase 1:")));
    QTRY_VERIFY_WITH_TIMEOUT(f.label->text().startsWith(QLatin1String("Phase 3:")), 2000);

    // After unbinding, the next tick clears the label and stops the timer.
    f.view.setLight(nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(f.label->text().isEmpty(), 2000);
    QCOMPARE(f.panel->timerId, 0);
}

void tst_CrossView::statusWhilePreviewing()
{
    Fixture f;
    f.light.setTransitionFlag(0);
    f.light.setPhaseChangeTime(QDateTime::currentDateTime().addMSecs(-3300));
    f.view.setLight(&f.light);
    f.tick();
    const QString before = f.label->text();
    f.view.previewPhase(2);
    f.light.setCurrentPhase(3);
    f.tick();
    QCOMPARE(f.label->text(), before);
    f.light.setConnected(false);
    f.tick();
    QCOMPARE(f.label->text(), QStringLiteral("Disconnected: 3"));
}

void tst_CrossView::buttonPreviewIgnoresState()
{
    Fixture f;
    f.view.setLight(&f.light);
    f.view.showPreviewButtons(true);
    QPushButton *two = nullptr;
    for (QPushButton *b : f.view.findChildren<QPushButton *>())
        if (b->text().remove(QLatin1Char('&')) == QLatin1String("2"))
            two = b;
    QVERIFY(two);
    QCOMPARE(f.at(50, 150), PhaseColour);
    QTest::mousePress(two, Qt::LeftButton);
    QCOMPARE(f.at(150, 150), PhaseColour);
    QCOMPARE(f.at(50, 150), SchemeColour);
    f.light.setCurrentPhase(3);
    f.light.notify();
    QCOMPARE(f.at(150, 150), PhaseColour); // still the preview
    QTest::mouseRelease(two, Qt::LeftButton);
    QCOMPARE(f.at(250, 150), PhaseColour);
    QCOMPARE(f.at(150, 150), SchemeColour);
}

void tst_CrossView::previewPhaseCalls()
{
    Fixture f;
    f.view.setLight(&f.light);
    f.view.previewPhase(3);
    QCOMPARE(f.at(250, 150), PhaseColour);
    QCOMPARE(f.at(50, 150), SchemeColour);
    f.light.setCurrentPhase(2);
    f.light.notify();
    QCOMPARE(f.at(250, 150), PhaseColour);
    f.view.previewPhase(3); // the same id: nothing happens
    QCOMPARE(f.panel->previewId, 3);
    f.view.previewPhase(-1);
    QCOMPARE(f.at(150, 150), PhaseColour);
    QCOMPARE(f.at(250, 150), SchemeColour);
}

void tst_CrossView::mouseHoldShowsSchemeAlone()
{
    Fixture f;
    f.view.setLight(&f.light);
    QCOMPARE(f.at(50, 150), PhaseColour);
    QTest::mousePress(f.panel, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QCOMPARE(f.at(50, 150), SchemeColour);
    QTest::mouseRelease(f.panel, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QCOMPARE(f.at(50, 150), PhaseColour);

    // During a preview set from code, press and release leave the scheme alone.
    f.view.previewPhase(2);
    QTest::mousePress(f.panel, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QTest::mouseRelease(f.panel, Qt::LeftButton, Qt::NoModifier, QPoint(10, 10));
    QCOMPARE(f.at(150, 150), SchemeColour);
}

void tst_CrossView::doubleClicksToggleGrid()
{
    Fixture f;
    f.view.setLight(&f.light);
    QTest::mouseDClick(f.panel, Qt::RightButton, Qt::NoModifier, QPoint(20, 20));
    QCOMPARE(f.view.layout()->count(), 2);

    QTest::mouseDClick(f.panel, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    QCOMPARE(f.view.layout()->count(), 3);
    QCOMPARE(gridOf(f.view)->count(), 3);
    QCOMPARE(gridOf(f.view)->spacing(), 1);
    QList<QPointer<QPushButton>> buttons;
    for (QPushButton *b : f.view.findChildren<QPushButton *>())
        buttons << b;
    QCOMPARE(buttons.size(), 3);

    QTest::mouseDClick(&f.view, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QCOMPARE(f.view.layout()->count(), 2);
    for (const QPointer<QPushButton> &b : buttons)
        QVERIFY(b.isNull());
    QCOMPARE(f.view.layout()->itemAt(0)->widget(), f.label);
}

void tst_CrossView::buttonsInIdOrder_data()
{
    QTest::addColumn<QList<int>>("ids");
    QTest::addColumn<QList<QPoint>>("cells"); // (column, row) of each id, sorted by id
    QList<int> seventeen;
    QList<QPoint> places;
    for (int i = 1; i <= 17; ++i) {
        seventeen << i;
        places << (i <= 16 ? QPoint(i - 1, 0) : QPoint(0, 1));
    }
    QTest::newRow("17 phases") << seventeen << places;
    QTest::newRow("delivered 5, 2, 9") << QList<int>{5, 2, 9}
                                       << QList<QPoint>{{0, 0}, {1, 0}, {2, 0}};
    QTest::newRow("duplicate id") << QList<int>{4, 4, 1} << QList<QPoint>{{0, 0}, {1, 0}};
}

void tst_CrossView::buttonsInIdOrder()
{
    QFETCH(QList<int>, ids);
    QFETCH(QList<QPoint>, cells);
    QTemporaryDir tmp;
    Sivel::Light light;
    light.setShema(writeSvg(tmp, QStringLiteral("s.svg"), QSize(100, 100), QRect(0, 0, 10, 10),
                            SchemeColour));
    for (int id : ids)
        light.addPhase(id, QVariant());
    CrossView view;
    view.showPreviewButtons(true);
    view.setLight(&light);
    QGridLayout *grid = gridOf(view);
    QList<int> sorted = ids;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    QCOMPARE(grid->count(), sorted.size());
    for (int i = 0; i < sorted.size(); ++i) {
        auto *button = qobject_cast<QPushButton *>(
            grid->itemAtPosition(cells[i].y(), cells[i].x())->widget());
        QVERIFY(button);
        QCOMPARE(button->text().remove(QLatin1Char('&')).toInt(), sorted[i]);
        QVERIFY(button->minimumWidth() >= button->sizeHint().height());
    }
    // Every button there is stands in the grid.
    QCOMPARE(view.findChildren<QPushButton *>().size(), sorted.size());
}

void tst_CrossView::buttonsCreatedWhenLightBound()
{
    Fixture f;
    f.view.showPreviewButtons(true);
    f.view.showPreviewButtons(true);
    QCOMPARE(f.view.layout()->count(), 3);
    QCOMPARE(gridOf(f.view)->count(), 0);
    f.view.setLight(&f.light);
    QCOMPARE(gridOf(f.view)->count(), 3);
    f.view.setLight(nullptr);
    QCOMPARE(gridOf(f.view)->count(), 0);
}

void tst_CrossView::dockTitle()
{
    Fixture f;
    Docked docked;
    QDockWidget *dock = docked.dock;
    CrossView *view = docked.view;
    view->setLight(&f.light);
    QCOMPARE(dock->windowTitle(), QStringLiteral("12: Market Square"));
    view->setLight(nullptr);
    QCOMPARE(dock->windowTitle(), QStringLiteral("Select object"));

    // Without a dock no title is touched.
    f.view.setWindowTitle(QStringLiteral("mine"));
    f.view.setLight(&f.light);
    QCOMPARE(f.view.windowTitle(), QStringLiteral("mine"));
}

void tst_CrossView::metafiles()
{
    Fixture f;
    const QString wmf = f.tmp.filePath(QStringLiteral("plans/k12.wmf"));
    QDir().mkpath(f.tmp.filePath(QStringLiteral("plans")));
    QFile(wmf).open(QIODevice::WriteOnly);

    // No SVG beside it: the placeholder, its message at the top for the light.
    f.light.setShema(wmf);
    f.light.setCurrentPhase(-1);
    f.view.setLight(&f.light);
    const QPicture placeholder = f.panel->pictures.value(-1);
    QCOMPARE(placeholder.boundingRect().size(), QSize(250, 250));
    QImage top(260, 260, QImage::Format_ARGB32);
    top.fill(Qt::white);
    QPainter(&top).drawPicture(0, 0, placeholder);
    auto inkRows = [](const QImage &img, int from, int to) {
        int ink = 0;
        for (int y = from; y < to; ++y)
            for (int x = 5; x < 245; ++x)
                ink += img.pixelColor(x, y).lightness() < 128;
        return ink;
    };
    QVERIFY(inkRows(top, 3, 80) > 50);
    QVERIFY(inkRows(top, 170, 245) == 0);

    // A phase's placeholder message stands at the bottom.
    f.light.setShema(QVariant());
    f.view.setLight(nullptr);
    f.light.addPhase(7, f.tmp.filePath(QStringLiteral("plans/p7.emf")));
    f.view.setLight(&f.light);
    QImage bottom(260, 260, QImage::Format_ARGB32);
    bottom.fill(Qt::white);
    QPainter(&bottom).drawPicture(0, 0, f.panel->pictures.value(7));
    QVERIFY(inkRows(bottom, 3, 80) == 0);
    QVERIFY(inkRows(bottom, 170, 245) > 50);

    // With the SVG beside it, the SVG is shown and there is no message.
    writeSvg(f.tmp, QStringLiteral("plans/k12.svg"), QSize(400, 400), QRect(0, 0, 400, 400),
             SchemeColour);
    f.light.setShema(wmf);
    f.view.setLight(nullptr);
    f.view.setLight(&f.light);
    QCOMPARE(f.panel->pictures.value(-1).boundingRect().size(), QSize(400, 400));
    QCOMPARE(f.at(200, 200), SchemeColour);

    // An upper-case suffix is not a metafile: it goes to the image reader, which fails.
    const QString upper = f.tmp.filePath(QStringLiteral("plans/k12.WMF"));
    QFile(upper).open(QIODevice::WriteOnly);
    f.light.setShema(upper);
    f.view.setLight(nullptr);
    f.view.setLight(&f.light);
    QVERIFY(f.panel->pictures.contains(-1));
    QCOMPARE(f.panel->pictures.value(-1).boundingRect().size().isEmpty(), true);
}

void tst_CrossView::lightDestroyedWhileBound()
{
    Fixture f;
    Docked docked;
    QVERIFY(docked.exposed);
    CrossView *view = docked.view;
    CrossView::Private *panel = docked.panel;
    QDockWidget *dock = docked.dock;
    auto *light = new Sivel::Light;
    light->setShema(f.light.shema());
    light->setCurrentPhase(-1);
    view->setLight(light);
    QCOMPARE(panel->grab().toImage().pixelColor(20, 20), SchemeColour);
    view->showPreviewButtons(true);
    view->previewPhase(1);
    delete light;
    QVERIFY(view->light() == nullptr);
    QCOMPARE(dock->windowTitle(), QStringLiteral("Select object"));
    QCOMPARE(panel->previewId, -1);
    const QImage shown = panel->grab().toImage();
    QVERIFY(f.blank(shown.pixelColor(20, 20)));
}

void tst_CrossView::bindingSameLightTwice()
{
    Fixture f;
    Docked docked;
    QDockWidget *dock = docked.dock;
    CrossView *view = docked.view;
    CrossView::Private *panel = docked.panel;
    view->setLight(&f.light);
    const int timer = panel->timerId;
    dock->setWindowTitle(QStringLiteral("renamed"));
    panel->pictures.clear();
    view->setLight(&f.light);
    QCOMPARE(dock->windowTitle(), QStringLiteral("renamed"));
    QCOMPARE(panel->timerId, timer);
    QVERIFY(panel->pictures.isEmpty());
}

void tst_CrossView::notALight()
{
    Fixture f;
    f.view.setLight(&f.light);
    QObject other;
    f.view.setLight(&other);
    QVERIFY(f.view.light() == nullptr);
    QVERIFY(f.panel->pictures.isEmpty());
    QVERIFY(f.blank(f.at(50, 150)));
    QCOMPARE(f.view.property("light").value<QObject *>(), nullptr);
    f.view.setLight(&f.light);
    QCOMPARE(f.view.property("light").value<QObject *>(), &f.light);
}

void tst_CrossView::lightWithoutPhases()
{
    Fixture f;
    std::unique_ptr<QObject> light(createLightWithoutPhases(f.light.shema()));
    f.view.setLight(light.get());
    QCOMPARE(f.view.light(), light.get());
    QCOMPARE(f.at(150, 150), SchemeColour);
}

void tst_CrossView::statusLineFitsItsFont_data()
{
    QTest::addColumn<int>("pixelSize"); // 0: the default font
    QTest::newRow("default font") << 0;
    QTest::newRow("large font") << 40;
}

void tst_CrossView::statusLineFitsItsFont()
{
    QFETCH(int, pixelSize);
    Fixture f;
    if (pixelSize > 0) {
        QFont font = f.view.font();
        font.setPixelSize(pixelSize);
        f.view.setFont(font);
    }
    f.label->setText(QStringLiteral("Phase 2:12(18) TF:8"));
    f.view.layout()->activate();
    QVERIFY(f.label->height() >= f.label->sizeHint().height());
    QVERIFY(f.label->geometry().bottom() < f.panel->geometry().top());
}

void tst_CrossView::sizeHints_data()
{
    QTest::addColumn<QSize>("scheme"); // empty: no light
    QTest::addColumn<int>("phases"); // buttons shown when there are any
    QTest::addColumn<QSize>("picture"); // the panel gets at least this at the hint
    QTest::newRow("no light") << QSize() << 0 << QSize(80, 80);
    QTest::newRow("small scheme") << QSize(60, 40) << 0 << QSize(80, 80);
    QTest::newRow("scheme at its size") << QSize(400, 300) << 0 << QSize(401, 301);
    QTest::newRow("scheme and buttons") << QSize(400, 300) << 17 << QSize(401, 301);
    QTest::newRow("huge scheme") << QSize(3000, 1500) << 0 << QSize(700, 350);
}

void tst_CrossView::sizeHints()
{
    QFETCH(QSize, scheme);
    QFETCH(int, phases);
    QFETCH(QSize, picture);
    QTemporaryDir tmp;
    Sivel::Light light;
    light.setShema(writeSvg(tmp, QStringLiteral("s.svg"), scheme, QRect(QPoint(), scheme),
                            SchemeColour));
    for (int id = 1; id <= phases; ++id)
        light.addPhase(id, QVariant());
    CrossView view;
    view.showPreviewButtons(phases > 0);
    if (!scheme.isEmpty())
        view.setLight(&light);
    const QSize hint = view.sizeHint();
    QVERIFY(hint.width() >= 200 && hint.height() >= 200);
    QVERIFY(hint.width() <= 800 && hint.height() <= 800);
    view.resize(hint);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    auto *panel = view.findChild<CrossView::Private *>();
    QVERIFY2(panel->width() >= picture.width() && panel->height() >= picture.height(),
             qPrintable(QStringLiteral("%1 x %2").arg(panel->width()).arg(panel->height())));
}

void tst_CrossView::rasterSchemes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("drawn");
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(SchemeColour);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    QByteArray gif("GIF89a\x00\x00\x00\x00\x80\x00\x00\x30\x50\xa0\x30\x50\xa0,\x00\x00\x00\x00"
                   "\x28\x23\x28\x23\x00\x02\x02\x44\x01\x00\x3b", 35);
    QTest::newRow("png") << png << true;
    QTest::newRow("gif claiming 9000 pixels a side") << gif << false;
}

void tst_CrossView::rasterSchemes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, drawn);
    Fixture f;
    const QString path = f.tmp.filePath(QStringLiteral("scheme.raster"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    f.light.setShema(path);
    f.light.setCurrentPhase(-1);
    f.view.setLight(&f.light);
    const QColor shown = f.panel->grab().toImage().pixelColor(20, 20);
    if (drawn)
        QCOMPARE(shown, SchemeColour);
    else
        QVERIFY(f.blank(shown));
}

void tst_CrossView::statusFarFromNow_data()
{
    QTest::addColumn<qint64>("secondsAgo");
    QTest::addColumn<QVariant>("length");
    QTest::addColumn<QVariant>("transition");
    QTest::addColumn<QString>("text");
    const qint64 century = 3155760000;
    QTest::newRow("change a century ahead") << -century << QVariant(30) << QVariant(0) << "Phase 2:-2147483648(2147483647)";
    QTest::newRow("transition a century ahead") << -century << QVariant(30) << QVariant(20) << "Phase 2:-2147483648(30) TF:2147483647";
    QTest::newRow("change a century ago") << century << QVariant(30) << QVariant(20) << "Phase 2:2147483647(30) TF:0";
    QTest::newRow("length at the int minimum") << qint64(12) << QVariant(INT_MIN) << QVariant(0) << "Phase 2:12(0)";
}

void tst_CrossView::statusFarFromNow()
{
    QFETCH(qint64, secondsAgo);
    QFETCH(QVariant, length);
    QFETCH(QVariant, transition);
    QFETCH(QString, text);
    const QDateTime now(QDate(2024, 5, 1), QTime(12, 0), Qt::UTC);
    Sivel::Light light;
    light.setCurrentPhase(2);
    light.setPhaseLength(length);
    light.setTransitionFlag(transition);
    light.setPhaseChangeTime(now.addSecs(-secondsAgo));
    QCOMPARE(CrossView::Private::statusText(light, now), text);
}

QTEST_MAIN(tst_CrossView)
#include "tst_crossview.moc"

#include "CrossView.h"
#include "CrossViewPrivate.h"
#include "Light.h"
#include "LightWithoutPhases.h"
#include "QuietPlatform.h"
#include "RowTable.h"

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
const qint64 NoTime = std::numeric_limits<qint64>::min();
const qint64 Century = 3155760000;
const QVariant None;

// Faint dots in two corners make the picture's bounds the whole document.
QString writeSvg(const QString &path, QSize size, const QRect &fill, const QColor &colour)
{
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%2\">"
                                  "<rect width=\"1\" height=\"1\" fill-opacity=\"0.01\"/>"
                                  "<rect x=\"%3\" y=\"%4\" width=\"1\" height=\"1\" fill-opacity=\"0.01\"/>"
                                  "<rect x=\"%5\" y=\"%6\" width=\"%7\" height=\"%8\" fill=\"%9\"/></svg>")
                       .arg(size.width()).arg(size.height()).arg(size.width() - 1).arg(size.height() - 1)
                       .arg(fill.x()).arg(fill.y()).arg(fill.width()).arg(fill.height()).arg(colour.name())
                       .toUtf8());
    return path;
}

// The colour a panel shows at a point of a 400 x 400 scheme's own coordinates.
QColor colourAt(QWidget *panel, double x, double y)
{
    const double s = std::min(panel->width() / 401.0, panel->height() / 401.0);
    return panel->grab().toImage().pixelColor(int(x * s), int(y * s));
}

// A light over a 400 x 400 scheme; phase id paints the 100 x 100 square at (100 * id, 100).
struct Fixture
{
    Fixture()
    {
        light.setId(12);
        light.setDescription(QStringLiteral("Market Square"));
        light.setShema(writeSvg(tmp.filePath(QStringLiteral("k12.svg")), QSize(400, 400), QRect(0, 0, 400, 400), SchemeColour));
        for (int id : {0, 1, 2, 3})
            light.addPhase(id, writeSvg(tmp.filePath(QStringLiteral("p%1.svg").arg(id)), QSize(400, 400), QRect(100 * id, 100, 100, 100), PhaseColour));
        light.setCurrentPhase(1);
        view.resize(300, 340);
        view.show();
    }
    QColor at(double x, double y) const { return colourAt(panel, x, y); }
    // Nothing of the pictures is drawn there: the panel's background shows.
    bool blank(const QColor &c) const { return c.alpha() == 0 || c == panel->palette().color(QPalette::Window); }
    void tick()
    {
        QTimerEvent event(panel->timerId);
        QCoreApplication::sendEvent(panel, &event);
    }
    QList<QPushButton *> buttons() const { return view.findChildren<QPushButton *>(); }
    QString write(const char *name, const QByteArray &bytes)
    {
        QFile file(tmp.filePath(QString::fromLatin1(name)));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? file.fileName() : QString();
    }

    QTemporaryDir tmp;
    Sivel::Light light;
    CrossView view;
    CrossView::Private *panel = view.findChild<CrossView::Private *>();
    QLabel *label = view.findChild<QLabel *>();
};

QByteArray schemePng()
{
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(SchemeColour);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    return buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG") ? bytes : QByteArray();
}

QPixmap filled(const QColor &colour)
{
    QPixmap pixmap(400, 400);
    pixmap.fill(colour);
    return pixmap;
}

// With the light's scheme and phases changed by `setup` and phase `phase` running, at `point`
// of the scheme: 'S' its colour, 'P' a phase's, 'X' the pixmap's, '-' nothing, 'M' a placeholder
// 250 units square. The fixture's scheme is k12.svg.
const struct { const char *name; void (*setup)(Fixture &); int phase; QPoint point; char shows; } pictureRows[] = {
    {"scheme alone", [](Fixture &) {}, -1, {150, 150}, 'S'},
    {"phase over the scheme", [](Fixture &) {}, 2, {250, 150}, 'P'},
    {"scheme around the phase", [](Fixture &) {}, 2, {50, 150}, 'S'},
    {"phase alone without scheme", [](Fixture &f) { f.light.setShema(None); }, 1, {150, 150}, 'P'},
    {"nothing around it", [](Fixture &f) { f.light.setShema(None); }, 1, {250, 250}, '-'},
    {"pixmap scheme without phase", [](Fixture &f) { f.light.setShema(filled(PixmapColour)); }, -1, {50, 50}, 'X'},
    {"phase drawn without the pixmap", [](Fixture &f) { f.light.setShema(filled(PixmapColour)); }, 1, {150, 150}, 'P'},
    {"no pixmap under a phase", [](Fixture &f) { f.light.setShema(filled(PixmapColour)); }, 1, {250, 50}, '-'},
    {"svg beside a metafile", [](Fixture &f) { f.light.setShema(f.write("k12.wmf", {})); }, -1, {50, 50}, 'S'},
    {"metafile without svg", [](Fixture &f) { f.light.setShema(f.write("plan.wmf", {})); }, -1, {}, 'M'},
    {"upper-case suffix is raster", [](Fixture &f) { f.light.setShema(f.write("k12.WMF", "<svg")); }, -1, {50, 50}, '-'},
    {"png", [](Fixture &f) { f.light.setShema(f.write("k12.png", schemePng())); }, -1, {50, 50}, 'S'},
    {"raster without a suffix", [](Fixture &f) { f.light.setShema(f.write("k12", schemePng())); }, -1, {50, 50}, 'S'},
    // One pixel in the scheme's colour in a 9000 x 9000 frame.
    {"gif claiming 9000 pixels a side", [](Fixture &f) { f.light.setShema(f.write("k12.gif", QByteArray("GIF89a\0\0\0\0\x80\0\0\x30\x50\xa0\x30\x50\xa0,\0\0\0\0\x28\x23\x28\x23\0\x02\x02\x44\x01\0\x3b", 35))); }, -1, {50, 50}, '-'},
};

// sN: the light runs N; bN / r: press / release button N; vN: previewPhase(N); m / u: press /
// release on the picture. Afterwards the picture shows phase `shown` (-1: the scheme alone).
const struct { const char *name, *script; int shown; } phaseRows[] = {
    {"follows the light", "s3", 3},
    {"held button previews", "b2", 2},
    {"state change while held", "b2 s3", 2},
    {"release returns to the live phase", "b2 s3 r", 3},
    {"preview from code", "v3 s2", 3},
    {"the same preview twice", "v3 v3 s2", 3},
    {"negative preview ends it", "v3 s2 v-1", 2},
    {"mouse hold hides the phase", "m", -1},
    {"mouse hold hides phase 0", "s0 m", -1},
    {"mouse release shows it again", "m u", 1},
    {"mouse during a preview from code", "v2 m u", -1},
};

const struct { const char *name; bool connected; int phase; qint64 ago; QVariant length, transition, regime; const char *text; } statusRows[] = {
    {"remaining", true, 2, 12, 30, 0, None, "Phase 2:12(18)"},
    {"overrun shows 0", true, 2, 50, 45, 0, None, "Phase 2:50(0)"},
    {"transition countdown", true, 2, 12, 30, 20, None, "Phase 2:12(30) TF:8"},
    {"transition of unknown length", true, 2, 12, 30, 255, None, "Phase 2:12(30) TF"},
    {"negative transition flag", true, 2, 12, 30, -4, None, "Phase 2:12(30)"},
    {"no length", true, 2, 12, None, 0, None, "Phase 2:12"},
    {"length not a number", true, 2, 12, QStringLiteral("long"), 0, None, "Phase 2:12"},
    {"no transition flag", true, 2, 12, 30, None, None, "Phase 2:"},
    {"no change time", true, 2, NoTime, 30, 0, None, "Phase 2:"},
    {"key regime", true, -1, 12, None, None, 3, "Key regime 3: 12"},
    {"key regime 0", true, -1, 12, None, None, 0, "Key regime 0: 12"},
    {"regime 255", true, -1, 12, None, None, 255, "Unknown state: 12"},
    {"no regime, no time", true, -1, NoTime, None, None, None, "Unknown state"},
    {"disconnected", false, 2, 12, 30, 0, None, "Disconnected: 12"},
    {"disconnected, no time", false, 2, NoTime, None, None, None, "Disconnected"},
    {"change a century ahead", true, 2, -Century, 30, 0, None, "Phase 2:-2147483648(2147483647)"},
    {"transition a century ahead", true, 2, -Century, 30, 20, None, "Phase 2:-2147483648(30) TF:2147483647"},
    {"change a century ago", true, 2, Century, 30, 20, None, "Phase 2:2147483647(30) TF:0"},
    {"length at the int minimum", true, 2, 12, INT_MIN, 0, None, "Phase 2:12(0)"},
};

// At its size hint the panel gets at least `picture`, and the status line its font's height.
const struct { const char *name; QSize scheme; int phases, fontPixels; QSize picture; } hintRows[] = {
    {"no light", {}, 0, 0, {80, 80}},
    {"small scheme", {60, 40}, 0, 0, {80, 80}},
    {"scheme at its size", {400, 300}, 0, 0, {401, 301}},
    {"scheme and buttons", {400, 300}, 17, 0, {401, 301}},
    {"scheme and a large font", {400, 300}, 0, 40, {401, 301}},
    {"huge scheme", {3000, 1500}, 0, 0, {700, 350}},
};

// Phases in the light's order, and the buttons' labels row by row, 16 to a row.
const struct { const char *name; QList<int> ids, placed; } gridRows[] = {
    {"16 to a row", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}},
    {"ascending ids", {5, 2, 9}, {2, 5, 9}},
    {"duplicate id", {4, 4, 1}, {1, 4}},
};

} // namespace

class tst_CrossView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QuietPlatform::install(); }
    void pictures_data() { addRows(pictureRows); }
    void pictures();
    void shownPhase_data() { addRows(phaseRows); }
    void shownPhase();
    void statusText_data() { addRows(statusRows); }
    void statusText();
    void statusTimer();
    void sizeHints_data() { addRows(hintRows); }
    void sizeHints();
    void buttonGrid_data() { addRows(gridRows); }
    void buttonGrid();
    void binding();
};

void tst_CrossView::pictures()
{
    QFETCH(int, row);
    const auto &t = pictureRows[row];
    Fixture f;
    t.setup(f);
    f.light.setCurrentPhase(t.phase);
    f.view.setLight(&f.light);
    const QColor c = f.at(t.point.x(), t.point.y());
    const QColor want = t.shows == 'S' ? SchemeColour : t.shows == 'P' ? PhaseColour : PixmapColour;
    QVERIFY2(t.shows == 'M' || (t.shows == '-' ? f.blank(c) : c == want), qPrintable(c.name()));
    // The placeholder's message wraps inside its frame; the frame gives the picture its size.
    QVERIFY(t.shows != 'M' || f.panel->sizeHint() == QSize(251, 251));
}

void tst_CrossView::shownPhase()
{
    QFETCH(int, row);
    const auto &t = phaseRows[row];
    Fixture f;
    f.view.showPreviewButtons(true);
    f.view.setLight(&f.light);
    f.view.layout()->activate();
    QPushButton *held = nullptr;
    for (const QString &step : QString::fromLatin1(t.script).split(QLatin1Char(' '))) {
        const int n = step.mid(1).toInt();
        switch (step.at(0).toLatin1()) {
        case 's': f.light.setCurrentPhase(n), f.light.notify(); break;
        case 'b': QTest::mousePress(held = f.buttons().at(n), Qt::LeftButton); break;
        case 'r': QTest::mouseRelease(held, Qt::LeftButton); break;
        case 'v': f.view.previewPhase(n); break;
        case 'm': QTest::mousePress(f.panel, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5)); break;
        case 'u': QTest::mouseRelease(f.panel, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5)); break;
        }
    }
    for (int id : {0, 1, 2, 3})
        QCOMPARE(f.at(100 * id + 50, 150), id == t.shown ? PhaseColour : SchemeColour);
}

void tst_CrossView::statusText()
{
    QFETCH(int, row);
    const auto &t = statusRows[row];
    const QDateTime now(QDate(2024, 5, 1), QTime(12, 0, 0, 700), Qt::UTC);
    Sivel::Light light;
    light.setConnected(t.connected);
    light.setCurrentPhase(t.phase);
    light.setPhaseLength(t.length);
    light.setTransitionFlag(t.transition);
    light.setKeyRegime(t.regime);
    light.setPhaseChangeTime(t.ago == NoTime ? QDateTime() : now.addSecs(-t.ago).addMSecs(-300));
    QCOMPARE(CrossView::Private::statusText(light, now), QString::fromLatin1(t.text));
}

void tst_CrossView::statusTimer()
{
    Fixture f;
    f.light.setTransitionFlag(0);
    f.light.setPhaseChangeTime(QDateTime::currentDateTime());
    f.view.setLight(&f.light);
    QVERIFY(f.label->text().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(f.label->text().startsWith(QLatin1String("Phase 1:")), 2000);
    f.light.setCurrentPhase(3);
    f.light.notify();
    QVERIFY(f.label->text().startsWith(QLatin1String("Phase 1:"))); // only the timer writes it
    f.view.previewPhase(2);
    f.tick();
    QVERIFY(f.label->text().startsWith(QLatin1String("Phase 1:"))); // a preview holds it
    f.light.setConnected(false);
    f.tick();
    QVERIFY(f.label->text().startsWith(QLatin1String("Disconnected")));
    f.view.setLight(nullptr);
    f.tick();
    QVERIFY(f.label->text().isEmpty() && f.panel->timerId == 0);
}

void tst_CrossView::sizeHints()
{
    QFETCH(int, row);
    const auto &t = hintRows[row];
    Fixture f;
    f.light.setShema(writeSvg(f.tmp.filePath(QStringLiteral("s.svg")), t.scheme, QRect(QPoint(), t.scheme), SchemeColour));
    for (int id = 4; id < t.phases + 4; ++id)
        f.light.addPhase(id, None);
    QFont font = f.view.font();
    font.setPixelSize(t.fontPixels ? t.fontPixels : QFontInfo(font).pixelSize());
    f.view.setFont(font);
    f.label->setText(QStringLiteral("Phase 2:12(18) TF:8"));
    f.view.showPreviewButtons(t.phases > 0);
    f.view.setLight(t.scheme.isEmpty() ? nullptr : &f.light);
    const QSize hint = f.view.sizeHint();
    QVERIFY(hint.width() >= 200 && hint.height() >= 200 && hint.width() <= 800 && hint.height() <= 800);
    f.view.resize(hint);
    f.view.layout()->activate();
    QVERIFY2(f.panel->width() >= t.picture.width() && f.panel->height() >= t.picture.height(), qPrintable(QStringLiteral("%1 x %2").arg(f.panel->width()).arg(f.panel->height())));
    QVERIFY(f.label->height() >= f.label->sizeHint().height() && f.label->geometry().bottom() < f.panel->geometry().top());
    QVERIFY(f.view.minimumSizeHint().height() >= f.label->height() + 80);
}

void tst_CrossView::buttonGrid()
{
    QFETCH(int, row);
    const auto &t = gridRows[row];
    Fixture f;
    Sivel::Light light;
    for (int id : t.ids)
        light.addPhase(id, None);
    f.view.setLight(&light);
    QTest::mouseDClick(f.panel, Qt::RightButton, Qt::NoModifier, QPoint(20, 20));
    QCOMPARE(f.view.layout()->count(), 2);
    QTest::mouseDClick(f.panel, Qt::LeftButton, Qt::NoModifier, QPoint(20, 20));
    f.view.showPreviewButtons(true); // already shown: nothing happens
    auto *grid = qobject_cast<QGridLayout *>(f.view.layout()->itemAt(0)->layout());
    QVERIFY(f.view.layout()->count() == 3 && grid->spacing() == 1);
    QCOMPARE(f.buttons().size(), t.placed.size());
    for (int i = 0; i < t.placed.size(); ++i) {
        auto *button = qobject_cast<QPushButton *>(grid->itemAtPosition(i / 16, i % 16)->widget());
        QCOMPARE(button->text().remove(QLatin1Char('&')).toInt(), t.placed[i]);
        QVERIFY(button->minimumWidth() >= button->sizeHint().height());
    }
    QTest::mouseDClick(&f.view, Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
    QVERIFY(f.view.layout()->count() == 2 && f.buttons().isEmpty());
}

void tst_CrossView::binding()
{
    Fixture f;
    QMainWindow window;
    auto *dock = new QDockWidget(&window);
    auto *view = new CrossView;
    dock->setWidget(view);
    window.addDockWidget(Qt::LeftDockWidgetArea, dock);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *panel = view->findChild<CrossView::Private *>();
    auto shows = [panel] { return colourAt(panel, 150, 150); };
    view->showPreviewButtons(true);
    view->setLight(&f.light);
    QCOMPARE(dock->windowTitle(), QStringLiteral("12: Market Square"));
    const int timer = panel->timerId;
    dock->setWindowTitle(QStringLiteral("renamed"));
    view->setLight(&f.light); // the same light again: nothing happens
    QVERIFY(dock->windowTitle() == QLatin1String("renamed") && panel->timerId == timer);
    QObject other;
    view->setLight(&other);
    QVERIFY(view->property("light").value<QObject *>() == nullptr && f.blank(shows()));
    QCOMPARE(dock->windowTitle(), QStringLiteral("Select object"));
    QCOMPARE(view->findChildren<QPushButton *>().size(), 0);
    // Another host's light without phases() binds quietly.
    const std::unique_ptr<QObject> foreign(createLightWithoutPhases(f.light.shema()));
    view->setLight(foreign.get());
    QVERIFY(view->light() == foreign.get() && shows() == SchemeColour);
    // A light destroyed while previewed unbinds and leaves none of its pictures behind.
    auto *light = new Sivel::Light;
    light->setShema(f.light.shema());
    light->addPhase(2, f.light.phases().at(1)->property("shema"));
    view->setLight(light);
    view->previewPhase(2);
    dock->setWindowTitle(QStringLiteral("renamed"));
    delete light;
    QVERIFY(view->light() == nullptr && panel->previewId == -1 && f.blank(shows()));
    QCOMPARE(dock->windowTitle(), QStringLiteral("Select object"));
    Sivel::Light plain;
    plain.setShema(f.light.shema());
    plain.setCurrentPhase(2);
    view->setLight(&plain);
    QCOMPARE(shows(), SchemeColour);
    // Without a dock no title is touched.
    f.view.setWindowTitle(QStringLiteral("mine"));
    f.view.setLight(&f.light);
    QCOMPARE(f.view.windowTitle(), QStringLiteral("mine"));
}

QTEST_MAIN(tst_CrossView)
#include "tst_crossview.moc"

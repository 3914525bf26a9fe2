#include "CrossView.h"
#include "CrossViewPrivate.h"
#include "Light.h"
#include "LightWithoutPhases.h"
#include "QuietPlatform.h"
#include "RowTable.h"

#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtTest/QtTest>
#include <QtWidgets/QDockWidget>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QVBoxLayout>

#include <functional>
#include <map>

namespace {

const QColor SchemeColour(0x30, 0x50, 0xa0), PhaseColour(0xe0, 0x20, 0x20),
    PixmapColour(0x20, 0xc0, 0x40);
const qint64 NoTime = std::numeric_limits<qint64>::min(), Century = 3155760000;
const QVariant None;

// All in `colour`, or for a phase transparent but for its unit square at (phase, 1).
QImage image(const QColor &colour, QSize size = {4, 4}, int phase = -1)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(phase < 0 ? colour : QColor(Qt::transparent));
    if (phase >= 0)
        image.setPixelColor(phase, 1, colour);
    return image;
}

// Light 12 over a scheme of 4 x 4 units runs phase 1; phase id paints the unit square at
// (id, 1). The view stands in a dock, which takes the light's title.
struct Fixture
{
    Fixture()
    {
        light->setId(12);
        light->setDescription(QStringLiteral("Mill"));
        light->setShema(scheme);
        light->setCurrentPhase(1);
        for (int id : {0, 1, 2, 3})
            light->addPhase(id, image(PhaseColour, {4, 4}, id));
        dock.setWidget(&view);
        dock.show();
    }
    QString write(const QString &name, const QByteArray &bytes)
    {
        QFile file(tmp.filePath(name));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
            ? file.fileName()
            : QString();
    }
    // The middle of each phase's square on screen shows the Scheme, a Phase, the piXmap or
    // nothing ('-').
    QString squares() const
    {
        QCoreApplication::processEvents();
        const QImage window = dock.windowHandle()->screen()->grabWindow(dock.winId()).toImage();
        const QImage shown = window.copy(QRect(panel->mapTo(&dock, QPoint()), panel->size()));
        const double s = std::min(panel->width(), panel->height()) / 5.0;
        const QColor blank = panel->palette().color(QPalette::Window);
        QString seen;
        for (int id : {0, 1, 2, 3}) {
            const QColor c = shown.pixelColor(int((id + 0.5) * s), int(1.5 * s));
            seen += c == SchemeColour ? 'S'
                : c == PhaseColour    ? 'P'
                : c == PixmapColour   ? 'X'
                : c == blank          ? '-'
                                      : '?';
        }
        return seen;
    }
    QList<QPushButton *> buttons() const { return view.findChildren<QPushButton *>(); }

    QTemporaryDir tmp;
    QString scheme = write(QStringLiteral("k12.svg"),
                           "<svg xmlns='http://www.w3.org/2000/svg' width='4' height='4'>"
                           "<rect width='4' height='4' fill='#3050a0'/></svg>");
    QDockWidget dock;
    QPointer<Sivel::Light> light = new Sivel::Light(&dock);
    CrossView view;
    CrossView::Private *panel = view.findChild<CrossView::Private *>();
    QLabel *label = view.findChild<QLabel *>();
};

// The docked fixture, its light's scheme changed by `setup`, the phase buttons shown and the
// light bound; then the steps of `script`:
//   sN the light runs phase N, and says so      bN / rN  press / release button N
//   vN previewPhase(N)                          m / u    press / release on the picture
//   t  a tick of the status timer               c        the light disconnects
//   l  bind the light again    n  bind null     o        bind an object of another class
//   f  bind another host's light: no phases(), no properties
//   x  destroy the light       R  rename the dock
// Then the squares show `shows` ("M": a placeholder 250 units square instead), and the status
// line and the dock's title read `label` and `title`.
// clang-format off
const struct { const char *name; void (*setup)(Fixture &); const char *script, *shows, *label, *title; } showRows[] = {
    {"phase 0 is a phase", nullptr, "s0", "PSSS", "", "12: Mill"},
    {"phase alone without scheme", [](Fixture &f) { f.light->setShema(None); }, "", "-P--", "", "12: Mill"},
    {"pixmap scheme without phase", [](Fixture &f) { f.light->setShema(QPixmap::fromImage(image(PixmapColour))); }, "s-1", "XXXX", "", "12: Mill"},
    {"phase drawn without the pixmap", [](Fixture &f) { f.light->setShema(QPixmap::fromImage(image(PixmapColour))); }, "", "-P--", "", "12: Mill"},
    {"svg beside a metafile", [](Fixture &f) { f.light->setShema(f.write("k12.wmf", {})); }, "", "SPSS", "", "12: Mill"},
    {"metafile without svg", [](Fixture &f) { f.light->setShema(f.write("plan.wmf", {})); }, "", "M", "", "12: Mill"},
    {"upper-case suffix is raster", [](Fixture &f) { f.light->setShema(f.write("k12.WMF", "<svg")); }, "", "----", "", "12: Mill"},
    {"xpm scheme", [](Fixture &f) { image(SchemeColour).save(f.tmp.filePath("k12.xpm"), "XPM"); f.light->setShema(f.tmp.filePath("k12.xpm")); }, "", "SPSS", "", "12: Mill"},
    {"raster without a suffix", [](Fixture &f) { image(SchemeColour).save(f.tmp.filePath("k12"), "PNG"); f.light->setShema(f.tmp.filePath("k12")); }, "", "SPSS", "", "12: Mill"},
    // One pixel in the scheme's colour in a 9000 x 9000 frame.
    {"gif claiming 9000 pixels a side", [](Fixture &f) { f.light->setShema(f.write("k12.gif", QByteArray("GIF89a\0\0\0\0\x80\0\0\x30\x50\xa0\x30\x50\xa0,\0\0\0\0\x28\x23\x28\x23\0\x02\x02\x44\x01\0\x3b", 35))); }, "", "----", "", "12: Mill"},
    {"state change while held", nullptr, "b2 s3", "SSPS", "", "12: Mill"},
    {"release returns to the live phase", nullptr, "b2 s3 r2", "SSSP", "", "12: Mill"},
    {"preview from code", nullptr, "v3 s2", "SSSP", "", "12: Mill"},
    {"preview of phase 0 holds against a state change", nullptr, "v0 s2", "PSSS", "", "12: Mill"},
    {"negative preview ends it", nullptr, "v3 s2 v-1", "SSPS", "", "12: Mill"},
    {"mouse hold hides phase 0", nullptr, "s0 m", "SSSS", "", "12: Mill"},
    {"mouse release shows it again", nullptr, "m u", "SPSS", "", "12: Mill"},
    {"mouse hold in a preview, the same preview again", nullptr, "v2 m u v2", "SSSS", "", "12: Mill"},
    {"a preview holds the status", nullptr, "t s3 v2 t", "SSPS", "Phase 1:", "12: Mill"},
    {"disconnection shows through a preview", nullptr, "v2 c t", "SSPS", "Disconnected", "12: Mill"},
    {"the tick after unbinding clears the status", nullptr, "t n t", "----", "", "Select object"},
    {"the same light again changes nothing", nullptr, "R l", "SPSS", "", "renamed"},
    {"an object of another class unbinds", nullptr, "o t", "----", "", "Select object"},
    {"a light without phases() binds quietly", nullptr, "f", "----", "", "0: "},
    {"a destroyed light unbinds in a preview", nullptr, "v2 R x t", "----", "", "Select object"},
    {"a destroyed light leaves no pictures", nullptr, "x f", "----", "", "0: "},
};
// clang-format on

// clang-format off
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
    {"change a century ago", true, 2, Century, 30, 20, None, "Phase 2:2147483647(30) TF:0"},
    {"length at the int minimum", true, 2, 12, INT_MIN, 0, None, "Phase 2:12(0)"},
    {"flag of -0.5 is 0, halves rounded up on both Qts", true, 2, 12, 30, -0.5, None, "Phase 2:12(18)"},
};
// clang-format on

// A light over a scheme of the given size with phases in the given order, in
// a font of the given point size (-1: the default). At its size hint the panel gets
// at least `picture`, and the grid holds buttons labelled `placed` row by row.
// clang-format off
const struct { const char *name; QSize scheme; QList<int> ids; int fontPoints; QSize picture; QList<int> placed; } layoutRows[] = {
    {"small scheme", {60, 40}, {}, -1, {80, 80}, {}},
    {"scheme and a large font", {400, 300}, {}, 30, {401, 301}, {}},
    {"huge scheme", {1200, 600}, {}, -1, {700, 350}, {}},
    {"scheme at its size, 16 buttons to a row", {400, 300}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}, -1, {401, 301}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}},
    {"ids not ascending, or a duplicate id", {400, 300}, {4, 4, 1}, -1, {401, 301}, {1, 4}},
};
// clang-format on

// A host that deletes the view's layout and may set its own (a Row or a Column), led by a
// grid with one of the host's labels in it; then binds, unbinds and binds the light, hides
// and shows the buttons (`buttons` of them appear) and hides them again.
// clang-format off
const struct { const char *name; bool shownBefore; char own; int buttons; } hostLayoutRows[] = {
    {"layout deleted", false, '-', 0},
    {"a row led by the host's grid", false, 'R', 0},
    {"a column led by the host's grid, buttons shown before", true, 'C', 4},
};
// clang-format on

} // namespace

class tst_CrossView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QuietPlatform::install(); }
    void firstLight();
    void shows_data() { addRows(showRows); }
    void shows();
    void statusText_data() { addRows(statusRows); }
    void statusText();
    void layout_data() { addRows(layoutRows); }
    void layout();
    void hostLayout_data() { addRows(hostLayoutRows); }
    void hostLayout();
};

// Runs before anything else has registered QList<QObject *> with the meta-type system.
void tst_CrossView::firstLight()
{
    Fixture f;
    f.view.setLight(f.light);
    QCOMPARE(f.squares(), QStringLiteral("SPSS"));
}

void tst_CrossView::shows()
{
    QFETCH(int, row);
    const auto &t = showRows[row];
    Fixture f;
    if (t.setup)
        t.setup(f);
    f.view.showPreviewButtons(true);
    f.view.setLight(f.light);
    f.view.layout()->activate();
    for (const QString &step :
         QString::fromLatin1(t.script).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        QCoreApplication::processEvents(); // on screen first: a step repaints what it changes
        const int n = step.mid(1).toInt();
        QTimerEvent tick(f.panel->timerId);
        const std::map<char, std::function<void()>> act{
            {'s', [&] { f.light->setCurrentPhase(n), f.light->notify(); }},
            {'b', [&] { QTest::mousePress(f.buttons().at(n), Qt::LeftButton); }},
            {'r', [&] { QTest::mouseRelease(f.buttons().at(n), Qt::LeftButton); }},
            {'v', [&] { f.view.previewPhase(n); }},
            {'m', [&] { QTest::mousePress(f.panel, Qt::LeftButton, {}, QPoint(5, 5)); }},
            {'u', [&] { QTest::mouseRelease(f.panel, Qt::LeftButton, {}, QPoint(5, 5)); }},
            {'t', [&] { QCoreApplication::sendEvent(f.panel, &tick); }},
            {'c', [&] { f.light->setConnected(false); }},
            {'l', [&] { f.view.setLight(f.light); }},
            {'n', [&] { f.view.setLight(nullptr); }},
            {'o', [&] { f.view.setLight(new QObject(&f.dock)); }},
            {'f', [&] { f.view.setLight(createLightWithoutPhases(&f.dock)); }},
            {'R', [&] { f.dock.setWindowTitle(QStringLiteral("renamed")); }},
            {'x', [&] { delete f.light; }},
        };
        act.at(step.at(0).toLatin1())();
    }
    if (QByteArray(t.shows) == "M")
        QCOMPARE(f.panel->sizeHint(), QSize(251, 251));
    else
        QCOMPARE(f.squares(), QString::fromLatin1(t.shows));
    QCOMPARE(f.label->text(), QString::fromLatin1(t.label));
    QCOMPARE(f.dock.windowTitle(), QString::fromLatin1(t.title));
    // Only the fixture's light has phases, and so buttons.
    QCOMPARE(f.buttons().size(), f.light && f.view.light() == f.light ? 4 : 0);
    // A timer runs while a light is bound; the first tick without one stops it.
    if (QByteArray(t.script).endsWith('t'))
        QCOMPARE(f.panel->timerId != 0, f.view.light() != nullptr);
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

void tst_CrossView::layout()
{
    QFETCH(int, row);
    const auto &t = layoutRows[row];
    Fixture f;
    Sivel::Light light;
    image(SchemeColour, t.scheme).save(f.tmp.filePath(QStringLiteral("s.png")));
    light.setShema(f.tmp.filePath(QStringLiteral("s.png")));
    for (int id : t.ids)
        light.addPhase(id, None);
    f.label->setContentsMargins(0, 3, 0, 3); // as a host's style sheet may
    f.view.setFont(QFont(QString(), t.fontPoints));
    f.label->setText(QStringLiteral("Phase 2:12(18) TF:8"));
    f.view.setLight(&light);
    QTest::mouseDClick(f.panel, Qt::RightButton, {}, QPoint(20, 20));
    QCOMPARE(f.view.layout()->count(), 2);
    QTest::mouseDClick(f.panel, Qt::LeftButton, {}, QPoint(20, 20));
    f.view.showPreviewButtons(true); // already shown: nothing happens
    const auto *grid = qobject_cast<QGridLayout *>(f.view.layout()->itemAt(0)->layout());
    QVERIFY(f.view.layout()->count() == 3 && grid->spacing() == 1);
    QCOMPARE(f.buttons().size(), t.placed.size());
    for (int i = 0; i < t.placed.size(); ++i) {
        auto *button = qobject_cast<QPushButton *>(grid->itemAtPosition(i / 16, i % 16)->widget());
        QCOMPARE(button->text().remove(QLatin1Char('&')).toInt(), t.placed[i]);
        QVERIFY(button->minimumWidth() >= button->sizeHint().height());
    }
    f.view.resize(f.view.sizeHint());
    f.view.layout()->activate();
    QVERIFY(f.view.width() >= 200 && f.view.height() >= 200 && f.view.width() <= 800
            && f.view.height() <= 800);
    QCOMPARE(f.panel->size().expandedTo(t.picture), f.panel->size()); // at least the picture
    QVERIFY(f.label->height() >= f.label->sizeHint().height()
            && f.label->geometry().bottom() < f.panel->geometry().top());
    QVERIFY(f.view.minimumSizeHint().height() >= f.label->height() + 80);
    QTest::mouseDClick(&f.view, Qt::LeftButton, {}, QPoint(5, 5));
    QVERIFY(f.view.layout()->count() == 2 && f.buttons().isEmpty());
}

void tst_CrossView::hostLayout()
{
    QFETCH(int, row);
    const auto &t = hostLayoutRows[row];
    Fixture f;
    if (t.shownBefore)
        f.view.showPreviewButtons(true);
    delete f.view.layout();
    auto *hostGrid = new QGridLayout;
    QPointer<QLabel> hostLabel = new QLabel(QStringLiteral("host"));
    hostGrid->addWidget(hostLabel, 0, 0);
    if (t.own == 'R')
        (new QHBoxLayout(&f.view))->addLayout(hostGrid);
    else if (t.own == 'C')
        (new QVBoxLayout(&f.view))->addLayout(hostGrid);
    else
        delete hostGrid;
    f.view.setLight(f.light);
    f.view.setLight(nullptr);
    f.view.setLight(f.light);
    f.view.showPreviewButtons(false);
    f.view.showPreviewButtons(true);
    QCOMPARE(f.buttons().size(), t.buttons);
    f.view.showPreviewButtons(false);
    QVERIFY(f.buttons().isEmpty());
    if (t.own != '-')
        QVERIFY(hostLabel && hostGrid->count() == 1
                && f.view.layout()->itemAt(0)->layout() == hostGrid);
}

QTEST_MAIN(tst_CrossView)
#include "tst_crossview.moc"

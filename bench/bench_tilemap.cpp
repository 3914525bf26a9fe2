// How fast the tile map paints, against plain Qt widgets that read, decode and blit the
// same tiles at the same pixels: a fresh process's first frame, cold and warm repaints,
// pan steps, at 1920 x 1080 and 3840 x 2160; and the memory of a long pan/zoom session.
//
//   bench_tilemap                 all rows (spawns itself for the fresh-process rows)
//   bench_tilemap --quick         the in-process rows at 1920 x 1080 only
//   bench_tilemap --first-frame osm|plain DB WxH     one first frame, prints its ms
//   bench_tilemap --pan-session DB WxH               2000 pans/zooms, prints peak RSS KiB
//   bench_tilemap --still         the rows of steps after the operator looked a while
#include "BenchSupport.h"
#include "OsmView.h"
#include "SampleMap.h"
#include "TileAddressing.h"
#include "TileDatabase.h"
#include "TileImage.h"
#include "Tiles.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QEventLoop>
#include <QtCore/QThread>
#include <QtCore/QThreadPool>
#include <QtCore/QTimer>
#include <QtCore/QProcess>
#include <QtCore/QRandomGenerator>
#include <QtCore/QTemporaryDir>
#include <QtGui/QPaintEvent>
#include <QtGui/QWheelEvent>
#include <QtGui/QPainter>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtWidgets/QApplication>
#include <QtWidgets/QGraphicsScene>
#include <QtWidgets/QScrollBar>

#include <sys/resource.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

inline uint qHash(const QPoint &p, uint seed = 0)
{
    return qHash(qMakePair(p.x(), p.y()), seed);
}

namespace {

constexpr int Level = 14;
constexpr int Runs = 15;

QPointF startPoint()
{
    const QPointF c = SampleMap::centre();
    return QPointF(tileXToLon(lonToTileX(c.x(), Level) + 4, Level) + 0.0001,
                   tileYToLat(latToTileY(c.y(), Level) + 3, Level) - 0.0001);
}

QRect sampleArea()
{
    const int cx = lonToTileX(SampleMap::centre().x(), Level);
    const int cy = latToTileY(SampleMap::centre().y(), Level);
    return QRect(QPoint(cx - 6, cy - 4), QPoint(cx + 40, cy + 34));
}

QSize parseSize(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char('x'));
    return QSize(parts.value(0).toInt(), parts.value(1).toInt());
}

// Reads and decodes tiles the plain way: one prepared SELECT, Qt's PNG decoder.
class TileReader
{
public:
    explicit TileReader(const QString &path)
    {
        static int connections = 0;
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"),
                                       QStringLiteral("plain%1").arg(++connections));
        db.setDatabaseName(path);
        db.open();
        select = QSqlQuery(db);
        select.prepare(QStringLiteral("SELECT image from tiles where (x=? and y=? and z=?)"));
    }

    QPixmap read(int x, int y)
    {
        select.addBindValue(x);
        select.addBindValue(y);
        select.addBindValue(Level);
        QByteArray bytes;
        if (select.exec() && select.first())
            bytes = select.value(0).toByteArray();
        select.finish();
        return QPixmap::fromImage(QImage::fromData(bytes, "PNG"));
    }

    QSqlDatabase db;
    QSqlQuery select;
};

// The plain grid: the same whole pixels the map uses, 256 px cells from column 0's west
// edge and from the north edge of the row under the top-left pixel.
struct PlainGrid
{
    QPoint origin; // device position of the cell (0, anchorRow)
    int anchorRow = 0;

    static PlainGrid of(const QGraphicsView &view)
    {
        const QTransform t = view.viewportTransform();
        PlainGrid g;
        g.anchorRow = latToTileY(view.mapToScene(QPoint(0, 0)).y(), Level);
        g.origin = QPoint(qRound(t.m11() * -180.0 + t.dx()),
                          qRound(t.m22() * tileYToLat(g.anchorRow, Level) + t.dy()));
        return g;
    }
    QRect cell(int x, int y) const
    {
        return QRect(origin.x() + 256 * x, origin.y() + 256 * (y - anchorRow), 256, 256);
    }
    void visit(const QRect &area, const std::function<void(int, int, const QRect &)> &fn) const
    {
        const int x0 = int(std::floor(double(area.left() - origin.x()) / 256));
        const int x1 = int(std::floor(double(area.right() - origin.x()) / 256));
        const int y0 = anchorRow + int(std::floor(double(area.top() - origin.y()) / 256));
        const int y1 = anchorRow + int(std::floor(double(area.bottom() - origin.y()) / 256));
        for (int x = x0; x <= x1; ++x)
            for (int y = y0; y <= y1; ++y)
                fn(x, y, cell(x, y));
    }
};

// A plain opaque widget that draws the same tiles: from its own pixmap cache, reading
// what it lacks, filling nothing the tiles cover.
class PlainTiles : public QWidget
{
public:
    PlainTiles(const QString &path, const PlainGrid &grid) : reader(path), grid(grid)
    {
        setAttribute(Qt::WA_OpaquePaintEvent);
    }

    void scrollGrid(int dx, int dy)
    {
        grid.origin += QPoint(dx, dy);
        scroll(dx, dy);
    }

    double opacity = 1.0;
    QHash<QPoint, QPixmap> cache;
    TileReader reader;
    PlainGrid grid;

protected:
    void paintEvent(QPaintEvent *e) override
    {
        QPainter painter(this);
        if (opacity < 1.0)
            painter.fillRect(e->rect(), Qt::white);
        painter.setOpacity(opacity);
        grid.visit(e->rect(), [&](int x, int y, const QRect &cell) {
            auto it = cache.find(QPoint(x, y));
            if (it == cache.end())
                it = cache.insert(QPoint(x, y), reader.read(x, y));
            painter.drawPixmap(cell.topLeft(), it.value());
        });
    }
};

// The fresh-process limit: a graphics view whose first paint reads, decodes and blits.
class PlainView : public QGraphicsView
{
public:
    PlainView(QGraphicsScene *scene, const QString &path) : QGraphicsView(scene), reader(path) { }
    TileReader reader;

protected:
    void drawBackground(QPainter *painter, const QRectF &) override
    {
        const PlainGrid grid = PlainGrid::of(*this);
        painter->resetTransform();
        grid.visit(viewport()->rect(), [&](int x, int y, const QRect &cell) {
            painter->drawPixmap(cell.topLeft(), reader.read(x, y));
        });
    }
};

void showAt(QGraphicsView *view, QSize size)
{
    view->setFrameShape(QFrame::NoFrame);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->resize(size);
}

void placeMap(OsmView &view)
{
    view.setOpacity(1.0);
    view.centerOn(startPoint());
    view.setZoom(Level + 1.0 / 6 + 1e-7);
    view.setZoom(Level + 1.0 / 6);
    view.centerOn(startPoint());
}

// Time from show() to the end of the first paint of the viewport, in a process that has
// not painted a tile yet.
int firstFrame(const QString &kind, const QString &path, QSize size)
{
    QGraphicsScene scene(-180, -85, 360, 170);
    std::unique_ptr<QGraphicsView> view;
    if (kind == QLatin1String("osm")) {
        auto *map = new OsmView(&scene, nullptr);
        map->setImagePath(path);
        view.reset(map);
        showAt(map, size);
        placeMap(*map);
    } else {
        view.reset(new PlainView(&scene, path));
        showAt(view.get(), size);
        const int row = latToTileY(startPoint().y(), Level);
        view->setTransform(QTransform::fromScale(256.0 / (360.0 / (1 << Level)),
                                                 256.0 / (tileYToLat(row + 1, Level) - tileYToLat(row, Level))));
        view->centerOn(startPoint());
    }
    // From show() to the end of the viewport's first paint.
    struct FirstPaint : QObject
    {
        bool seen = false;
        bool eventFilter(QObject *, QEvent *e) override
        {
            seen = seen || e->type() == QEvent::Paint;
            return false;
        }
    } first;
    view->viewport()->installEventFilter(&first);
    QElapsedTimer timer;
    timer.start();
    view->show();
    while (!first.seen)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    QCoreApplication::processEvents();
    std::printf("%.3f\n", timer.nsecsElapsed() / 1e6);
    return 0;
}

double childRun(const QStringList &arguments)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), arguments);
    child.waitForFinished(-1);
    return child.readAllStandardOutput().trimmed().toDouble();
}

int session(const QString &path, QSize size)
{
    QGraphicsScene scene(-180, -85, 360, 170);
    OsmView view(&scene, nullptr);
    view.setImagePath(path);
    showAt(&view, size);
    view.show();
    placeMap(view);
    QCoreApplication::processEvents(); // a window not yet exposed paints nothing
    QRandomGenerator random(42);
    const QRect area = sampleArea().adjusted(8, 6, -8, -6);
    for (int i = 0; i < 2000; ++i) {
        view.setZoom(Level + random.bounded(0.9));
        view.centerOn(tileXToLon(area.left(), Level) + random.bounded(area.width()) * 360.0 / (1 << Level),
                      tileYToLat(area.top() + random.bounded(area.height()), Level));
        view.viewport()->repaint();
    }
    std::printf("%ld\n", Bench::peakRssKb());
    return 0;
}

struct Scenario
{
    Scenario(const QString &path, QSize size) : path(path), size(size)
    {
        map.reset(new OsmView(&scene, nullptr));
        map->setImagePath(path);
        showAt(map.get(), size);
        map->show();
        placeMap(*map);
        QCoreApplication::processEvents();
        plain.reset(new PlainTiles(path, PlainGrid::of(*map)));
        plain->resize(size);
        plain->show();
        QCoreApplication::processEvents();
    }

    void coldMap() { map->setImagePath(path); placeMap(*map); }

    QString path;
    QSize size;
    QGraphicsScene scene{-180, -85, 360, 170};
    std::unique_ptr<OsmView> map;
    std::unique_ptr<PlainTiles> plain;
};

// Runs a and b alternately, `Runs` times each, and prints their medians' ratio.
void interleaved(const QString &what, double goal, const std::function<void()> &prepareA,
                 const std::function<void()> &a, const std::function<void()> &prepareB,
                 const std::function<void()> &b)
{
    QVector<double> ta, tb;
    for (int i = 0; i < Runs; ++i) {
        for (int which = 0; which < 2; ++which) {
            const bool first = (which == 0) == (i % 2 == 0);
            (first ? prepareA : prepareB)();
            QElapsedTimer timer;
            timer.start();
            (first ? a : b)();
            (first ? ta : tb) << timer.nsecsElapsed() / 1e6;
        }
    }
    Bench::printRow(what, Bench::median(ta), Bench::median(tb), goal);
}

void inProcessRows(const QString &path, QSize size, double goal)
{
    Scenario s(path, size);
    const QString at = QStringLiteral(" %1x%2").arg(size.width()).arg(size.height());
    auto repaintMap = [&] { s.map->viewport()->repaint(); };
    auto repaintPlain = [&] { s.plain->repaint(); };
    auto nothing = [] {};

    interleaved(QStringLiteral("cold repaint") + at, size.width() > 1920 ? goal : 1.03,
                [&] { s.coldMap(); }, repaintMap, [&] { s.plain->cache.clear(); }, repaintPlain);
    for (double opacity : {1.0, 0.5}) {
        s.map->setOpacity(opacity);
        s.plain->opacity = opacity;
        repaintMap();
        repaintPlain();
        interleaved(QStringLiteral("warm repaint, opacity %1").arg(opacity) + at, goal, nothing,
                    repaintMap, nothing, repaintPlain);
    }
    s.map->setOpacity(1.0);
    s.plain->opacity = 1.0;
    if (size.width() > 1920)
        return;

    s.map->setImagePath(path);
    s.map->setImagePath(path);
    repaintMap();
    interleaved(QStringLiteral("warm repaint after two setImagePath calls") + at, goal, nothing,
                repaintMap, nothing, repaintPlain);

    // Pan steps of 64 px eastwards over tiles not yet read, scrolled by Qt with a strip
    // painted, and the same steps each repainting everything.
    QScrollBar *bar = s.map->horizontalScrollBar();
    for (bool full : {false, true}) {
        s.coldMap();
        repaintMap();
        s.plain->cache.clear();
        s.plain->grid = PlainGrid::of(*s.map);
        repaintPlain();
        if (full)
            s.map->setViewportUpdateMode(QGraphicsView::FullViewportUpdate);
        QVector<double> tm, tp;
        for (int i = 0; i < 60; ++i) {
            QElapsedTimer timer;
            timer.start();
            bar->setValue(bar->value() + 64);
            QCoreApplication::processEvents();
            tm << timer.nsecsElapsed() / 1e6;
            timer.start();
            if (full) {
                s.plain->grid.origin.rx() -= 64;
                s.plain->repaint();
            } else {
                s.plain->scrollGrid(-64, 0);
                QCoreApplication::processEvents();
            }
            tp << timer.nsecsElapsed() / 1e6;
        }
        s.map->setViewportUpdateMode(QGraphicsView::MinimalViewportUpdate);
        Bench::printRow(full ? QStringLiteral("pan step of 64 px, full repaint")
                             : QStringLiteral("pan step of 64 px, Qt scroll + strip"),
                        Bench::median(tm), Bench::median(tp), 1.05);
    }
}

// Levels around the one of the other rows, for steps in and out: the area of level 14
// that the still rows wander over, and the same ground at levels 13 and 15.
QRect stillArea(int z)
{
    const int cx = lonToTileX(SampleMap::centre().x(), Level) + 17;
    const int cy = latToTileY(SampleMap::centre().y(), Level) + 15;
    const QRect at14(QPoint(cx - 12, cy - 9), QPoint(cx + 12, cy + 9));
    if (z == Level)
        return at14;
    if (z < Level)
        return QRect(at14.topLeft() / 2, at14.bottomRight() / 2);
    return QRect(at14.topLeft() * 2, at14.bottomRight() * 2 + QPoint(1, 1));
}

QPointF stillCentre()
{
    const QPoint c = stillArea(Level).center();
    return QPointF(tileXToLon(c.x(), Level) + 0.3 * 360.0 / (1 << Level),
                   tileYToLat(c.y(), Level) - 0.0004);
}

void addLevel(const QString &path, int z, const QRect &tiles)
{
    QList<QVariantList> rows;
    for (int x = tiles.left(); x <= tiles.right(); ++x)
        for (int y = tiles.top(); y <= tiles.bottom(); ++y)
            rows.append({x, y, z, SampleMap::encodeTile(x, y, z)});
    runSql(path,
           {QStringLiteral("insert or replace into tiles (x, y, z, image) values (?, ?, ?, ?)")},
           rows);
}

// The operator looks at the map: the event loop runs, nothing happens.
void stayStill(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

double msSince(const QElapsedTimer &timer)
{
    return timer.nsecsElapsed() / 1e6;
}

// One frame of input: the event handled and the viewport painted.
double frame(const std::function<void()> &input)
{
    QElapsedTimer timer;
    timer.start();
    input();
    QCoreApplication::processEvents();
    return msSince(timer);
}

void wheel(OsmView &view, int angle)
{
    QWidget *viewport = view.viewport();
    const QPoint at(viewport->width() * 3 / 5, viewport->height() * 2 / 5);
    QWheelEvent event(QPointF(at), QPointF(viewport->mapToGlobal(at)), QPoint(), QPoint(0, angle),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(viewport, &event);
}

// Scrolls so that the viewport's east edge lies `before` pixels west of a column edge.
void alignEastEdge(OsmView &view, int before)
{
    const double lon = view.mapToScene(QPoint(view.viewport()->width(), 0)).x();
    const double into = std::fmod((lon + 180.0) / 360.0 * (1 << view.zoom()), 1.0) * 256.0;
    QScrollBar *bar = view.horizontalScrollBar();
    bar->setValue(bar->value() + int(std::lround(256.0 - before - into)));
    QCoreApplication::processEvents();
}

long cpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000
        + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000;
}

struct TimerCount : QObject
{
    int timers = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        timers += e->type() == QEvent::Timer;
        return false;
    }
};

void printRatio(const QString &what, const QVector<double> &steps, const QVector<double> &warm,
                double goal)
{
    Bench::printRow(what, Bench::median(steps), Bench::median(warm), goal);
}

// Steps taken after the operator looked at the map for 300 ms, each against a warm
// repaint of what the step shows; the worst frame of a scripted session; and what the
// view does at rest.
void stillRows(const QString &path, QSize size)
{
    const QString at = QStringLiteral(" %1x%2").arg(size.width()).arg(size.height());
    constexpr int Samples = 15;
    constexpr int LookMs = 300;
    QGraphicsScene scene(-180, -85, 360, 170);
    OsmView view(&scene, nullptr);
    showAt(&view, size);
    view.show();
    view.setOpacity(1.0);
    QCoreApplication::processEvents();
    auto open = [&](double zoom) {
        view.setImagePath(path); // forgets every tile read so far
        view.setZoom(zoom);
        view.centerOn(stillCentre());
        view.viewport()->repaint();
    };
    auto repaint = [&] { return frame([&] { view.viewport()->repaint(); }); };

    QVector<double> steps, warm;
    for (int i = 0; i < Samples; ++i) {
        open(Level + 1.0 / 6);
        alignEastEdge(view, 32);
        stayStill(LookMs);
        QScrollBar *bar = view.horizontalScrollBar();
        steps << frame([&] { bar->setValue(bar->value() + 64); });
        warm << repaint();
    }
    printRatio(QStringLiteral("pan step uncovering a column, after 300 ms still") + at, steps, warm,
               1.3);

    steps.clear();
    warm.clear();
    for (int i = 0; i < Samples; ++i) {
        open(Level + 5.0 / 6);
        stayStill(LookMs);
        steps << frame([&] { wheel(view, 120); });
        warm << repaint();
    }
    printRatio(QStringLiteral("wheel step into the next level, after 300 ms still") + at, steps,
               warm, 1.5);

    // 60 pans and wheel steps, 300 ms apart, kept over the stored levels and area.
    open(Level + 1.0 / 6);
    QRandomGenerator random(7);
    QVector<double> frames;
    const QRectF ground(QPointF(tileXToLon(stillArea(Level).left() + 8, Level),
                                tileYToLat(stillArea(Level).top() + 5, Level)),
                        QPointF(tileXToLon(stillArea(Level).right() - 7, Level),
                                tileYToLat(stillArea(Level).bottom() - 4, Level)));
    for (int i = 0; i < 60; ++i) {
        stayStill(LookMs);
        const QPointF c = view.mapToScene(view.viewport()->rect().center());
        const int kind = random.bounded(4);
        if (kind < 2) {
            const double zf = view.zoomF();
            const int angle = zf + 1.0 / 6 > Level + 1 + 5.0 / 6 ? -120
                : zf - 1.0 / 6 < Level - 1 + 1.0 / 6             ? 120
                : random.bounded(2)                              ? 120
                                                                 : -120;
            frames << frame([&] { wheel(view, angle); });
        } else {
            QScrollBar *bar = kind == 2 ? view.horizontalScrollBar() : view.verticalScrollBar();
            const double position = kind == 2 ? c.x() : c.y();
            const double low = kind == 2 ? ground.left() : ground.bottom();
            const double high = kind == 2 ? ground.right() : ground.top();
            // At most a cell: the smallest cells are 209 px.
            int step = 64 + 64 * random.bounded(3);
            if ((kind == 2) == (position > (low + high) / 2))
                step = -step;
            frames << frame([&] { bar->setValue(bar->value() + step); });
        }
    }
    std::sort(frames.begin(), frames.end());
    const double p99 = frames[int(std::ceil(0.99 * frames.size())) - 1];
    std::printf("| %-58s | %9.3f ms | (median %6.3f ms) | | <= 16 ms %s |\n",
                qPrintable(QStringLiteral("worst frame (p99) of 60 steps 300 ms apart") + at), p99,
                Bench::median(frames), p99 <= 16.0 ? "met" : "MISSED");

    if (size.width() < 3840)
        return;
    stayStill(2000);
    TimerCount count;
    qApp->installEventFilter(&count);
    const long cpu = cpuMs();
    stayStill(10000);
    qApp->removeEventFilter(&count);
    std::printf("| %-58s | %6d timers | %6ld ms CPU | | 0 timers %s |\n",
                qPrintable(QStringLiteral("10 s at rest once prepared") + at), count.timers - 1,
                cpuMs() - cpu, count.timers - 1 == 0 ? "met" : "MISSED");
    std::fflush(stdout);
}

// Where the work of preparing one tile goes: the store read and the pixmap must be done on
// the GUI thread, the decoding and the conversion to the pixmap's format may run on a
// worker. Medians per tile over the tiles of the next level under a 1920 x 1080 view.
void preparationCosts(const QString &path)
{
    QString error;
    std::unique_ptr<Tiles> store = Tiles::open(path, Tiles::OpenOptions(), &error);
    const QRect tiles = stillArea(Level + 1).adjusted(8, 8, -8, -8);
    QVector<double> read, decode, convert, pixmapOfConverted, pixmapOfDecoded;
    for (int x = tiles.left(); x <= tiles.right(); ++x) {
        for (int y = tiles.top(); y <= tiles.bottom(); ++y) {
            QElapsedTimer timer;
            timer.start();
            Tiles::ReadResult result;
            const QByteArray bytes = store->tileData(TileKey(x, y, Level + 1), &result);
            read << msSince(timer);
            timer.start();
            const QImage image = TileImage::decode(bytes);
            decode << msSince(timer);
            timer.start();
            QImage converted = image.convertToFormat(image.hasAlphaChannel()
                                                         ? QImage::Format_ARGB32_Premultiplied
                                                         : QImage::Format_RGB32);
            convert << msSince(timer);
            timer.start();
            const QPixmap a = QPixmap::fromImage(std::move(converted));
            pixmapOfConverted << msSince(timer);
            timer.start();
            const QPixmap b = QPixmap::fromImage(image);
            pixmapOfDecoded << msSince(timer);
        }
    }
    // The same tiles decoded by as many workers as the view starts, against one thread.
    QVector<QByteArray> bodies;
    for (int x = tiles.left(); x <= tiles.right(); ++x) {
        for (int y = tiles.top(); y <= tiles.bottom(); ++y) {
            Tiles::ReadResult result;
            bodies << store->tileData(TileKey(x, y, Level + 1), &result);
        }
    }
    const int workers = qBound(1, QThread::idealThreadCount(), 4);
    QVector<double> perTile[2];
    for (int run = 0; run < 6; ++run) {
        QThreadPool pool;
        pool.setMaxThreadCount(run % 2 ? 1 : workers);
        QElapsedTimer timer;
        timer.start();
        for (const QByteArray &body : qAsConst(bodies))
            pool.start(QRunnable::create([body] { TileImage::decode(body); }));
        pool.waitForDone();
        perTile[run % 2] << msSince(timer) / bodies.size();
    }
    Tiles::close(std::move(store));
    Bench::printRow(QStringLiteral("decoding per tile, %1 workers vs one thread").arg(workers),
                    Bench::median(perTile[0]), Bench::median(perTile[1]), 1.0);
    const double gui = Bench::median(read) + Bench::median(pixmapOfConverted);
    const double all = Bench::median(read) + Bench::median(decode) + Bench::median(pixmapOfDecoded);
    std::printf("| %-58s | %9.3f ms | %9.3f ms | %5.2f | |\n",
                qPrintable(
                    QStringLiteral("GUI thread per prepared tile, workers vs slices (%1 tiles)")
                        .arg(read.size())),
                gui, all, gui / all);
    std::printf("| %-58s | read %.3f, decode %.3f, convert %.3f, pixmap %.3f (of decoded %.3f) ms "
                "| | | |\n",
                "  its parts, median per tile", Bench::median(read), Bench::median(decode),
                Bench::median(convert), Bench::median(pixmapOfConverted),
                Bench::median(pixmapOfDecoded));
    std::fflush(stdout);
}

void stillDatabase(const QString &path)
{
    std::printf("generating the sample tiles of three levels...\n");
    std::fflush(stdout);
    Bench::writeSampleDatabase(path, Level, stillArea(Level));
    addLevel(path, Level - 1, stillArea(Level - 1));
    addLevel(path, Level + 1, stillArea(Level + 1));
}

void firstFrameRow(const QString &path, QSize size, double goal)
{
    const QString at = QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
    QVector<double> osm, plain;
    for (int i = 0; i < 11; ++i) {
        for (int which = 0; which < 2; ++which) {
            const bool map = (which == 0) == (i % 2 == 0);
            const double ms = childRun({QStringLiteral("--first-frame"),
                                        map ? QStringLiteral("osm") : QStringLiteral("plain"),
                                        path, at});
            (map ? osm : plain) << ms;
        }
    }
    Bench::printRow(QStringLiteral("first frame in a fresh process ") + at, Bench::median(osm),
                    Bench::median(plain), goal);
}

} // namespace

int main(int argc, char **argv)
{
    Bench::useOffscreenPlatform();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("--first-frame"))
        return firstFrame(args.value(2), args.value(3), parseSize(args.value(4)));
    // Not "--session": QApplication takes that one for itself.
    if (args.value(1) == QLatin1String("--pan-session"))
        return session(args.value(2), parseSize(args.value(3)));

    QTemporaryDir tmp;
    const QSize fullHd(1920, 1080);
    const QSize uhd(3840, 2160);
    const auto header = [] {
        std::printf("\n| figure | OsmView | baseline | ratio | goal |\n|---|---|---|---|---|\n");
    };
    if (args.contains(QLatin1String("--still"))) {
        const QString levels = tmp.filePath(QStringLiteral("levels.sqlitedb"));
        stillDatabase(levels);
        header();
        preparationCosts(levels);
        stillRows(levels, fullHd);
        stillRows(levels, uhd);
        return 0;
    }
    const QString path = tmp.filePath(QStringLiteral("bench.sqlitedb"));
    std::printf("generating %d sample tiles...\n", sampleArea().width() * sampleArea().height());
    std::fflush(stdout);
    Bench::writeSampleDatabase(path, Level, sampleArea());
    const QString levels = tmp.filePath(QStringLiteral("levels.sqlitedb"));
    if (!args.contains(QLatin1String("--quick")))
        stillDatabase(levels);
    header();

    if (args.contains(QLatin1String("--quick"))) {
        inProcessRows(path, fullHd, 1.00);
        return 0;
    }
    firstFrameRow(path, fullHd, 1.00);
    firstFrameRow(path, uhd, 1.05);
    inProcessRows(path, fullHd, 1.00);
    inProcessRows(path, uhd, 1.05);
    preparationCosts(levels);
    stillRows(levels, fullHd);
    stillRows(levels, uhd);
    for (const QSize size : {fullHd, uhd}) {
        const QString at = QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
        std::printf("| %-58s | %9.0f KiB |\n",
                    qPrintable(QStringLiteral("peak RSS, 2000 pans and zooms, ") + at),
                    childRun({QStringLiteral("--pan-session"), path, at}));
    }
    return 0;
}

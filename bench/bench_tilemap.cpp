// How fast the tile map paints, against plain Qt widgets that read, decode and blit the
// same tiles at the same pixels: a fresh process's first frame, cold and warm repaints,
// pan steps, at 1920 x 1080 and 3840 x 2160; and the memory of a long pan/zoom session.
//
//   bench_tilemap                 all rows (spawns itself for the fresh-process rows)
//   bench_tilemap --quick         the in-process rows at 1920 x 1080 only
//   bench_tilemap --first-frame osm|plain DB WxH     one first frame, prints its ms
//   bench_tilemap --pan-session DB WxH               2000 pans/zooms, prints peak RSS KiB
#include "BenchSupport.h"
#include "OsmView.h"
#include "SampleMap.h"
#include "TileAddressing.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QProcess>
#include <QtCore/QRandomGenerator>
#include <QtCore/QTemporaryDir>
#include <QtGui/QPaintEvent>
#include <QtGui/QPainter>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtWidgets/QApplication>
#include <QtWidgets/QGraphicsScene>
#include <QtWidgets/QScrollBar>

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
    const QString path = tmp.filePath(QStringLiteral("bench.sqlitedb"));
    std::printf("generating %d sample tiles...\n", sampleArea().width() * sampleArea().height());
    std::fflush(stdout);
    Bench::writeSampleDatabase(path, Level, sampleArea());

    std::printf("\n| figure | OsmView | baseline | ratio | goal |\n|---|---|---|---|---|\n");
    const QSize fullHd(1920, 1080);
    const QSize uhd(3840, 2160);
    if (args.contains(QLatin1String("--quick"))) {
        inProcessRows(path, fullHd, 1.00);
        return 0;
    }
    firstFrameRow(path, fullHd, 1.00);
    firstFrameRow(path, uhd, 1.05);
    inProcessRows(path, fullHd, 1.00);
    inProcessRows(path, uhd, 1.05);
    for (const QSize size : {fullHd, uhd}) {
        const QString at = QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
        std::printf("| %-58s | %9.0f KiB |\n",
                    qPrintable(QStringLiteral("peak RSS, 2000 pans and zooms, ") + at),
                    childRun({QStringLiteral("--pan-session"), path, at}));
    }
    return 0;
}

// How fast the tile map paints: cold, warm, while panning, and after a strip repaint,
// each against the plain Qt calls that do the same work, in the same run.
#include "BenchSupport.h"
#include "OsmView.h"
#include "SampleMap.h"
#include "TileAddressing.h"

#include <QtCore/QBuffer>
#include <QtCore/QElapsedTimer>
#include <QtCore/QRandomGenerator>
#include <QtCore/QSet>
#include <QtCore/QTemporaryDir>
#include <QtGui/QImageReader>
#include <QtGui/QPaintEvent>
#include <QtGui/QPainter>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtWidgets/QApplication>
#include <QtWidgets/QGraphicsScene>
#include <QtWidgets/QScrollBar>

#include <cmath>
#include <cstdio>
#include <cstdlib>

inline uint qHash(const QPoint &p, uint seed = 0)
{
    return qHash(qMakePair(p.x(), p.y()), seed);
}

namespace {

constexpr int Level = 14;
constexpr int Runs = 15;

struct Cell
{
    int x;
    int y;
    QRectF rect;
};

// The cells the view draws over its whole viewport, by the same rules as its paint.
QVector<Cell> windowOf(const OsmView &view)
{
    const double tileWidth = 360.0 / (1 << Level);
    const QTransform t = view.viewportTransform();
    const double px = tileWidth * t.m11();
    const double tileHeight = px / t.m22();
    const int anchorRow = latToTileY(view.mapToScene(QPoint(0, 0)).y(), Level);
    const double north = tileYToLat(anchorRow, Level);
    const QRectF viewport(view.viewport()->rect());
    const QRectF scene = view.mapToScene(view.viewport()->rect()).boundingRect();
    QVector<Cell> cells;
    for (int x = lonToTileX(scene.left(), Level) - 1; x <= lonToTileX(scene.right(), Level) + 1; ++x) {
        for (int y = anchorRow - 1; y <= anchorRow + int(viewport.height() / px) + 2; ++y) {
            const QRectF r = t.mapRect(QRectF(tileXToLon(x, Level), north + (y - anchorRow) * tileHeight,
                                              tileWidth, tileHeight));
            if (r.intersects(viewport))
                cells.append({x, y, r});
        }
    }
    return cells;
}

QPixmap decode(const QByteArray &bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (reader.size().width() > 4096)
        return QPixmap();
    return QPixmap::fromImage(reader.read());
}

struct Baseline
{
    explicit Baseline(const QString &path)
        : db(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("baseline"))),
          canvas(1920, 1080, QImage::Format_RGB32)
    {
        db.setDatabaseName(path);
        db.open();
        select = QSqlQuery(db);
        select.prepare(QStringLiteral("SELECT image from tiles where (x=? and y=? and z=?)"));
        canvas.fill(Qt::white);
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
        return decode(bytes);
    }

    void readAndDraw(const QVector<Cell> &cells)
    {
        QPainter painter(&canvas);
        painter.setOpacity(0.5);
        for (const Cell &c : cells)
            painter.drawPixmap(c.rect, read(c.x, c.y), QRectF(0, 0, 256, 256));
    }

    void drawOnly(const QVector<Cell> &cells, const QVector<QPixmap> &pixmaps, bool smooth)
    {
        QPainter painter(&canvas);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
        painter.setOpacity(0.5);
        for (int i = 0; i < cells.size(); ++i)
            painter.drawPixmap(cells[i].rect, pixmaps[i], QRectF(0, 0, 256, 256));
    }

    QSqlDatabase db;
    QSqlQuery select;
    QImage canvas;
};

// Measures how much of a paint is the map's own background drawing.
class TimedView : public OsmView
{
public:
    using OsmView::OsmView;
    double backgroundMs = 0;

protected:
    void drawBackground(QPainter *painter, const QRectF &rect) override
    {
        QElapsedTimer timer;
        timer.start();
        OsmView::drawBackground(painter, rect);
        backgroundMs += timer.nsecsElapsed() / 1e6;
    }
};

// The scroll machinery alone: a plain widget of the same size scrolled the same way.
class PlainSurface : public QWidget
{
protected:
    void paintEvent(QPaintEvent *e) override
    {
        QPainter(this).fillRect(e->rect(), QColor(0xf3, 0xf0, 0xea));
    }
};

} // namespace

int main(int argc, char **argv)
{
    Bench::useOffscreenPlatform();
    QApplication app(argc, argv);

    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("bench.sqlitedb"));
    const int cx = lonToTileX(SampleMap::centre().x(), Level);
    const int cy = latToTileY(SampleMap::centre().y(), Level);
    const QRect area(QPoint(cx - 2, cy - 1), QPoint(cx + 36, cy + 32));
    std::printf("generating %d sample tiles...\n", area.width() * area.height());
    std::fflush(stdout);
    Bench::writeSampleDatabase(path, Level, area);

    QGraphicsScene scene(-180, -85, 360, 170);
    TimedView view(&scene, nullptr);
    Bench::showFullHd(&view);
    const QPointF start(tileXToLon(cx + 4, Level), tileYToLat(cy + 3, Level));

    auto reset = [&] {
        view.setImagePath(path);
        view.centerOn(start);
        view.setZoom(Level + 1.0 / 6 + 1e-7);
        view.setZoom(Level + 1.0 / 6);
        view.centerOn(start);
    };
    reset();
    Baseline baseline(path);

    std::printf("\n| figure | OsmView | baseline | ratio | goal |\n|---|---|---|---|---|\n");

    // Cold paint.
    QVector<double> cold, coldBase;
    QVector<Cell> cells;
    for (int i = 0; i < Runs; ++i) {
        reset();
        QElapsedTimer t;
        t.start();
        view.viewport()->repaint();
        cold << t.nsecsElapsed() / 1e6;
        cells = windowOf(view);
        t.start();
        baseline.readAndDraw(cells);
        coldBase << t.nsecsElapsed() / 1e6;
    }
    Bench::printRow(QStringLiteral("cold paint, %1 tiles").arg(cells.size()),
                    Bench::median(cold), Bench::median(coldBase), 1.15);

    // Warm repaint, smoothing off and on.
    QVector<QPixmap> pixmaps;
    for (const Cell &c : cells)
        pixmaps << baseline.read(c.x, c.y);
    double warmOff = 0;
    for (bool smooth : {false, true}) {
        view.setRenderHint(QPainter::SmoothPixmapTransform, smooth);
        view.viewport()->repaint();
        const double warm = Bench::timeMedian(Runs, [&] { view.viewport()->repaint(); });
        const double base = Bench::timeMedian(Runs, [&] { baseline.drawOnly(cells, pixmaps, smooth); });
        Bench::printRow(smooth ? QStringLiteral("warm repaint, smooth") : QStringLiteral("warm repaint"),
                        warm, base, 1.2);
        if (!smooth)
            warmOff = warm;
    }
    view.setRenderHint(QPainter::SmoothPixmapTransform, false);

    // Panning: 200 steps of 32 px east, south, west and north, over tiles never seen.
    reset();
    view.viewport()->repaint();
    QScrollBar *h = view.horizontalScrollBar();
    QScrollBar *v = view.verticalScrollBar();
    QSet<QPoint> seen;
    for (const Cell &c : windowOf(view))
        seen.insert(QPoint(c.x, c.y));
    QVector<double> panSegments, panBaseSegments;
    view.backgroundMs = 0;
    double segment = 0, segmentBase = 0;
    int steps = 0;
    const QPoint directions[] = {{32, 0}, {0, 32}, {-32, 0}, {0, -32}};
    for (const QPoint d : directions) {
        for (int i = 0; i < 200; ++i) {
            QElapsedTimer t;
            t.start();
            h->setValue(h->value() + d.x());
            v->setValue(v->value() + d.y());
            QCoreApplication::processEvents();
            segment += t.nsecsElapsed() / 1e6;

            QVector<Cell> entering;
            for (const Cell &c : windowOf(view)) {
                if (!seen.contains(QPoint(c.x, c.y))) {
                    seen.insert(QPoint(c.x, c.y));
                    entering << c;
                }
            }
            t.start();
            baseline.readAndDraw(entering);
            segmentBase += t.nsecsElapsed() / 1e6;
            if (++steps % 50 == 0) {
                panSegments << segment / 50;
                panBaseSegments << segmentBase / 50;
                segment = segmentBase = 0;
            }
        }
    }
    const double pan = Bench::median(panSegments);
    std::printf("| %-58s | %9.3f ms |\n", "of a pan step, time in drawBackground (mean)",
                view.backgroundMs / steps);
    Bench::printRow(QStringLiteral("pan step of 32 px (vs. entering tiles)"), pan,
                    Bench::median(panBaseSegments), 1.3);
    {
        PlainSurface plain;
        plain.resize(1920, 1080);
        plain.show();
        QCoreApplication::processEvents();
        QVector<double> scrolls;
        for (int i = 0; i < 800; ++i) {
            QElapsedTimer t;
            t.start();
            plain.scroll(i % 2 ? 32 : -32, 0);
            QCoreApplication::processEvents();
            scrolls << t.nsecsElapsed() / 1e6;
        }
        Bench::printRow(QStringLiteral("pan step of 32 px (vs. entering tiles + widget scroll)"),
                        pan, Bench::median(panBaseSegments) + Bench::median(scrolls), 1.3);
    }

    // Full repaint right after a strip repaint.
    reset();
    view.viewport()->repaint();
    QVector<double> afterStrip;
    for (int i = 0; i < Runs; ++i) {
        h->setValue(h->value() + (i % 2 ? -64 : 64));
        QCoreApplication::processEvents();
        QElapsedTimer t;
        t.start();
        view.viewport()->repaint();
        afterStrip << t.nsecsElapsed() / 1e6;
    }
    Bench::printRow(QStringLiteral("full repaint after a 64 px strip (vs. warm)"),
                    Bench::median(afterStrip), warmOff, 1.2);

    // Memory over many random pans and zooms.
    QRandomGenerator random(42);
    const QRectF geo(QPointF(tileXToLon(area.left() + 4, Level), tileYToLat(area.top() + 3, Level)),
                     QPointF(tileXToLon(area.right() - 4, Level), tileYToLat(area.bottom() - 3, Level)));
    long after200 = 0;
    for (int i = 1; i <= 2000; ++i) {
        view.setZoom(Level + random.bounded(0.9));
        view.centerOn(geo.left() + random.bounded(geo.width()),
                      geo.top() + random.bounded(geo.height()));
        view.viewport()->repaint();
        if (i == 200)
            after200 = Bench::peakRssKb();
    }
    const long after2000 = Bench::peakRssKb();
    std::printf("| %-58s | %9ld KiB | %9ld KiB | %5.3f | <= 1.05 %s |\n",
                "peak RSS after 2000 pans/zooms (vs. after 200)", after2000, after200,
                double(after2000) / after200, double(after2000) / after200 <= 1.05 ? "met" : "MISSED");
    return 0;
}

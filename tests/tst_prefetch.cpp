#include "MapFixture.h"
#include "OsmView.h"
#include "RowTable.h"
#include "TestTiles.h"
#include "TileDatabase.h"
#include "TileMemory.h"
#include "TileProvider.h"

#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>
#include <QtWidgets/QScrollBar>

// What the view prepares while it is still, and what a step then finds: the tiles it
// shows next drawn without a read in the paint, from the source of the moment only.
namespace {

constexpr double Sixth = 0.16666666666666666;

enum Step { East, South, In, Out };

// Each row: a step taken from level 12 once the view had time to prepare, with prefetch
// on or off, and whether the source changed to an empty one just before.
// clang-format off
const struct { const char *name; Step step; double zoom; bool prefetch, newSource; } stepRows[] = {
    {"pan east into a prepared column", East, 12 + Sixth, true, false},
    {"pan south into a prepared row", South, 12 + Sixth, true, false},
    {"wheel step into the next level", In, 12 + 5 * Sixth, true, false},
    {"wheel step out to the level above", Out, 12.0, true, false},
    {"switched off, the step reads what it shows", In, 12 + 5 * Sixth, false, false},
    {"nothing prepared for the source before is drawn", In, 12 + 5 * Sixth, true, true},
};
// clang-format on

// A budget of four tiles, drawn tiles 0 to 3 of level 5 (oldest first), tiles 0 and 1 on
// screen; what the act inserts, and which tiles are held afterwards.
QPixmap tile()
{
    QPixmap pixmap(256, 256);
    pixmap.fill(Qt::gray);
    return pixmap;
}
TileKey key(int x)
{
    return TileKey(x, 0, 5);
}
// clang-format off
const struct { const char *name; bool (*act)(TileMemory &); bool kept; QVector<int> held; } memoryRows[] = {
    {"a prepared tile takes the place of the oldest one off screen",
     [](TileMemory &m) { return m.insertPrepared(key(10), tile()); }, true, {0, 1, 3, 10}},
    {"never that of a tile on screen",
     [](TileMemory &m) { return m.insertPrepared(key(10), tile()) && m.insertPrepared(key(11), tile()) && m.insertPrepared(key(12), tile()); },
     false, {0, 1, 10, 11}},
    {"a painted tile takes the place of the farthest prepared one first",
     [](TileMemory &m) { m.insertPrepared(key(10), tile()), m.insertPrepared(key(11), tile()), m.insert(key(20), tile()); return true; },
     true, {0, 1, 10, 20}},
    {"tiles prepared for an earlier outlook go before",
     [](TileMemory &m) { m.insertPrepared(key(10), tile()), m.insertPrepared(key(11), tile()), m.beginOutlook(); return m.insertPrepared(key(12), tile()); },
     true, {0, 1, 11, 12}},
};
// clang-format on

// Levels 11 to 13 under and around what the fixture's view shows at level 12.
QString levels(const QString &path, const QRect &at12)
{
    const QRect around = at12.adjusted(-4, -4, 4, 4);
    QList<QVariantList> rows;
    const QRect areas[] = {QRect(around.topLeft() / 2, around.bottomRight() / 2), around,
                           QRect(around.topLeft() * 2, around.bottomRight() * 2 + QPoint(1, 1))};
    for (int z = 11; z <= 13; ++z) {
        const QRect &r = areas[z - 11];
        for (int x = r.left(); x <= r.right(); ++x)
            for (int y = r.top(); y <= r.bottom(); ++y)
                rows.append({x, y, z, TestTiles::encoded(x, y, z)});
    }
    writeTileDatabase(path, 12, QRect(), [](int, int, int) { return QByteArray(); });
    runSql(path, {"insert or replace into tiles (x, y, z, image) values (?, ?, ?, ?)"}, rows);
    return path;
}

void wheel(OsmView &view, int angle)
{
    QWidget *viewport = view.viewport();
    const QPoint at = viewport->rect().center();
    QWheelEvent event(QPointF(at), QPointF(viewport->mapToGlobal(at)), QPoint(), QPoint(0, angle),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewport, &event);
}

} // namespace

class tst_Prefetch : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void stepFindsTilesReady_data() { addRows(stepRows); }
    void stepFindsTilesReady();
    void memoryKeepsTheTilesOnScreen_data() { addRows(memoryRows); }
    void memoryKeepsTheTilesOnScreen();
    void tileThatDoesNotDecodeIsReadOnce();
};

void tst_Prefetch::stepFindsTilesReady()
{
    QFETCH(int, row);
    const auto &r = stepRows[row];
    QTemporaryDir tmp;
    MapFixture map;
    const QString path = levels(tmp.filePath("levels.sqlitedb"), map.visibleTiles());
    OsmView &view = *map.view;
    auto *provider = view.findChild<TileProvider *>();
    view.setPrefetch(r.prefetch);
    view.setZoom(r.zoom);
    view.setImagePath(path);
    QSignalSpy prepared(provider, &TileProvider::prepared);
    view.viewport()->repaint();
    if (r.prefetch)
        QVERIFY(prepared.wait());
    else
        QVERIFY(!prepared.wait(400)); // the only wait for nothing
    if (r.newSource)
        view.setImagePath(tmp.filePath("empty.sqlitedb"));

    int reads = 0;
    provider->setStoreReadHook([&reads](const TileKey &) { ++reads; });
    const int level = map.level();
    switch (r.step) {
    case East:
        view.horizontalScrollBar()->setValue(view.horizontalScrollBar()->value() + 200);
        break;
    case South:
        view.verticalScrollBar()->setValue(view.verticalScrollBar()->value() + 200);
        break;
    case In:
    case Out:
        wheel(view, r.step == In ? 120 : -120);
        QCOMPARE(map.level(), level + (r.step == In ? 1 : -1));
        break;
    }
    view.viewport()->repaint();
    QCOMPARE(reads > 0, !r.prefetch || r.newSource);
    provider->setStoreReadHook({});
    QString why;
    QVERIFY2(!map.wrongSamples(map.grab(), 1, r.newSource ? QRect() : QRect(0, 0, 1 << 20, 1 << 20),
                               &why),
             qPrintable(why));
}

void tst_Prefetch::memoryKeepsTheTilesOnScreen()
{
    QFETCH(int, row);
    const auto &r = memoryRows[row];
    TileMemory memory;
    memory.setBudget(4 * TileMemory::costOf(tile()));
    for (int x = 0; x < 4; ++x)
        memory.insert(key(x), tile());
    memory.setShown(5, QRect(0, 0, 2, 1));
    QCOMPARE(r.act(memory), r.kept);
    QVector<int> held;
    for (int x = 0; x < 30; ++x) {
        if (memory.contains(key(x)))
            held << x;
    }
    QCOMPARE(held, r.held);
    QVERIFY(memory.bytes() <= memory.budget());
}

// Up to 16 MiB a read, on every paint of a wall screen, until the store changes.
void tst_Prefetch::tileThatDoesNotDecodeIsReadOnce()
{
    QTemporaryDir tmp;
    const QString path = tmp.filePath("junk.sqlitedb");
    writeTileDatabase(path, 5, QRect(0, 0, 1, 1),
                      [](int, int, int) { return QByteArray(4096, 'x'); });
    TileProvider provider;
    int reads = 0;
    provider.setStoreReadHook([&reads](const TileKey &) { ++reads; });
    QVERIFY(provider.open(path));
    QVERIFY(provider.tile(TileKey(0, 0, 5)).pixmap.isNull());
    QVERIFY(provider.tile(TileKey(0, 0, 5)).pixmap.isNull());
    QCOMPARE(reads, 1);
    QVERIFY(provider.open(path)); // a store opened again is read again
    QVERIFY(provider.tile(TileKey(0, 0, 5)).pixmap.isNull());
    QCOMPARE(reads, 2);
}

QTEST_MAIN(tst_Prefetch)
#include "tst_prefetch.moc"

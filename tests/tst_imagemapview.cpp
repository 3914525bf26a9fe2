#include "ImageMapView.h"
#include "RowTable.h"

#include <QtTest/QtTest>
#include <QtWidgets/QGraphicsScene>

#include <cmath>

namespace {

const double Notch = 1.0905077326652577; // 2^(1/8)

// One black pixel in a frame that claims side x side, which Qt's decoder would allocate.
QByteArray gifDeclaring(int side)
{
    const char size[] = {char(side & 0xff), char(side >> 8), char(side & 0xff), char(side >> 8)};
    return QByteArray("GIF89a\0\0\0\0\x80\0\0\0\0\0\xff\xff\xff,\0\0\0\0", 24) + QByteArray(size, 4)
        + QByteArray("\0\x02\x02\x44\x01\0\x3b", 7);
}

QByteArray encoded(QSize size, const char *format)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QBuffer buffer;
    return buffer.open(QIODevice::WriteOnly) && image.save(&buffer, format) ? buffer.data()
                                                                            : QByteArray();
}

// 400 x 300 pixels that name themselves over a binding, on a 320 x 240 viewport of a scene
// one unit larger: red and green are the low bytes of column and row, blue holds their high
// nibbles.
struct Shown
{
    explicit Shown(const char *binding = "30 60 30.4 59.7", bool mercatorOn = false)
    {
        QImage image(400, 300, QImage::Format_RGB32);
        for (int y = 0; y < 300; ++y)
            for (int x = 0; x < 400; ++x)
                image.setPixel(x, y, qRgb(x & 0xff, y & 0xff, (x >> 8) << 4 | y >> 8));
        view.setScene(&scene);
        view.setFrameShape(QFrame::NoFrame);
        view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        view.setBackgroundOpacity(1.0);
        view.resize(320, 240);
        view.setProperty("merkatorProjection", mercatorOn);
        view.setProperty("pixmap", QPixmap::fromImage(image));
        view.setProperty("binding", QString::fromLatin1(binding));
        scene.setSceneRect(view.property("geoRect").toRectF().normalized().adjusted(-1, -1, 1, 1));
        view.centerOn(scene.sceneRect().center());
        view.show();
    }
    QColor centre() { return view.viewport()->grab().toImage().pixelColor(160, 120); }
    void wheel(int delta)
    {
        QWheelEvent event(QPointF(50, 50), QPointF(view.viewport()->mapToGlobal(QPoint(50, 50))),
                          QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
        QApplication::sendEvent(view.viewport(), &event);
    }
    // Loads a file of these bytes; no bytes: a file that is not there.
    void load(const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY(bytes.isEmpty()
                || (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
                    && file.flush()));
        view.setImagePath(path);
    }

    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("map"));
    QGraphicsScene scene;
    ImageMapView view;
};

// Bindings are read and written under a German default locale. centre null: the rectangle's.
// clang-format off
const struct { const char *name, *binding, *readBack; bool mercatorOn; double zoom; QPointF centre; bool corrected; } drawRows[] = {
    {"blanks and lines between numbers", "  30\n60\t30.4   59.7 ", "30 60 30.4 59.7", false, 1.0, {}, false},
    {"six significant digits", "30.1234567 60.7654321 30.5 59.8", "30.1235 60.7654 30.5 59.8", false, 1.0, {}, false},
    {"two numbers: the others are 0", "30 60", "30 60 0 0", false, 1.0, {}, false},
    {"mercator exact at the viewport centre", "10 60 30 40", "10 60 30 40", true, 1.5, {15, 55}, true},
    {"mercator switched off, zoomed and scrolled", "10 60 30 40", "10 60 30 40", false, 1.5, {15, 55}, false},
    {"no numbers: the pixel rectangle, which has no latitudes", "west north", "0 0 400 300", true, 1.0, {}, false},
    {"ends at 86, past the tile limit", "10 86 30 70", "10 86 30 70", true, 1.0, {}, true},
    {"ends at 89.9", "10 89.9 30 70", "10 89.9 30 70", true, 1.0, {}, true},
    {"ends at the pole", "10 90 30 70", "10 90 30 70", true, 1.0, {}, true},
    {"reaches past the pole", "0 120 40 20", "0 120 40 20", true, 4.0, {20, 80}, true},
    {"wholly past a pole", "10 -95 30 -105", "10 -95 30 -105", true, 1.0, {}, false},
};
// clang-format on

// From zoom 3 over the self-naming image: the zoom reported (0: unchanged, nothing emitted) and
// the image's width afterwards (400: still the first). An image of another width came from
// the file.
// clang-format off
const struct { const char *name; void (*act)(Shown &); double zoom; int width; } changeRows[] = {
    {"percent", [](Shown &s) { s.view.setZoom(150); }, 1.5, 400},
    {"same factor again", [](Shown &s) { s.view.setZoom(3.0); }, 3.0, 400},
    {"zero", [](Shown &s) { s.view.setZoom(0.0); }, 0, 400},
    {"negative", [](Shown &s) { s.view.setZoom(-1.0); }, 0, 400},
    {"not a number", [](Shown &s) { s.view.setZoom(qQNaN()); }, 0, 400},
    {"too small to scale by", [](Shown &s) { s.view.setZoom(5e-324); }, 0, 400},
    {"half a notch", [](Shown &s) { s.wheel(60); }, 0, 400},
    {"two notches out", [](Shown &s) { s.wheel(-240); }, 3 / Notch / Notch, 400},
    {"notch not 2^(1/8), or in with a limit", [](Shown &s) { s.wheel(9600); }, 3 * 1024, 400},
    // 2.3 degrees of scene fit into 240 pixels after 39 notches.
    {"out until the scene fits", [](Shown &s) { for (int i = 0; i < 40; ++i) s.wheel(-120); }, 3 * std::pow(Notch, -39), 400},
    {"out without a scene", [](Shown &s) { s.view.setScene(nullptr); s.wheel(-1920); }, 0.75, 400},
    {"new rectangle keeps the zoom", [](Shown &s) { s.view.setProperty("geoRect", QRectF(31, 61, 0.8, -0.2)); }, 3.0, 400},
    {"rectangle of infinite width", [](Shown &s) { s.view.setProperty("geoRect", QRectF(30, 60, qInf(), -0.3)); }, 0, 400},
    {"rectangle of no number width", [](Shown &s) { s.view.setProperty("geoRect", QRectF(30, 60, qQNaN(), -0.3)); }, 0, 400},
    {"ppm", [](Shown &s) { s.load(encoded({40, 30}, "PPM")); }, 3.0, 40},
    {"xpm", [](Shown &s) { s.load(encoded({40, 30}, "XPM")); }, 3.0, 40},
    {"jpeg", [](Shown &s) { s.load(encoded({40, 30}, "JPEG")); }, 3.0, 40},
    {"gif", [](Shown &s) { s.load(gifDeclaring(8)); }, 3.0, 8},
    {"gif with a colour table of its own", [](Shown &s) { s.load(QByteArray("GIF89a\x08\0\x08\0\0\0\0,\0\0\0\0\x08\0\x08\0\x80\0\0\0\xff\xff\xff\x02\x02\x44\x01\0\x3b", 35)); }, 3.0, 8},
    {"png as wide as allowed keeps the zoom", [](Shown &s) { s.load(encoded({16384, 1}, "PNG")); }, 3.0, 16384},
    {"png as tall as allowed", [](Shown &s) { s.load(encoded({1, 16384}, "PNG")); }, 3.0, 1},
    {"png of 156 MiB decoded, past Qt 6's own limit", [](Shown &s) { s.load(encoded({6400, 6400}, "PNG")); }, 3.0, 6400},
    {"one pixel too wide", [](Shown &s) { s.load(encoded({16385, 1}, "PNG")); }, 0, 400},
    {"35 bytes claiming a gigabyte", [](Shown &s) { s.load(gifDeclaring(15400)); }, 0, 400},
    {"not an image", [](Shown &s) { s.load("not a picture"); }, 0, 400},
    {"missing file", [](Shown &s) { s.load({}); }, 0, 400},
};
// clang-format on

} // namespace

class tst_ImageMapView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany)); }
    void draws_data() { addRows(drawRows); }
    void draws();
    void changes_data() { addRows(changeRows); }
    void changes();
};

void tst_ImageMapView::draws()
{
    QFETCH(int, row);
    const auto &t = drawRows[row];
    Shown s(t.binding, t.mercatorOn);
    s.view.setZoom(t.zoom);
    const QRectF r = s.view.property("geoRect").toRectF();
    s.view.centerOn(t.centre.isNull() ? r.center() : t.centre);
    const QImage shown = s.view.viewport()->grab().toImage();
    const QPointF mid = s.view.mapToScene(s.view.viewport()->rect().center());
    const double sy = 300 / r.height();
    // Where a Mercator image has the latitude of the centre, against where a linear one has it.
    auto ordinate = [](double lat) {
        return std::asinh(std::tan(qBound(-90.0, lat, 90.0) * M_PI / 180));
    };
    const double mercatorRow = (ordinate(r.top()) - ordinate(mid.y())) * 299
        / (ordinate(r.top()) - ordinate(r.bottom()));
    const double shift = t.corrected ? mercatorRow - (mid.y() - r.top()) * sy : 0.0;
    int checked = 0;
    for (int y = 2; y < shown.height(); y += 9) {
        for (int x = 2; x < shown.width(); x += 9) {
            const QPointF p = s.view.viewportTransform().inverted().map(QPointF(x + 0.5, y + 0.5));
            const QPointF want((p.x() - r.left()) * 400 / r.width(),
                               (p.y() - r.top()) * sy + shift);
            const QRgb c = shown.pixel(x, y);
            const QPointF got(qRed(c) | (qBlue(c) >> 4) << 8, qGreen(c) | (qBlue(c) & 15) << 8);
            if (want.x() < 0 || want.y() < 0 || want.x() >= 400 || want.y() >= 300)
                continue;
            QVERIFY2(qAbs(got.x() - want.x()) < 1.05
                         && qAbs(got.y() - want.y()) < (t.corrected ? 2.05 : 1.05),
                     qPrintable(QString::asprintf("(%d, %d) shows row %g, not %g", x, y, got.y(),
                                                  want.y())));
            ++checked;
        }
    }
    QVERIFY(checked > 100);
    // At half opacity half the image over the background; cleared, no image at all, but the
    // rectangle and the zoom stay.
    s.view.setBackgroundOpacity(0.5);
    const QColor full = shown.pixelColor(160, 120), half = s.centre();
    s.view.clear();
    const QColor none = s.centre();
    QVERIFY(qAbs(half.red() - (full.red() + none.red()) / 2)
                + qAbs(half.green() - (full.green() + none.green()) / 2)
            <= 2);
    QVERIFY(s.view.property("pixmap").value<QPixmap>().isNull() && none != full);
    QCOMPARE(s.view.property("binding").toString(), QString::fromLatin1(t.readBack));
    QCOMPARE(s.view.property("zoom").toDouble(), t.zoom);
}

void tst_ImageMapView::changes()
{
    QFETCH(int, row);
    const auto &t = changeRows[row];
    Shown s;
    s.view.setZoom(3.0);
    QSignalSpy factors(&s.view, QOverload<double>::of(&ImageMapView::zoomChanged));
    QSignalSpy percents(&s.view, QOverload<int>::of(&ImageMapView::zoomChanged));
    t.act(s);
    QVERIFY(qAbs(s.view.property("zoom").toDouble() - (t.zoom == 0 ? 3.0 : t.zoom)) < 1e-9);
    QVERIFY(t.zoom == 0 ? factors.isEmpty()
                        : qAbs(factors.last().at(0).toDouble() - t.zoom) < 1e-9);
    QVERIFY(t.zoom == 0
                ? percents.isEmpty()
                : percents.last().at(0).toInt() == int(factors.last().at(0).toDouble() * 100));
    QCOMPARE(s.view.property("pixmap").value<QPixmap>().width(), t.width);
    QCOMPARE(s.view.property("imagePath").toString(), t.width == 400 ? QString() : s.path);
}

QTEST_MAIN(tst_ImageMapView)
#include "tst_imagemapview.moc"

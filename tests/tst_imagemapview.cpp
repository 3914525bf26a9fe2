#include "ImageMapView.h"
#include "RowTable.h"

#include <QtTest/QtTest>
#include <QtWidgets/QGraphicsScene>

#include <cmath>

namespace {

const double Notch = 1.0905077326652577; // 2^(1/8)

// 400 x 300 pixels that name themselves: red and green are the low bytes of column and
// row, blue holds their high nibbles.
QPixmap selfNamingImage()
{
    QImage image(400, 300, QImage::Format_RGB32);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x)
            image.setPixel(x, y, qRgb(x & 0xff, y & 0xff, (x >> 8) << 4 | y >> 8));
    return QPixmap::fromImage(image);
}

// The row at which a Mercator image of 300 rows over geo has the latitude lat.
double mercatorRow(double lat, const QRectF &geo)
{
    auto y = [](double l) { return std::asinh(std::tan(qBound(-90.0, l, 90.0) * M_PI / 180)); };
    return (y(geo.top()) - y(lat)) * 299 / (y(geo.top()) - y(geo.bottom()));
}

// One black pixel in a frame that claims side x side, which Qt's decoder would allocate.
QByteArray gifDeclaring(int side)
{
    const char size[] = {char(side & 0xff), char(side >> 8), char(side & 0xff), char(side >> 8)};
    return QByteArray("GIF89a\0\0\0\0\x80\0\0\0\0\0\xff\xff\xff,\0\0\0\0", 24) + QByteArray(size, 4)
        + QByteArray("\0\x02\x02\x44\x01\0\x3b", 7);
}

// The self-naming image over a binding, on a 320 x 240 viewport of a scene one unit larger.
struct Shown
{
    explicit Shown(const char *binding = "30 60 30.4 59.7", bool mercatorOn = false)
    {
        view.setScene(&scene);
        view.setFrameShape(QFrame::NoFrame);
        view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        view.setBackgroundOpacity(1.0);
        view.resize(320, 240);
        view.setProperty("merkatorProjection", mercatorOn);
        view.setProperty("pixmap", selfNamingImage());
        view.setProperty("binding", QString::fromLatin1(binding));
        scene.setSceneRect(view.property("geoRect").toRectF().normalized().adjusted(-1, -1, 1, 1));
        view.centerOn(scene.sceneRect().center());
        view.show();
    }
    QColor centre() { return view.viewport()->grab().toImage().pixelColor(160, 120); }
    QGraphicsScene scene;
    ImageMapView view;
};

void wheel(QWidget *viewport, int delta)
{
    QWheelEvent event(QPointF(50, 50), QPointF(viewport->mapToGlobal(QPoint(50, 50))), QPoint(),
                      QPoint(0, delta), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewport, &event);
}

// Bindings are read and written under a German default locale. centre null: the rectangle's.
const struct { const char *name, *binding, *readBack; bool mercatorOn; double zoom; QPointF centre; bool corrected; } drawRows[] = {
    {"linear", "30 60 30.4 59.7", "30 60 30.4 59.7", false, 1.0, {}, false},
    {"linear, zoomed and scrolled", "30 60 30.4 59.7", "30 60 30.4 59.7", false, 2.0, {30.27, 59.9}, false},
    {"blanks and lines between numbers", "  30\n60\t30.4   59.7 ", "30 60 30.4 59.7", false, 1.0, {}, false},
    {"six significant digits", "30.1234567 60.7654321 30.5 59.8", "30.1235 60.7654 30.5 59.8", false, 1.0, {}, false},
    {"two numbers: the others are 0", "30 60", "30 60 0 0", false, 1.0, {}, false},
    {"mercator", "10 60 30 40", "10 60 30 40", true, 1.0, {}, true},
    {"mercator exact at the viewport centre", "10 60 30 40", "10 60 30 40", true, 1.5, {15, 55}, true},
    {"mercator switched off", "10 60 30 40", "10 60 30 40", false, 1.5, {15, 55}, false},
    {"no numbers: the pixel rectangle", "west north", "0 0 400 300", false, 1.0, {}, false},
    {"pixel rectangle has no latitudes", "", "0 0 400 300", true, 1.0, {}, false},
    {"ends at 80", "10 80 30 60", "10 80 30 60", true, 1.0, {}, true},
    {"ends at 86, past the tile limit", "10 86 30 70", "10 86 30 70", true, 1.0, {}, true},
    {"ends at 89.9", "10 89.9 30 70", "10 89.9 30 70", true, 1.0, {}, true},
    {"ends at the pole", "10 90 30 70", "10 90 30 70", true, 1.0, {}, true},
    {"reaches past the pole", "0 120 40 20", "0 120 40 20", true, 4.0, {20, 80}, true},
    {"wholly past a pole", "10 -95 30 -105", "10 -95 30 -105", true, 1.0, {}, false},
};

QByteArray encoded(QSize size, const char *format)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    return buffer.open(QIODevice::WriteOnly) && image.save(&buffer, format) ? bytes : QByteArray();
}

// width 0: refused, the view keeps what it had. No bytes: no file at all.
const struct { const char *name; QByteArray (*bytes)(); int width; } fileRows[] = {
    {"png", [] { return encoded({40, 30}, "PNG"); }, 40},
    {"bmp", [] { return encoded({40, 30}, "BMP"); }, 40},
    {"jpeg", [] { return encoded({40, 30}, "JPEG"); }, 40},
    {"gif", [] { return gifDeclaring(8); }, 8},
    {"as wide as allowed", [] { return encoded({16384, 1}, "PNG"); }, 16384},
    {"one pixel too wide", [] { return encoded({16385, 1}, "PNG"); }, 0},
    {"35 bytes claiming a gigabyte", [] { return gifDeclaring(15400); }, 0},
    {"not an image", [] { return QByteArray("not a picture"); }, 0},
    {"missing file", [] { return QByteArray(); }, 0},
};

// From zoom 3; zoom 0: unchanged, nothing emitted.
const struct { const char *name; void (*act)(ImageMapView &); double zoom; } zoomRows[] = {
    {"percent", [](ImageMapView &v) { v.setZoom(150); }, 1.5},
    {"factor", [](ImageMapView &v) { v.setZoom(2.5); }, 2.5},
    {"same factor again", [](ImageMapView &v) { v.setZoom(3.0); }, 3.0},
    {"zero", [](ImageMapView &v) { v.setZoom(0.0); }, 0},
    {"negative", [](ImageMapView &v) { v.setZoom(-1.0); }, 0},
    {"not a number", [](ImageMapView &v) { v.setZoom(qQNaN()); }, 0},
    {"too small to scale by", [](ImageMapView &v) { v.setZoom(5e-324); }, 0},
    {"one notch", [](ImageMapView &v) { wheel(v.viewport(), 120); }, 3 * Notch},
    {"four notches", [](ImageMapView &v) { wheel(v.viewport(), 480); }, 3 * M_SQRT2},
    {"half a notch", [](ImageMapView &v) { wheel(v.viewport(), 60); }, 0},
    {"two notches out", [](ImageMapView &v) { wheel(v.viewport(), -240); }, 3 / Notch / Notch},
    {"in without limit", [](ImageMapView &v) { wheel(v.viewport(), 9600); }, 3 * 1024},
    // 2.3 degrees of scene fit into 240 pixels after 39 notches.
    {"out until the scene fits", [](ImageMapView &v) { for (int i = 0; i < 40; ++i) wheel(v.viewport(), -120); }, 3 * std::pow(Notch, -39)},
    {"out without a scene", [](ImageMapView &v) { v.setScene(nullptr); wheel(v.viewport(), -1920); }, 0.75},
    {"new rectangle keeps the zoom", [](ImageMapView &v) { v.setProperty("geoRect", QRectF(31, 61, 0.8, -0.2)); }, 3.0},
    {"new image keeps the zoom", [](ImageMapView &v) { v.setProperty("pixmap", QPixmap(800, 600)); }, 3.0},
    {"rectangle of infinite width", [](ImageMapView &v) { v.setProperty("geoRect", QRectF(30, 60, qInf(), -0.3)); }, 0},
    {"rectangle of no number width", [](ImageMapView &v) { v.setProperty("geoRect", QRectF(30, 60, qQNaN(), -0.3)); }, 0},
};

} // namespace

class tst_ImageMapView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void draws_data() { addRows(drawRows); }
    void draws();
    void imageFiles_data() { addRows(fileRows); }
    void imageFiles();
    void zoom_data() { addRows(zoomRows); }
    void zoom();
    void opacityAndClear();
};

void tst_ImageMapView::draws()
{
    QFETCH(int, row);
    const auto &t = drawRows[row];
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    Shown s(t.binding, t.mercatorOn);
    QLocale::setDefault(QLocale::c());
    QCOMPARE(s.view.property("binding").toString(), QString::fromLatin1(t.readBack));
    QVERIFY(QTest::qWaitForWindowExposed(&s.view));
    s.view.setZoom(t.zoom);
    const QRectF r = s.view.property("geoRect").toRectF();
    s.view.centerOn(t.centre.isNull() ? r.center() : t.centre);
    const QImage shown = s.view.viewport()->grab().toImage();
    const QPointF mid = s.view.mapToScene(s.view.viewport()->rect().center());
    const double sy = 300 / r.height();
    const double shift = t.corrected ? mercatorRow(mid.y(), r) - (mid.y() - r.top()) * sy : 0.0;
    int checked = 0;
    for (int y = 2; y < shown.height(); y += 9) {
        for (int x = 2; x < shown.width(); x += 9) {
            const QPointF p = s.view.viewportTransform().inverted().map(QPointF(x + 0.5, y + 0.5));
            const QPointF want((p.x() - r.left()) * 400 / r.width(), (p.y() - r.top()) * sy + shift);
            const QRgb c = shown.pixel(x, y);
            const QPointF got(qRed(c) | (qBlue(c) >> 4) << 8, qGreen(c) | (qBlue(c) & 15) << 8);
            if (want.x() < 0 || want.y() < 0 || want.x() >= 400 || want.y() >= 300)
                continue;
            QVERIFY2(qAbs(got.x() - want.x()) < 1.05 && qAbs(got.y() - want.y()) < (t.corrected ? 2.05 : 1.05),
                     qPrintable(QStringLiteral("(%1, %2) shows row %3, not %4").arg(x).arg(y).arg(got.y()).arg(want.y())));
            ++checked;
        }
    }
    QVERIFY(checked > 100);
}

void tst_ImageMapView::imageFiles()
{
    QFETCH(int, row);
    const auto &t = fileRows[row];
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("named"));
    QFile file(path);
    QVERIFY(t.bytes().isEmpty() || (file.open(QIODevice::WriteOnly) && file.write(t.bytes()) > 0));
    file.close();
    Shown s;
    s.view.setZoom(2.0);
    const QTransform transform = s.view.transform();
    s.view.setImagePath(path);
    const QImage shown = s.view.property("pixmap").value<QPixmap>().toImage();
    QCOMPARE(s.view.property("imagePath").toString(), t.width ? path : QString());
    QCOMPARE(shown.width(), t.width ? t.width : 400);
    s.view.centerOn(30.2, 59.85);
    QVERIFY(t.width ? s.centre() == shown.pixelColor(0, 0) : s.view.transform() == transform);
}

void tst_ImageMapView::zoom()
{
    QFETCH(int, row);
    const auto &t = zoomRows[row];
    Shown s;
    s.view.setZoom(3.0);
    QSignalSpy factors(&s.view, QOverload<double>::of(&ImageMapView::zoomChanged));
    QSignalSpy percents(&s.view, QOverload<int>::of(&ImageMapView::zoomChanged));
    t.act(s.view);
    QVERIFY(qAbs(s.view.property("zoom").toDouble() - (t.zoom == 0 ? 3.0 : t.zoom)) < 1e-9);
    QVERIFY(std::isfinite(s.view.transform().m11()) && std::isfinite(s.view.transform().m22()));
    QVERIFY(t.zoom == 0 ? factors.isEmpty() : qAbs(factors.last().at(0).toDouble() - t.zoom) < 1e-9);
    QVERIFY(t.zoom == 0 ? percents.isEmpty() : percents.last().at(0).toInt() == int(factors.last().at(0).toDouble() * 100));
}

void tst_ImageMapView::opacityAndClear()
{
    Shown s;
    const QTransform transform = s.view.transform();
    const QColor image = s.centre();
    s.view.setBackgroundOpacity(0.5);
    const QColor half = s.centre();
    s.view.clear();
    const QColor none = s.centre();
    QVERIFY(s.view.property("pixmap").value<QPixmap>().isNull() && none != image);
    QCOMPARE(s.view.property("binding").toString(), QStringLiteral("30 60 30.4 59.7"));
    QCOMPARE(s.view.transform(), transform);
    QVERIFY(qAbs(half.red() - (image.red() + none.red()) / 2) + qAbs(half.green() - (image.green() + none.green()) / 2) <= 2);
}

QTEST_MAIN(tst_ImageMapView)
#include "tst_imagemapview.moc"

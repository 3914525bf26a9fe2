#include "ImageMapView.h"

#include <QtGui/QPainter>
#include <QtTest/QtTest>
#include <QtWidgets/QGraphicsScene>

#include <cmath>

namespace {

const QColor Quadrants[] = {Qt::red, Qt::green, Qt::blue, Qt::yellow};

// 400 x 300, one colour per quadrant: red and green on top, blue and yellow below.
QPixmap quadrantImage(QSize size = QSize(400, 300))
{
    QImage image(size, QImage::Format_RGB32);
    QPainter p(&image);
    const int w = size.width() / 2;
    const int h = size.height() / 2;
    p.fillRect(0, 0, w, h, Quadrants[0]);
    p.fillRect(w, 0, size.width() - w, h, Quadrants[1]);
    p.fillRect(0, h, w, size.height() - h, Quadrants[2]);
    p.fillRect(w, h, size.width() - w, size.height() - h, Quadrants[3]);
    return QPixmap::fromImage(image);
}

double mercator(double lat)
{
    const double phi = lat * 3.141592653589793 / 180;
    return std::log(std::tan(phi) + 1 / std::cos(phi));
}

struct Shown
{
    explicit Shown(const QRectF &geo, bool mercatorOn)
    {
        scene.setSceneRect(geo.normalized().adjusted(-1, -1, 1, 1));
        view.setScene(&scene);
        view.setFrameShape(QFrame::NoFrame);
        view.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        view.setBackgroundOpacity(1.0);
        view.resize(320, 240);
        view.show();
        exposed = QTest::qWaitForWindowExposed(&view);
        view.setProperty("merkatorProjection", mercatorOn);
        QPixmap image = quadrantImage();
        view.setProperty("pixmap", image);
        view.setProperty("geoRect", geo);
        this->geo = geo;
        this->mercatorOn = mercatorOn;
    }

    // The image pixel a viewport pixel must show, from the drawing rules by hand.
    QPointF expectedImagePoint(QPoint p) const
    {
        const double sx = 400 / geo.width();
        const double sy = 300 / geo.height();
        const QPointF scenePoint = view.mapToScene(p);
        QPointF image((scenePoint.x() - geo.left()) * sx + 1, (scenePoint.y() - geo.top()) * sy + 1);
        if (mercatorOn) {
            const QPointF mid = view.mapToScene(view.viewport()->rect().center());
            const double scale = 299 / (mercator(geo.top()) - mercator(geo.bottom()));
            const double linear = (mid.y() - geo.top()) * sy;
            image.ry() += int((mercator(geo.top()) - mercator(mid.y())) * scale - linear);
        }
        return image;
    }

    // Every sampled pixel away from a quadrant edge shows its quadrant's colour.
    bool showsImage(QString *why)
    {
        const QImage shown = view.viewport()->grab().toImage();
        int checked = 0;
        for (int y = 3; y < shown.height(); y += 7) {
            for (int x = 3; x < shown.width(); x += 7) {
                const QPointF i = expectedImagePoint(QPoint(x, y));
                if (i.x() < 0 || i.y() < 0 || i.x() >= 400 || i.y() >= 300)
                    continue;
                if (qAbs(i.x() - 200) < 3 || qAbs(i.y() - 150) < 3)
                    continue;
                const QColor expected = Quadrants[(i.y() >= 150 ? 2 : 0) + (i.x() >= 200 ? 1 : 0)];
                ++checked;
                if (shown.pixelColor(x, y) != expected) {
                    *why = QStringLiteral("(%1, %2) shows %3, expected %4 of image point (%5, %6)")
                               .arg(x)
                               .arg(y)
                               .arg(shown.pixelColor(x, y).name(), expected.name())
                               .arg(i.x())
                               .arg(i.y());
                    return false;
                }
            }
        }
        if (checked < 100) {
            *why = QStringLiteral("only %1 pixels checked").arg(checked);
            return false;
        }
        return true;
    }

    QGraphicsScene scene;
    ImageMapView view;
    QRectF geo;
    bool mercatorOn = false;
    bool exposed = false;
};

// Every pixel names itself: red and green the low bytes of column and row, blue their
// high nibbles.
QPixmap selfNamingImage()
{
    QImage image(400, 300, QImage::Format_RGB32);
    for (int y = 0; y < 300; ++y)
        for (int x = 0; x < 400; ++x)
            image.setPixel(x, y, qRgb(x & 0xff, y & 0xff, (x >> 8) << 4 | y >> 8));
    return QPixmap::fromImage(image);
}

QPoint imagePixelOf(QRgb c)
{
    return QPoint(qRed(c) | (qBlue(c) >> 4) << 8, qGreen(c) | (qBlue(c) & 15) << 8);
}

double mercatorRow(double lat, const QRectF &geo)
{
    const double top = std::asinh(std::tan(qBound(-90.0, geo.top(), 90.0) * M_PI / 180));
    const double bottom = std::asinh(std::tan(qBound(-90.0, geo.bottom(), 90.0) * M_PI / 180));
    const double at = std::asinh(std::tan(qBound(-90.0, lat, 90.0) * M_PI / 180));
    return (top - at) * 299 / (top - bottom);
}

QByteArray gifDeclaring(int side)
{
    QByteArray b("GIF89a");
    auto le = [&b](int v) { b.append(char(v & 0xff)).append(char(v >> 8)); };
    le(0), le(0);
    b.append("\x80\x00\x00\x00\x00\x00\xff\xff\xff", 9).append(',');
    le(0), le(0), le(side), le(side);
    return b.append("\x00\x02\x02\x44\x01\x00\x3b", 7);
}

void wheel(QWidget *viewport, int delta)
{
    const QPoint at(50, 50);
    QWheelEvent event(QPointF(at), QPointF(viewport->mapToGlobal(at)), QPoint(), QPoint(0, delta),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(viewport, &event);
}

} // namespace

class tst_ImageMapView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pixels_data();
    void pixels();
    void farPastThePolesStaysFinite_data();
    void farPastThePolesStaysFinite();
    void zoomSurvivesNewImageAndRectangle();
    void pixelRectangleWithoutGeoRect();
    void binding_data();
    void binding();
    void setZoomPercentAndInvalid();
    void wheel_data();
    void wheel();
    void wheelStopsWhenSceneFits();
    void wheelWithoutScene();
    void missingImageChangesNothing();
    void clearKeepsRectangle();
    void latitudes_data();
    void latitudes();
    void boundedFiles_data();
    void boundedFiles();
};

void tst_ImageMapView::pixels_data()
{
    QTest::addColumn<QRectF>("geo");
    QTest::addColumn<bool>("mercatorOn");
    QTest::addColumn<double>("zoom");
    QTest::addColumn<QPointF>("centre");

    const QRectF small(30.0, 60.0, 0.4, -0.3);
    const QRectF tall(10.0, 60.0, 20.0, -20.0);
    QTest::newRow("linear, zoom 1") << small << false << 1.0 << QPointF(30.2, 59.85);
    QTest::newRow("linear, zoom 2") << small << false << 2.0 << QPointF(30.2, 59.85);
    QTest::newRow("linear, zoom 2, scrolled") << small << false << 2.0 << QPointF(30.27, 59.9);
    QTest::newRow("mercator, zoom 1") << tall << true << 1.0 << QPointF(20, 50);
    QTest::newRow("mercator, zoom 2") << tall << true << 2.0 << QPointF(20, 50);
    QTest::newRow("mercator, scrolled north") << tall << true << 1.5 << QPointF(15, 55);
    QTest::newRow("mercator, scrolled south") << tall << true << 1.5 << QPointF(25, 44);
}

void tst_ImageMapView::pixels()
{
    QFETCH(QRectF, geo);
    QFETCH(bool, mercatorOn);
    QFETCH(double, zoom);
    QFETCH(QPointF, centre);
    Shown s(geo, mercatorOn);
    QVERIFY(s.exposed);
    s.view.setZoom(zoom);
    QCOMPARE(s.view.property("zoom").toDouble(), zoom);
    s.view.centerOn(centre);
    QString why;
    QVERIFY2(s.showsImage(&why), qPrintable(why));
    if (mercatorOn) {
        // The correction is a real shift here: the linear mapping alone is wrong.
        s.mercatorOn = false;
        QVERIFY(!s.showsImage(&why));
    }
}

void tst_ImageMapView::farPastThePolesStaysFinite_data()
{
    QTest::addColumn<QRectF>("geo");
    QTest::addColumn<QPointF>("centre");
    QTest::newRow("pole to pole") << QRectF(0, 90, 40, -180) << QPointF(20, 89.999);
    QTest::newRow("past the north pole") << QRectF(0, 120, 40, -100) << QPointF(20, 110);
    QTest::newRow("wholly past the south pole") << QRectF(0, -95, 40, -10) << QPointF(20, -100);
}

void tst_ImageMapView::farPastThePolesStaysFinite()
{
    QFETCH(QRectF, geo);
    QFETCH(QPointF, centre);
    Shown s(geo, true);
    s.view.setZoom(4.0);
    s.view.centerOn(centre);
    const QImage shown = s.view.viewport()->grab().toImage();
    // A picture of the image is drawn: some of its colours show.
    int coloured = 0;
    for (int y = 0; y < shown.height(); y += 5)
        for (int x = 0; x < shown.width(); x += 5)
            for (const QColor &q : Quadrants)
                coloured += shown.pixelColor(x, y) == q;
    QVERIFY(coloured > 0);
}

void tst_ImageMapView::zoomSurvivesNewImageAndRectangle()
{
    Shown s(QRectF(30.0, 60.0, 0.4, -0.3), false);
    s.view.setZoom(1.5);
    QSignalSpy zooms(&s.view, QOverload<double>::of(&ImageMapView::zoomChanged));
    s.view.setProperty("geoRect", QRectF(31.0, 61.0, 0.8, -0.2));
    QVERIFY(qAbs(s.view.property("zoom").toDouble() - 1.5) < 1e-9);
    QVERIFY(qAbs(s.view.transform().m11() - 1.5 * 400 / 0.8) < 1e-6);
    QPixmap bigger = quadrantImage(QSize(800, 600));
    s.view.setProperty("pixmap", bigger);
    QVERIFY(qAbs(s.view.property("zoom").toDouble() - 1.5) < 1e-9);
    QVERIFY(qAbs(s.view.transform().m11() - 1.5 * 800 / 0.8) < 1e-6);
    QCOMPARE(zooms.count(), 2);
    QVERIFY(s.view.transform().m22() < 0);
}

void tst_ImageMapView::pixelRectangleWithoutGeoRect()
{
    ImageMapView view;
    QPixmap image = quadrantImage();
    view.setProperty("pixmap", image);
    QCOMPARE(view.property("geoRect").toRectF(), QRectF(0, 0, 400, 300));
    QCOMPARE(view.property("binding").toString(), QStringLiteral("0 0 400 300"));
    QCOMPARE(view.transform(), QTransform()); // one image pixel per screen pixel, y down
    QCOMPARE(view.property("zoom").toDouble(), 1.0);
}

void tst_ImageMapView::binding_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QRectF>("rect");
    QTest::addColumn<QString>("readBack");
    QTest::newRow("four numbers") << "30.1 60.1 30.5 59.8" << QRectF(30.1, 60.1, 0.4, -0.3)
                                  << "30.1 60.1 30.5 59.8";
    QTest::newRow("rounded to six digits") << "30.1234567 60.7654321 30.5 59.8"
                                           << QRectF(30.1234567, 60.7654321, 30.5 - 30.1234567,
                                                     59.8 - 60.7654321)
                                           << "30.1235 60.7654 30.5 59.8";
    QTest::newRow("two numbers") << "30 60" << QRectF(30, 60, -30, -60) << "30 60 0 0";
    QTest::newRow("extra blanks and lines") << "  30.1\n60.1\t30.5   59.8 "
                                            << QRectF(30.1, 60.1, 0.4, -0.3)
                                            << "30.1 60.1 30.5 59.8";
    QTest::newRow("garbage reads as zero") << "west north" << QRectF(0, 0, 0, 0) << "0 0 400 300";
}

void tst_ImageMapView::binding()
{
    QFETCH(QString, text);
    QFETCH(QRectF, rect);
    QFETCH(QString, readBack);
    // A host running with decimal commas must still read and write points.
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    ImageMapView view;
    QPixmap image = quadrantImage();
    view.setProperty("pixmap", image);
    view.setProperty("binding", text);
    const QRectF r = view.property("geoRect").toRectF();
    if (!rect.isNull()) {
        QVERIFY(qAbs(r.left() - rect.left()) < 1e-9 && qAbs(r.top() - rect.top()) < 1e-9);
        QVERIFY(qAbs(r.width() - rect.width()) < 1e-9 && qAbs(r.height() - rect.height()) < 1e-9);
    }
    QCOMPARE(view.property("binding").toString(), readBack);
    QLocale::setDefault(QLocale::c());
}

void tst_ImageMapView::setZoomPercentAndInvalid()
{
    Shown s(QRectF(30.0, 60.0, 0.4, -0.3), false);
    QSignalSpy factors(&s.view, QOverload<double>::of(&ImageMapView::zoomChanged));
    QSignalSpy percents(&s.view, QOverload<int>::of(&ImageMapView::zoomChanged));
    s.view.setZoom(150);
    QCOMPARE(factors.takeFirst().at(0).toDouble(), 1.5);
    QCOMPARE(percents.takeFirst().at(0).toInt(), 150);
    const QTransform atOneAndAHalf = s.view.transform();
    s.view.setZoom(1.5);
    QCOMPARE(s.view.transform(), atOneAndAHalf);
    QCOMPARE(factors.count(), 1); // no equality test: it is emitted again
    factors.clear();
    percents.clear();
    for (double bad : {0.0, -1.0, qQNaN(), qInf()})
        s.view.setZoom(bad);
    s.view.setZoom(0);
    QCOMPARE(s.view.transform(), atOneAndAHalf);
    QCOMPARE(factors.count() + percents.count(), 0);
}

void tst_ImageMapView::wheel_data()
{
    QTest::addColumn<int>("delta");
    QTest::addColumn<double>("factor");
    QTest::newRow("one notch") << 120 << 1.0905077326652577;
    QTest::newRow("four notches") << 480 << std::sqrt(2.0);
    QTest::newRow("half a notch") << 60 << 1.0;
    QTest::newRow("two notches out") << -240 << 1 / 1.0905077326652577 / 1.0905077326652577;
}

void tst_ImageMapView::wheel()
{
    QFETCH(int, delta);
    QFETCH(double, factor);
    Shown s(QRectF(30.0, 60.0, 0.4, -0.3), false);
    s.view.setZoom(3.0);
    QSignalSpy percents(&s.view, QOverload<int>::of(&ImageMapView::zoomChanged));
    ::wheel(s.view.viewport(), delta);
    QVERIFY(qAbs(s.view.property("zoom").toDouble() - 3.0 * factor) < 1e-9);
    if (factor != 1.0)
        QCOMPARE(percents.takeFirst().at(0).toInt(), int(3.0 * factor * 100));
    else
        QCOMPARE(percents.count(), 0);
}

void tst_ImageMapView::wheelStopsWhenSceneFits()
{
    Shown s(QRectF(30.0, 60.0, 0.4, -0.3), false);
    s.view.setZoom(2.0);
    int notches = 0;
    double last = 0;
    while (notches < 50 && s.view.property("zoom").toDouble() != last) {
        last = s.view.property("zoom").toDouble();
        ::wheel(s.view.viewport(), -120);
        ++notches;
    }
    const QRectF fitted = s.view.mapFromScene(s.scene.sceneRect()).boundingRect();
    QVERIFY(fitted.width() <= s.view.viewport()->width());
    QVERIFY(fitted.height() <= s.view.viewport()->height());
    QVERIFY(notches < 50);
    // Zooming in has no such limit: 80 notches are ten doublings.
    const double fittedZoom = s.view.property("zoom").toDouble();
    for (int i = 0; i < 80; ++i)
        ::wheel(s.view.viewport(), 120);
    QVERIFY(qAbs(s.view.property("zoom").toDouble() / fittedZoom - 1024) < 1e-6);
}

void tst_ImageMapView::wheelWithoutScene()
{
    ImageMapView view;
    view.resize(200, 200);
    for (int i = 0; i < 16; ++i)
        ::wheel(view.viewport(), -120);
    QVERIFY(qAbs(view.property("zoom").toDouble() - 0.25) < 1e-9);
}

void tst_ImageMapView::missingImageChangesNothing()
{
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("q.png"));
    QVERIFY(quadrantImage().save(path));
    Shown s(QRectF(30.0, 60.0, 0.4, -0.3), false);
    s.view.setImagePath(path);
    QCOMPARE(s.view.property("imagePath").toString(), path);
    s.view.setZoom(2.0);
    const QTransform before = s.view.transform();
    QFile broken(tmp.filePath(QStringLiteral("broken.png")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("not a picture");
    broken.close();
    for (const QString &bad : {tmp.filePath(QStringLiteral("missing.png")), broken.fileName()}) {
        s.view.setImagePath(bad);
        QCOMPARE(s.view.property("imagePath").toString(), path);
        QCOMPARE(s.view.transform(), before);
        QCOMPARE(s.view.property("pixmap").value<QPixmap>().size(), QSize(400, 300));
    }
}

void tst_ImageMapView::clearKeepsRectangle()
{
    Shown s(QRectF(30.0, 60.0, 0.4, -0.3), false);
    const QTransform before = s.view.transform();
    s.view.clear();
    QVERIFY(s.view.property("pixmap").value<QPixmap>().isNull());
    QVERIFY(s.view.property("imagePath").toString().isEmpty());
    QCOMPARE(s.view.property("geoRect").toRectF(), QRectF(30.0, 60.0, 0.4, -0.3));
    QCOMPARE(s.view.transform(), before);
    const QImage shown = s.view.viewport()->grab().toImage();
    for (const QColor &q : Quadrants)
        QVERIFY(shown.pixelColor(160, 120) != q);
}

void tst_ImageMapView::latitudes_data()
{
    QTest::addColumn<QRectF>("geo"); // null: no rectangle, the image's pixels
    QTest::addColumn<bool>("mercatorOn");
    QTest::addColumn<bool>("corrected");
    QTest::newRow("pixel rectangle, correction off") << QRectF() << false << false;
    QTest::newRow("pixel rectangle, correction on") << QRectF() << true << false;
    QTest::newRow("ends at 80") << QRectF(10, 80, 20, -20) << true << true;
    QTest::newRow("ends at 86") << QRectF(10, 86, 20, -16) << true << true;
    QTest::newRow("ends at 89.9") << QRectF(10, 89.9, 20, -19.9) << true << true;
    QTest::newRow("ends at the pole") << QRectF(10, 90, 20, -20) << true << true;
    QTest::newRow("wholly past a pole") << QRectF(10, -95, 20, -10) << true << false;
}

void tst_ImageMapView::latitudes()
{
    QFETCH(QRectF, geo);
    QFETCH(bool, mercatorOn);
    QFETCH(bool, corrected);
    QGraphicsScene scene;
    ImageMapView view;
    view.setScene(&scene);
    view.setFrameShape(QFrame::NoFrame);
    view.setBackgroundOpacity(1.0);
    view.resize(320, 240);
    view.setProperty("merkatorProjection", mercatorOn);
    QPixmap image = selfNamingImage();
    view.setProperty("pixmap", image);
    if (!geo.isNull())
        view.setProperty("geoRect", geo);
    const QRectF r = view.property("geoRect").toRectF();
    scene.setSceneRect(r.normalized());
    view.centerOn(r.center());
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    const QImage shown = view.viewport()->grab().toImage();
    const QTransform toScene = view.viewportTransform().inverted();
    const double sy = 300 / r.height();
    const QPointF mid = view.mapToScene(view.viewport()->rect().center());
    const double shift = corrected ? mercatorRow(mid.y(), r) - (mid.y() - r.top()) * sy : 0.0;
    int checked = 0;
    for (int y = 2; y < shown.height(); y += 9) {
        for (int x = 2; x < shown.width(); x += 9) {
            const QPointF p = toScene.map(QPointF(x + 0.5, y + 0.5));
            const QPointF expected((p.x() - r.left()) * 400 / r.width() + 1,
                                   (p.y() - r.top()) * sy + 1 + shift);
            if (expected.x() < 1 || expected.y() < 1 || expected.x() > 398 || expected.y() > 298)
                continue;
            const QPoint got = imagePixelOf(shown.pixel(x, y));
            QVERIFY2(qAbs(got.x() - expected.x()) < 1.05 && qAbs(got.y() - expected.y()) < 2.05,
                     qPrintable(QStringLiteral("(%1, %2) shows image pixel (%3, %4), not (%5, %6)")
                                    .arg(x).arg(y).arg(got.x()).arg(got.y())
                                    .arg(expected.x()).arg(expected.y())));
            ++checked;
        }
    }
    QVERIFY(checked > 100);
}

void tst_ImageMapView::boundedFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QSize>("loaded"); // empty: refused, the view stays as it was
    auto encoded = [](QSize size, const char *format) {
        QImage image(size, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        QByteArray out;
        QBuffer buffer(&out);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, format);
        return out;
    };
    QTest::newRow("png") << encoded(QSize(40, 30), "PNG") << QSize(40, 30);
    QTest::newRow("bmp") << encoded(QSize(40, 30), "BMP") << QSize(40, 30);
    QTest::newRow("jpeg") << encoded(QSize(40, 30), "JPEG") << QSize(40, 30);
    QTest::newRow("gif") << gifDeclaring(2) << QSize(2, 2);
    QTest::newRow("png as wide as allowed") << encoded(QSize(16384, 1), "PNG") << QSize(16384, 1);
    QTest::newRow("png one pixel too wide") << encoded(QSize(16385, 1), "PNG") << QSize();
    QTest::newRow("gif claiming a gigabyte") << gifDeclaring(15400) << QSize();
    QTest::newRow("not an image") << QByteArray("not a picture") << QSize();
}

void tst_ImageMapView::boundedFiles()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QSize, loaded);
    QTemporaryDir tmp;
    const QString before = tmp.filePath(QStringLiteral("before.png"));
    QVERIFY(quadrantImage().save(before));
    const QString path = tmp.filePath(QStringLiteral("named"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    ImageMapView view;
    view.setImagePath(before);
    view.setImagePath(path);
    const QSize expected = loaded.isEmpty() ? QSize(400, 300) : loaded;
    QCOMPARE(view.property("pixmap").value<QPixmap>().size(), expected);
    QCOMPARE(view.property("imagePath").toString(), loaded.isEmpty() ? before : path);
}

QTEST_MAIN(tst_ImageMapView)
#include "tst_imagemapview.moc"

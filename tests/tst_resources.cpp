// The compiled-in icons that hosts may use, registered by the library's own start-up:
// nothing of the library is called here. The template database is proved by the tests
// of the tile stores, which create their databases from it.
#include <QtGui/QImage>
#include <QtTest/QtTest>

class tst_Resources : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void arrowIcons();
};

void tst_Resources::arrowIcons()
{
    // Two green 16 x 16 icons on a transparent ground, mirror images of each other.
    auto icon = [](const char *path) {
        return QImage(QLatin1String(path)).convertToFormat(QImage::Format_ARGB32);
    };
    const QImage left = icon(":/images/left-16.png");
    QCOMPARE(left.size(), QSize(16, 16));
    QCOMPARE(left.pixelColor(0, 0).alpha(), 0);
    QCOMPARE(left.mirrored(true, false), icon(":/images/right-16.png"));
    QVERIFY(left != icon(":/images/right-16.png"));
    const QColor ink = left.pixelColor(8, 3);
    QVERIFY(ink.alpha() > 128 && ink.green() > ink.red() && ink.green() > ink.blue());
}

QTEST_APPLESS_MAIN(tst_Resources)
#include "tst_resources.moc"

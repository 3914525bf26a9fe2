// A form with all three widgets, built by QUiLoader from the plug-in it finds in a
// designer/ folder under a library path of the test's own.
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>
#include <QtUiTools/QUiLoader>
#include <QtWidgets/QGraphicsView>

#include "QuietPlatform.h"

class tst_UiLoader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void buildsFormWithAllThree();

private:
    QTemporaryDir plugins;
};

void tst_UiLoader::initTestCase()
{
    QuietPlatform::install();
    QVERIFY(QDir(plugins.path()).mkpath(QStringLiteral("designer")));
    QVERIFY(QFile::link(QStringLiteral(VELTRA_LIBRARY_FILE),
                        plugins.filePath(QStringLiteral("designer/libqt5VeltraWidgets2.so"))));
    QCoreApplication::addLibraryPath(plugins.path());
}

void tst_UiLoader::buildsFormWithAllThree()
{
    QUiLoader loader;
    const QStringList available = loader.availableWidgets();
    for (const char *name : {"OsmView", "ImageMapView", "CrossView"})
        QVERIFY2(available.contains(QLatin1String(name)), name);

    QFile form(QStringLiteral(VELTRA_FORMS_DIR "/ThreeWidgets.ui"));
    QVERIFY(form.open(QIODevice::ReadOnly));
    std::unique_ptr<QWidget> widget(loader.load(&form));
    QVERIFY2(widget, qPrintable(loader.errorString()));

    QObject *osm = widget->findChild<QObject *>(QStringLiteral("osmView"));
    QObject *image = widget->findChild<QObject *>(QStringLiteral("imageMapView"));
    QObject *cross = widget->findChild<QObject *>(QStringLiteral("crossView"));
    QVERIFY(osm && image && cross);
    QCOMPARE(osm->metaObject()->className(), "OsmView");
    QCOMPARE(image->metaObject()->className(), "ImageMapView");
    QCOMPARE(cross->metaObject()->className(), "CrossView");
    QVERIFY(qobject_cast<QGraphicsView *>(osm));

    QCOMPARE(osm->property("zoomMax").toInt(), 15);
    QCOMPARE(osm->property("opacity").toDouble(), 0.8);
    QCOMPARE(osm->property("enableRightPane").toBool(), true);
    QCOMPARE(image->property("backgroundOpacity").toDouble(), 0.25);
    QCOMPARE(image->property("merkatorProjection").toBool(), false);
    QCOMPARE(qobject_cast<QWidget *>(cross)->minimumSize(), QSize(150, 150));

    widget->show();
    QVERIFY(QTest::qWaitForWindowExposed(widget.get()));
}

QTEST_MAIN(tst_UiLoader)
#include "tst_uiloader.moc"

// A host that builds its forms at run time: QUiLoader finds the plug-in in a designer/
// folder of the test's own, and the host's resources were registered before the
// plug-in was loaded.
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
    void templateNotShadowedByHost();

private:
    QTemporaryDir plugins;
    std::unique_ptr<QUiLoader> loader;
};

void tst_UiLoader::initTestCase()
{
    QuietPlatform::install();
    QVERIFY(QDir(plugins.path()).mkpath(QStringLiteral("designer")));
    QVERIFY(QFile::link(QStringLiteral(VELTRA_LIBRARY_FILE),
                        plugins.filePath(QStringLiteral("designer/libqt5VeltraWidgets2.so"))));
    // QUiLoader loads every plug-in under every library path when it is created. Only
    // ours: the machine's own Designer plug-ins, and the complaining one built beside
    // this test, stay out. The rest of the process keeps its paths (SQL drivers).
    const QStringList paths = QCoreApplication::libraryPaths();
    QCoreApplication::setLibraryPaths({plugins.path()});
    loader = std::make_unique<QUiLoader>();
    QCoreApplication::setLibraryPaths(paths);
}

void tst_UiLoader::buildsFormWithAllThree()
{
    QFile form(QStringLiteral(VELTRA_FORMS_DIR "/ThreeWidgets.ui"));
    QVERIFY(form.open(QIODevice::ReadOnly));
    std::unique_ptr<QWidget> widget(loader->load(&form));
    QVERIFY2(widget, qPrintable(loader->errorString()));

    QObject *osm = widget->findChild<QGraphicsView *>(QStringLiteral("osmView"));
    QObject *image = widget->findChild<QGraphicsView *>(QStringLiteral("imageMapView"));
    QWidget *cross = widget->findChild<QWidget *>(QStringLiteral("crossView"));
    QVERIFY(osm && image && cross);
    QCOMPARE((QStringList{osm->metaObject()->className(), image->metaObject()->className(),
                          cross->metaObject()->className()}),
             (QStringList{"OsmView", "ImageMapView", "CrossView"}));

    // The form's properties reach the widgets; each differs from the widget's default.
    QCOMPARE(osm->property("zoomMax").toInt(), 15);
    QCOMPARE(osm->property("opacity").toDouble(), 0.8);
    QCOMPARE(osm->property("enableRightPane").toBool(), true);
    QCOMPARE(image->property("backgroundOpacity").toDouble(), 0.25);
    QCOMPARE(image->property("merkatorProjection").toBool(), false);
}

void tst_UiLoader::templateNotShadowedByHost()
{
    // forms/host.qrc put a file of this host at the library's template path first.
    QFile shadow(QStringLiteral(":/db/dbtemplate.sqlitedb"));
    QVERIFY(shadow.open(QIODevice::ReadOnly));
    QVERIFY(!shadow.readAll().startsWith("SQLite"));

    std::unique_ptr<QWidget> view(loader->createWidget(QStringLiteral("OsmView")));
    QVERIFY(view);
    QTemporaryDir tmp;
    const QString path = tmp.filePath(QStringLiteral("new.sqlitedb"));
    QVERIFY(view->setProperty("imagePath", path));
    QFile created(path);
    QVERIFY(created.open(QIODevice::ReadOnly));
    QCOMPARE(created.read(16), QByteArray("SQLite format 3\0", 16));
}

QTEST_MAIN(tst_UiLoader)
#include "tst_uiloader.moc"

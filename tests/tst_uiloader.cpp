// A host that builds its forms at run time: QUiLoader finds the plug-in in a designer/
// folder of the test's own, and the host's resources were registered before the
// plug-in was loaded.
#include <QtTest/QtTest>
#include <QtUiTools/QUiLoader>
#include <QtWidgets/QWidget>

#include "QuietPlatform.h"

class tst_UiLoader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void buildsFormWithAllThree();
};

void tst_UiLoader::buildsFormWithAllThree()
{
    QuietPlatform::install();
    QTemporaryDir plugins;
    QVERIFY(QDir(plugins.path()).mkpath(QStringLiteral("designer")));
    QVERIFY(QFile::link(QStringLiteral(VELTRA_LIBRARY_FILE),
                        plugins.filePath(QStringLiteral("designer/" VELTRA_PLUGIN_FILE_NAME))));
    // QUiLoader loads every plug-in under every library path when it is created. Only
    // ours: the machine's own Designer plug-ins, and the complaining one built beside
    // this test, stay out. The rest of the process keeps its paths (SQL drivers).
    const QStringList paths = QCoreApplication::libraryPaths();
    QCoreApplication::setLibraryPaths({plugins.path()});
    QUiLoader loader;
    QCoreApplication::setLibraryPaths(paths);

    QFile form(QStringLiteral(VELTRA_FORMS_DIR "/ThreeWidgets.ui"));
    QVERIFY(form.open(QIODevice::ReadOnly));
    std::unique_ptr<QWidget> widget(loader.load(&form));
    QVERIFY2(widget, qPrintable(loader.errorString()));
    QWidget *osm = widget->findChild<QWidget *>("osmView");
    QWidget *image = widget->findChild<QWidget *>("imageMapView");
    QWidget *cross = widget->findChild<QWidget *>("crossView");
    QVERIFY(osm && osm->inherits("OsmView") && image && image->inherits("ImageMapView") && cross
            && cross->inherits("CrossView"));
    // The form's properties reach the widgets; each differs from the widget's default.
    QCOMPARE((QVariantList{osm->property("zoomMax"), osm->property("opacity"),
                           osm->property("enableRightPane"), image->property("backgroundOpacity"),
                           image->property("merkatorProjection")}),
             (QVariantList{15, 0.8, true, 0.25, false}));

    // forms/host.qrc put a file of this host at the library's template path first; the
    // view still makes its new database from the library's own template.
    QFile shadow(QStringLiteral(":/db/dbtemplate.sqlitedb"));
    QVERIFY(shadow.open(QIODevice::ReadOnly) && !shadow.readAll().startsWith("SQLite"));
    QTemporaryDir tmp;
    QVERIFY(osm->setProperty("imagePath", tmp.filePath(QStringLiteral("new.sqlitedb"))));
    QFile created(tmp.filePath(QStringLiteral("new.sqlitedb")));
    QVERIFY(created.open(QIODevice::ReadOnly));
    QCOMPARE(created.read(16), QByteArray("SQLite format 3\0", 16));
}

QTEST_MAIN(tst_UiLoader)
#include "tst_uiloader.moc"

// The library as Qt's plug-in loader and Qt Designer see it: loaded from its file,
// never linked. Its resources, the icons that hosts may use, come with it.
#include "RowTable.h"

#include <QtCore/QPluginLoader>
#include <QtGui/QImage>
#include <QtTest/QtTest>
#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>

namespace {

// Widgets are made through the plug-in by tst_uiloader, which checks their classes.
const struct { const char *name, *objectName; } pluginRows[] = {
    {"OsmView", "osmView"},
    {"ImageMapView", "imageMapView"},
    {"CrossView", "crossView"},
};

} // namespace

class tst_Plugin : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void iconsComeWithTheModule();
    void plugins_data() { addRows(pluginRows); }
    void plugins();
};

void tst_Plugin::iconsComeWithTheModule()
{
    QVERIFY(!QFile::exists(QStringLiteral(":/images/left-16.png")));
    QPluginLoader loader(QStringLiteral(VELTRA_LIBRARY_FILE));
    QVERIFY2(loader.load(), qPrintable(loader.errorString()));
    // Two 16 x 16 icons, mirror images of each other.
    const QImage left = QImage(":/images/left-16.png").convertToFormat(QImage::Format_ARGB32);
    const QImage right = QImage(":/images/right-16.png").convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(left.size(), QSize(16, 16));
    QVERIFY(left != right && left.mirrored(true, false) == right);
}

void tst_Plugin::plugins()
{
    QFETCH(int, row);
    const QString name = QLatin1String(pluginRows[row].name);
    QPluginLoader loader(QStringLiteral(VELTRA_LIBRARY_FILE));
    auto *collection = qobject_cast<QDesignerCustomWidgetCollectionInterface *>(loader.instance());
    QVERIFY2(collection, qPrintable(loader.errorString()));
    QCOMPARE(loader.instance()->property("moduleVersion").toString(), QStringLiteral(VELTRA_VERSION));
    QCOMPARE(collection->customWidgets().size(), 3);
    QDesignerCustomWidgetInterface *p = collection->customWidgets().at(row);
    QCOMPARE(p->name(), name);
    auto *object = dynamic_cast<QObject *>(p); // dies with the collection
    QVERIFY(object && object->parent() == loader.instance());
    QCOMPARE(p->group(), QStringLiteral("Veltra Widgets"));
    QCOMPARE(p->domXml(), QStringLiteral("<widget class=\"%1\" name=\"%2\">\n</widget>\n")
                              .arg(name, QLatin1String(pluginRows[row].objectName)));
    QVERIFY(!p->isContainer());
    // uic writes this include into the host's code: it must be a public header.
    QVERIFY(QFile::exists(QStringLiteral(VELTRA_INCLUDE_DIR "/") + p->includeFile()));

    QVERIFY(!p->isInitialized());
    p->initialize(nullptr);
    p->initialize(nullptr);
    QVERIFY(p->isInitialized());
}

QTEST_MAIN(tst_Plugin)
#include "tst_plugin.moc"

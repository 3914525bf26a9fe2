// The library as Qt's plug-in loader and Qt Designer see it: loaded from its file,
// never linked. Its resources, the icons that hosts may use, come with it.
#include "RowTable.h"

#include <QtCore/QPluginLoader>
#include <QtGui/QImage>
#include <QtTest/QtTest>
#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#include <QtWidgets/QWidget>

#include <memory>

namespace {

// Widgets are made through the plug-in by tst_uiloader, which checks their classes.
// clang-format off
const struct { const char *name, *objectName; } pluginRows[] = {
    {"OsmView", "osmView"},
    {"ImageMapView", "imageMapView"},
    {"CrossView", "crossView"},
};
// clang-format on

// The class's own part of its meta-object, as Designer's property editor and a host's
// string-based connections see it: properties with their flags, then the methods in
// order. Both builds must give these lines.
QStringList metaObjectLines(const QMetaObject *mo)
{
    QStringList lines{QLatin1String(mo->className())};
    for (int i = mo->propertyOffset(); i < mo->propertyCount(); ++i) {
        const QMetaProperty p = mo->property(i);
        lines << QStringLiteral("property %1 %2 %3%4%5%6%7")
                     .arg(QLatin1String(p.typeName()), QLatin1String(p.name()),
                          QLatin1String(p.isWritable() ? "w" : "-"),
                          QLatin1String(p.isDesignable() ? "d" : "-"),
                          QLatin1String(p.isScriptable() ? "s" : "-"),
                          QLatin1String(p.isStored() ? "s" : "-"),
                          QLatin1String(p.hasNotifySignal() ? "n" : "-"));
    }
    static const char *const kinds[] = {"method", "signal", "slot", "constructor"};
    static const char *const access[] = {"private", "protected", "public"};
    for (int i = mo->methodOffset(); i < mo->methodCount(); ++i) {
        const QMetaMethod m = mo->method(i);
        lines << QStringLiteral("%1 %2 %3 %4")
                     .arg(QLatin1String(access[m.access()]), QLatin1String(kinds[m.methodType()]),
                          QLatin1String(m.typeName()), QLatin1String(m.methodSignature()));
    }
    return lines;
}

// clang-format off
const struct { const char *name; const char *lines; } metaObjectRows[] = {
    {"OsmView",
     "OsmView\n"
     "property int zoom wdss-\n"
     "property int zoomMax wdss-\n"
     "property int zoomMin wdss-\n"
     "property double zoomF wdss-\n"
     "property QString imagePath wdss-\n"
     "property double opacity wdss-\n"
     "property QObject* operationWidget -dss-\n"
     "property QString tileServerUrl wdss-\n"
     "property bool enableTileDownload wdss-\n"
     "property bool enableRightPane wdss-\n"
     "property bool dumpServerExchange wdss-\n"
     "property bool prefetch wdss-\n"
     "property QString userAgent wdss-\n"
     "property int maxTileAge wdss-\n"
     "public signal void mouseMove(QPointF)\n"
     "public signal void mousePress(QPointF)\n"
     "public signal void mouseRelease(QPointF)\n"
     "public signal void zoomChanged(double)\n"
     "public signal void zoomChanged(int)\n"
     "public signal void mouseReleased(int,QPointF)\n"
     "public signal void keyPressed(int,int)\n"
     "public signal void keyReleased(int,int)\n"
     "public slot void fitItem(QGraphicsItem*)\n"
     "public slot void fitRect(QRectF)\n"
     "public slot void fitInViewZ(QRectF,int)\n"
     "public slot void setZoom(int)\n"
     "public slot void setZoom(double)\n"
     "public slot void setImagePath(QString)\n"
     "public slot void setOpacity(double)\n"
     "public slot void tileServerReply(QNetworkReply*)\n"
     "public slot void loadPreset(double,double,double)\n"
     "public slot void setCenter(QPointF)"},
    {"ImageMapView",
     "ImageMapView\n"
     "property QPixmap pixmap wdss-\n"
     "property QString imagePath wdss-\n"
     "property QRectF geoRect wdss-\n"
     "property QString binding wdss-\n"
     "property double zoom wdss-\n"
     "property double backgroundOpacity wdss-\n"
     "property bool merkatorProjection wdss-\n"
     "public signal void mouseMove(QPointF)\n"
     "public signal void zoomChanged(double)\n"
     "public signal void zoomChanged(int)\n"
     "public slot void setZoom(int)\n"
     "public slot void setZoom(double)\n"
     "public slot void setImagePath(QString)\n"
     "public slot void setBackgroundOpacity(double)\n"
     "public method void clear()"},
    {"CrossView",
     "CrossView\n"
     "property QObject* light -dss-\n"
     "public method void setLight(QObject*)\n"
     "public method void previewPhase(int)\n"
     "public method void showPreviewButtons(bool)"},
};
// clang-format on

} // namespace

class tst_Plugin : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void iconsComeWithTheModule();
    void plugins_data() { addRows(pluginRows); }
    void plugins();
    void metaObjects_data() { addRows(metaObjectRows); }
    void metaObjects();
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
    QCOMPARE(loader.instance()->property("moduleVersion").toString(),
             QStringLiteral(VELTRA_VERSION));
    QCOMPARE(collection->customWidgets().size(), 3);
    QDesignerCustomWidgetInterface *p = collection->customWidgets().at(row);
    QCOMPARE(p->name(), name);
    auto *object = dynamic_cast<QObject *>(p); // dies with the collection
    QVERIFY(object && object->parent() == loader.instance());
    QCOMPARE(p->group(), QStringLiteral("Veltra Widgets"));
    QCOMPARE(p->domXml(),
             QStringLiteral("<widget class=\"%1\" name=\"%2\">\n</widget>\n")
                 .arg(name, QLatin1String(pluginRows[row].objectName)));
    QVERIFY(!p->isContainer());
    // uic writes this include into the host's code: it must be a public header.
    QVERIFY(QFile::exists(QStringLiteral(VELTRA_INCLUDE_DIR "/") + p->includeFile()));

    QVERIFY(!p->isInitialized());
    p->initialize(nullptr);
    p->initialize(nullptr);
    QVERIFY(p->isInitialized());
}

void tst_Plugin::metaObjects()
{
    QFETCH(int, row);
    QPluginLoader loader(QStringLiteral(VELTRA_LIBRARY_FILE));
    auto *collection = qobject_cast<QDesignerCustomWidgetCollectionInterface *>(loader.instance());
    QVERIFY2(collection, qPrintable(loader.errorString()));
    QCOMPARE(metaObjectLines(loader.instance()->metaObject()),
             (QStringList{"VeltraWidgets", "property QString moduleVersion -dss-"}));
    std::unique_ptr<QWidget> widget(collection->customWidgets().at(row)->createWidget(nullptr));
    QCOMPARE(metaObjectLines(widget->metaObject()).join(QLatin1Char('\n')),
             QLatin1String(metaObjectRows[row].lines));
}

QTEST_MAIN(tst_Plugin)
#include "tst_plugin.moc"

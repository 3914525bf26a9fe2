// The library as Qt's plug-in loader and Qt Designer see it: loaded from its file,
// found through its metadata, never linked.
#include <QtCore/QJsonObject>
#include <QtCore/QLibrary>
#include <QtCore/QPluginLoader>
#include <QtTest/QtTest>
#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#include <QtWidgets/QWidget>

class tst_Plugin : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void metadata();
    void oneInstanceUntilDeleted();
    void collection();
    void plugins_data();
    void plugins();
    void initializeOnce();
    void moduleVersionReadOnly();

private:
    QDesignerCustomWidgetCollectionInterface *collectionOf(QObject *instance)
    {
        return qobject_cast<QDesignerCustomWidgetCollectionInterface *>(instance);
    }
    QPluginLoader loader{QStringLiteral(VELTRA_LIBRARY_FILE)};
};

void tst_Plugin::metadata()
{
    const QJsonObject meta = loader.metaData();
    QVERIFY2(!meta.isEmpty(), qPrintable(loader.errorString()));
    QCOMPARE(meta.value(QStringLiteral("className")).toString(), QStringLiteral("VeltraWidgets"));
    const QString iid = meta.value(QStringLiteral("IID")).toString();
    QVERIFY(iid.endsWith(QLatin1String(".VeltraWidgets")));
    QVERIFY(iid.count(QLatin1Char('.')) >= 2);
    const int version = meta.value(QStringLiteral("version")).toInt();
    QCOMPARE(version >> 16, 5);
    QCOMPARE((version >> 8) & 0xff, 15);
    QCOMPARE(meta.value(QStringLiteral("debug")).toBool(), false);
    QVERIFY(meta.value(QStringLiteral("MetaData")).toObject().isEmpty());
}

void tst_Plugin::oneInstanceUntilDeleted()
{
    QLibrary library(QStringLiteral(VELTRA_LIBRARY_FILE));
    using Instance = QObject *(*)();
    auto instance = reinterpret_cast<Instance>(library.resolve("qt_plugin_instance"));
    QVERIFY2(instance, qPrintable(library.errorString()));
    QVERIFY(library.resolve("qt_plugin_query_metadata"));
    QObject *first = instance();
    QVERIFY(first);
    QCOMPARE(first->metaObject()->className(), "VeltraWidgets");
    QCOMPARE(instance(), first);
    QPointer<QObject> guard(first);
    delete first;
    QVERIFY(guard.isNull());
    QObject *second = instance();
    QVERIFY(second);
    QCOMPARE(instance(), second);
    // The loader hands out the same kind of object.
    QVERIFY(collectionOf(loader.instance()));
}

void tst_Plugin::collection()
{
    auto *widgets = collectionOf(loader.instance());
    QVERIFY(widgets);
    const auto list = widgets->customWidgets();
    QCOMPARE(list.size(), 3);
    QCOMPARE(list.at(0)->name(), QStringLiteral("OsmView"));
    QCOMPARE(list.at(1)->name(), QStringLiteral("ImageMapView"));
    QCOMPARE(list.at(2)->name(), QStringLiteral("CrossView"));
    for (QDesignerCustomWidgetInterface *p : list) {
        auto *object = dynamic_cast<QObject *>(p);
        QVERIFY(object);
        QCOMPARE(object->parent(), loader.instance());
        QCOMPARE(QString::fromLatin1(object->metaObject()->className()), p->name() + QStringLiteral("Plugin"));
    }
}

void tst_Plugin::plugins_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("header");
    QTest::addColumn<QString>("xml");
    QTest::addColumn<QByteArray>("widgetClass");
    QTest::newRow("OsmView") << 0 << "OsmView.h"
                             << "<widget class=\"OsmView\" name=\"osmView\">\n</widget>\n"
                             << QByteArray("OsmView");
    QTest::newRow("ImageMapView") << 1 << "ImageMapView.h"
                                  << "<widget class=\"ImageMapView\" name=\"imageMapView\">\n</widget>\n"
                                  << QByteArray("ImageMapView");
    QTest::newRow("CrossView") << 2 << "CrossView.h"
                               << "<widget class=\"CrossView\" name=\"crossView\">\n</widget>\n"
                               << QByteArray("CrossView");
}

void tst_Plugin::plugins()
{
    QFETCH(int, index);
    QFETCH(QString, header);
    QFETCH(QString, xml);
    QFETCH(QByteArray, widgetClass);
    QDesignerCustomWidgetInterface *p = collectionOf(loader.instance())->customWidgets().at(index);
    QCOMPARE(p->group(), QStringLiteral("Veltra Widgets"));
    QVERIFY(p->toolTip().isEmpty());
    QVERIFY(p->whatsThis().isEmpty());
    QVERIFY(p->icon().isNull());
    QVERIFY(!p->isContainer());
    QCOMPARE(p->includeFile(), header);
    QCOMPARE(p->domXml(), xml);
    QVERIFY(p->codeTemplate().isEmpty());
    QWidget parent;
    QWidget *w = p->createWidget(&parent);
    QVERIFY(w);
    QCOMPARE(w->parentWidget(), &parent);
    QCOMPARE(QByteArray(w->metaObject()->className()), widgetClass);
}

void tst_Plugin::initializeOnce()
{
    for (QDesignerCustomWidgetInterface *p : collectionOf(loader.instance())->customWidgets()) {
        QVERIFY(!p->isInitialized());
        p->initialize(nullptr);
        QVERIFY(p->isInitialized());
        p->initialize(nullptr);
        QVERIFY(p->isInitialized());
    }
}

void tst_Plugin::moduleVersionReadOnly()
{
    QObject *widgets = loader.instance();
    QCOMPARE(widgets->property("moduleVersion").toString(), QStringLiteral("2.3.53"));
    QVERIFY(!widgets->setProperty("moduleVersion", QStringLiteral("9.9.9")));
    QCOMPARE(widgets->property("moduleVersion").toString(), QStringLiteral("2.3.53"));
    const QMetaProperty p = widgets->metaObject()->property(
        widgets->metaObject()->indexOfProperty("moduleVersion"));
    QVERIFY(!p.isWritable() && p.isDesignable() && p.isScriptable() && p.isStored());
}

QTEST_MAIN(tst_Plugin)
#include "tst_plugin.moc"

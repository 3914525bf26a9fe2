// The library as Qt's plug-in loader and Qt Designer see it: loaded from its file,
// never linked.
#include <QtCore/QLibrary>
#include <QtCore/QPluginLoader>
#include <QtTest/QtTest>
#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>
#include <QtWidgets/QWidget>

class tst_Plugin : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void oneInstanceUntilDeleted();
    void plugins_data();
    void plugins();
    void moduleVersionReadOnly();

private:
    QPluginLoader loader{QStringLiteral(VELTRA_LIBRARY_FILE)};
};

void tst_Plugin::oneInstanceUntilDeleted()
{
    QLibrary library(QStringLiteral(VELTRA_LIBRARY_FILE));
    using Instance = QObject *(*)();
    auto instance = reinterpret_cast<Instance>(library.resolve("qt_plugin_instance"));
    QVERIFY2(instance, qPrintable(library.errorString()));
    QObject *first = instance();
    QVERIFY(first && instance() == first);
    delete first;
    QObject *second = instance();
    QVERIFY(second && instance() == second);
    QCOMPARE(loader.instance(), second);
}

void tst_Plugin::plugins_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("objectName");
    QTest::newRow("OsmView") << 0 << "osmView";
    QTest::newRow("ImageMapView") << 1 << "imageMapView";
    QTest::newRow("CrossView") << 2 << "crossView";
}

void tst_Plugin::plugins()
{
    QFETCH(int, index);
    QFETCH(QString, objectName);
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    auto *collection = qobject_cast<QDesignerCustomWidgetCollectionInterface *>(loader.instance());
    QVERIFY2(collection, qPrintable(loader.errorString()));
    QCOMPARE(collection->customWidgets().size(), 3);
    QDesignerCustomWidgetInterface *p = collection->customWidgets().at(index);
    QCOMPARE(p->name(), name);
    auto *object = dynamic_cast<QObject *>(p); // dies with the collection
    QVERIFY(object && object->parent() == loader.instance());
    QCOMPARE(p->group(), QStringLiteral("Veltra Widgets"));
    QCOMPARE(
        p->domXml(),
        QStringLiteral("<widget class=\"%1\" name=\"%2\">\n</widget>\n").arg(name, objectName));
    QVERIFY(!p->isContainer());
    // uic writes this include into the host's code: it must be a public header.
    QVERIFY(QFile::exists(QStringLiteral(VELTRA_INCLUDE_DIR "/") + p->includeFile()));

    QWidget parent;
    QWidget *w = p->createWidget(&parent);
    QVERIFY(w && w->parentWidget() == &parent);
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), name);

    QVERIFY(!p->isInitialized());
    p->initialize(nullptr);
    p->initialize(nullptr);
    QVERIFY(p->isInitialized());
}

void tst_Plugin::moduleVersionReadOnly()
{
    QObject *collection = loader.instance();
    QCOMPARE(collection->property("moduleVersion").toString(), QStringLiteral(VELTRA_VERSION));
    QVERIFY(!collection->setProperty("moduleVersion", QStringLiteral("9.9.9")));
}

QTEST_MAIN(tst_Plugin)
#include "tst_plugin.moc"

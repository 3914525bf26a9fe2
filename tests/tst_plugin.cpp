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
    void collection();
    void plugins_data();
    void plugins();
    void moduleVersionReadOnly();

private:
    QList<QDesignerCustomWidgetInterface *> widgets()
    {
        auto *c = qobject_cast<QDesignerCustomWidgetCollectionInterface *>(loader.instance());
        return c ? c->customWidgets() : QList<QDesignerCustomWidgetInterface *>();
    }
    QPluginLoader loader{QStringLiteral(VELTRA_LIBRARY_FILE)};
};

void tst_Plugin::oneInstanceUntilDeleted()
{
    QLibrary library(QStringLiteral(VELTRA_LIBRARY_FILE));
    using Instance = QObject *(*)();
    auto instance = reinterpret_cast<Instance>(library.resolve("qt_plugin_instance"));
    QVERIFY2(instance, qPrintable(library.errorString()));
    QObject *first = instance();
    QVERIFY(first);
    QCOMPARE(instance(), first);
    delete first;
    QObject *second = instance();
    QVERIFY(second);
    QCOMPARE(instance(), second);
    QCOMPARE(loader.instance(), second);
}

void tst_Plugin::collection()
{
    QStringList names;
    for (QDesignerCustomWidgetInterface *p : widgets()) {
        names << p->name();
        // The plug-ins die with the collection.
        auto *object = dynamic_cast<QObject *>(p);
        QVERIFY(object && object->parent() == loader.instance());
    }
    QCOMPARE(names, (QStringList{"OsmView", "ImageMapView", "CrossView"}));
}

void tst_Plugin::plugins_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("domXml");
    QTest::newRow("OsmView") << 0 << "<widget class=\"OsmView\" name=\"osmView\">\n</widget>\n";
    QTest::newRow("ImageMapView")
        << 1 << "<widget class=\"ImageMapView\" name=\"imageMapView\">\n</widget>\n";
    QTest::newRow("CrossView") << 2
                               << "<widget class=\"CrossView\" name=\"crossView\">\n</widget>\n";
}

void tst_Plugin::plugins()
{
    QFETCH(int, index);
    QFETCH(QString, domXml);
    const QString name = QString::fromLatin1(QTest::currentDataTag());
    QDesignerCustomWidgetInterface *p = widgets().value(index);
    QVERIFY(p);
    QCOMPARE(p->group(), QStringLiteral("Veltra Widgets"));
    QCOMPARE(p->domXml(), domXml);
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

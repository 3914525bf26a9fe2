#include "Kernel.h"
#include "MapLayer.h"
#include "MapScene.h"
#include "OsmOperationsWidget.h"
#include "OsmView.h"
#include "QuietPlatform.h"

#include <QtCore/QSettings>
#include <QtCore/QStandardPaths>
#include <QtTest/QtTest>
#include <QtWidgets/QAction>
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QRadioButton>
#include <QtWidgets/QSlider>

namespace {

QSlider *slider(OsmView &view, const char *name)
{
    return view.findChild<QSlider *>(QString::fromLatin1(name));
}

void addMap(OsmView &view, const QString &name, const QString &db, const QString &server)
{
    QMetaObject::invokeMethod(view.operationWidget(), "addMapLayer", Q_ARG(QString, name),
                              Q_ARG(QString, db), Q_ARG(QString, server));
}

QStringList boxTexts(OsmView &view)
{
    QStringList texts;
    for (QCheckBox *box : view.operationWidget()->findChildren<QCheckBox *>())
        texts << box->text();
    return texts;
}

QCheckBox *box(OsmView &view, const QString &text)
{
    for (QCheckBox *b : view.operationWidget()->findChildren<QCheckBox *>())
        if (b->text() == text)
            return b;
    return nullptr;
}

} // namespace

class tst_OperationsPane : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void form();
    void zoomSliderAndViewFollowEachOther();
    void sliderRangeWidens();
    void opacityInPercent();
    void smoothTogglesRenderHint();
    void enabledAndShowContent_data();
    void enabledAndShowContent();
    void threeMapsThenCombo();
    void imagePathBeforeServer();
    void clearLayersStartsOver();
    void layersFromKernelScene();
    void storedZValues();
    void firstMapNotSelectedAfterLayers();
    void hostFaultsWarn();

private:
    QTemporaryDir tmp;
};

void tst_OperationsPane::initTestCase()
{
    QuietPlatform::install();
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("veltra-tests"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_operationspane"));
    QSettings().clear();
}

void tst_OperationsPane::form()
{
    OsmView view;
    QObject *pane = view.operationWidget();
    QVERIFY(pane);
    QCOMPARE(pane->metaObject()->className(), "OsmOperationsWidget");
    QCOMPARE(pane->parent(), &view);
    QCOMPARE(pane->objectName(), QStringLiteral("OsmOperationsWidget"));
    for (const char *name : {"verticalLayout_2", "verticalLayout", "actionSmooth", "sldZoom", "sldOpacity"})
        QVERIFY2(pane->findChild<QObject *>(QString::fromLatin1(name)), name);
    // The sliders carry the view's state, not the form's defaults.
    QCOMPARE(slider(view, "sldZoom")->minimum(), 10);
    QCOMPARE(slider(view, "sldZoom")->maximum(), 17);
    QCOMPARE(slider(view, "sldZoom")->value(), 10);
    QCOMPARE(slider(view, "sldOpacity")->value(), 50);
    QVERIFY(!view.enableRightPane());
    // The pane's own "enabled" never disables its controls.
    QVERIFY(qobject_cast<QWidget *>(pane)->isEnabled());
}

void tst_OperationsPane::zoomSliderAndViewFollowEachOther()
{
    OsmView view;
    QSlider *zoom = slider(view, "sldZoom");
    QSignalSpy levels(&view, QOverload<int>::of(&OsmView::zoomChanged));
    zoom->setValue(13);
    QCOMPARE(view.zoomF(), 13 + 1.0 / 6);
    QCOMPARE(levels.count(), 1); // no echo back through the slider
    view.setZoom(15.5);
    QCOMPARE(zoom->value(), 15);
    // A request past the maximum lands on it, and the slider learns the level reached.
    zoom->setMaximum(18);
    zoom->setValue(18);
    QCOMPARE(view.zoomF(), 17 + 5.0 / 6);
    QCOMPARE(zoom->value(), 17);
}

void tst_OperationsPane::sliderRangeWidens()
{
    OsmView view;
    QSlider *zoom = slider(view, "sldZoom");
    zoom->setRange(12, 14);
    view.setZoom(16.2);
    QCOMPARE(zoom->maximum(), 16);
    QCOMPARE(zoom->value(), 16);
    view.setZoom(10.2);
    QCOMPARE(zoom->minimum(), 10);
    QCOMPARE(zoom->maximum(), 16); // never narrows by itself
}

void tst_OperationsPane::opacityInPercent()
{
    OsmView view;
    QSlider *opacity = slider(view, "sldOpacity");
    QCOMPARE(opacity->maximum(), 100);
    opacity->setValue(70);
    QCOMPARE(view.opacity(), 0.7);
    opacity->setValue(0);
    QCOMPARE(view.opacity(), 0.0);
    // Loading the view's state truncates rather than rounds.
    view.setOpacity(0.339);
    static_cast<OsmOperationsWidget *>(view.operationWidget())->syncControls();
    QCOMPARE(opacity->value(), 33);
}

void tst_OperationsPane::smoothTogglesRenderHint()
{
    OsmView view;
    auto *hostAction = new QAction(&view);
    hostAction->setObjectName(QStringLiteral("actionSmooth"));
    hostAction->setCheckable(true);
    auto *smooth = view.operationWidget()->findChild<QPushButton *>(QStringLiteral("actionSmooth"));
    QSignalSpy toggled(smooth, &QPushButton::toggled);
    QMetaObject::invokeMethod(view.operationWidget(), "setSmooth", Q_ARG(bool, true));
    QVERIFY(view.renderHints() & QPainter::SmoothPixmapTransform);
    QVERIFY(hostAction->isChecked());
    QMetaObject::invokeMethod(view.operationWidget(), "setSmooth", Q_ARG(bool, true));
    QCOMPARE(toggled.count(), 1);
    QTest::mouseClick(smooth, Qt::LeftButton);
    QVERIFY(!(view.renderHints() & QPainter::SmoothPixmapTransform));
    QVERIFY(!hostAction->isChecked());
    QCOMPARE(toggled.count(), 2);
}

void tst_OperationsPane::enabledAndShowContent_data()
{
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("show");
    QTest::addColumn<bool>("paneVisible");
    QTest::addColumn<bool>("tabVisible");
    QTest::newRow("disabled, closed") << false << false << false << false;
    QTest::newRow("disabled, shown by code") << false << true << true << false;
    QTest::newRow("enabled, closed") << true << false << false << true;
    QTest::newRow("enabled, shown") << true << true << true << true;
}

void tst_OperationsPane::enabledAndShowContent()
{
    QFETCH(bool, enabled);
    QFETCH(bool, show);
    QFETCH(bool, paneVisible);
    QFETCH(bool, tabVisible);
    OsmView view;
    view.resize(500, 400);
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    auto *pane = qobject_cast<QWidget *>(view.operationWidget());
    QPushButton *tab = nullptr;
    for (QPushButton *b : view.findChildren<QPushButton *>())
        if (b->parentWidget() == &view)
            tab = b;
    view.setEnableRightPane(enabled);
    QCOMPARE(view.enableRightPane(), enabled);
    QMetaObject::invokeMethod(pane, "showContent", Q_ARG(bool, show));
    QCOMPARE(pane->isVisible(), paneVisible);
    QCOMPARE(tab->isVisible(), tabVisible);

    // Disabling hides everything; enabling again restores an open pane.
    view.setEnableRightPane(true);
    view.setEnableRightPane(false);
    QVERIFY(!pane->isVisible() && !tab->isVisible());
    view.setEnableRightPane(true);
    QCOMPARE(pane->isVisible(), show);
    QVERIFY(tab->isVisible());
}

void tst_OperationsPane::threeMapsThenCombo()
{
    OsmView view;
    const QString a = tmp.filePath(QStringLiteral("a.sqlitedb"));
    const QString b = tmp.filePath(QStringLiteral("b.sqlitedb"));
    const QString c = tmp.filePath(QStringLiteral("c"));
    const QString d = tmp.filePath(QStringLiteral("d"));
    addMap(view, QStringLiteral("Day"), a, QStringLiteral("http://127.0.0.1:1/%1/%2/%3.png"));
    QCOMPARE(view.imagePath(), a); // the first map is loaded at once
    QCOMPARE(view.getTileServerUrl(), QStringLiteral("http://127.0.0.1:1/%1/%2/%3.png"));
    addMap(view, QStringLiteral("Night"), b, QString());
    addMap(view, QStringLiteral("Plain"), c, QString());
    QList<QRadioButton *> radios = view.operationWidget()->findChildren<QRadioButton *>();
    QCOMPARE(radios.size(), 3);
    QVERIFY(radios.at(0)->isChecked());
    QCOMPARE(view.imagePath(), a);
    QTest::mouseClick(radios.at(1), Qt::LeftButton);
    QCOMPARE(view.imagePath(), b);
    QVERIFY(view.getTileServerUrl().isEmpty());

    addMap(view, QStringLiteral("Fourth"), d, QStringLiteral("http://127.0.0.1:4/%1/%2/%3"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(view.operationWidget()->findChildren<QRadioButton *>().size(), 0);
    auto *combo = view.operationWidget()->findChild<QComboBox *>();
    QVERIFY(combo);
    QCOMPARE(combo->count(), 4);
    QCOMPARE(combo->itemText(0), QStringLiteral("Day"));
    QCOMPARE(combo->itemText(3), QStringLiteral("Fourth"));
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(view.imagePath(), b); // converting loads nothing
    combo->setCurrentIndex(3);
    QCOMPARE(view.imagePath(), d);
    QCOMPARE(view.getTileServerUrl(), QStringLiteral("http://127.0.0.1:4/%1/%2/%3"));
    combo->setCurrentIndex(0);
    QCOMPARE(view.imagePath(), a);
}

void tst_OperationsPane::imagePathBeforeServer()
{
    OsmView view;
    QStringList order;
    // setImagePath announces itself through the zoom nudge; the server comes after.
    connect(&view, QOverload<double>::of(&OsmView::zoomChanged), this, [&] {
        order << QStringLiteral("path:%1 server:%2").arg(view.imagePath(), view.getTileServerUrl());
    });
    addMap(view, QStringLiteral("One"), tmp.filePath(QStringLiteral("one")), QStringLiteral("s1"));
    addMap(view, QStringLiteral("Two"), tmp.filePath(QStringLiteral("two")), QStringLiteral("s2"));
    auto radios = view.operationWidget()->findChildren<QRadioButton *>();
    radios.at(1)->click();
    radios.at(1)->click(); // again, with nothing changed
    QCOMPARE(order,
             (QStringList{QStringLiteral("path:%1 server:").arg(tmp.filePath(QStringLiteral("one"))),
                          QStringLiteral("path:%1 server:s1").arg(tmp.filePath(QStringLiteral("two"))),
                          QStringLiteral("path:%1 server:s2").arg(tmp.filePath(QStringLiteral("two")))}));
}

void tst_OperationsPane::clearLayersStartsOver()
{
    OsmView view;
    for (int i = 0; i < 4; ++i)
        addMap(view, QStringLiteral("m%1").arg(i), tmp.filePath(QStringLiteral("m%1").arg(i)), QString());
    QMetaObject::invokeMethod(view.operationWidget(), "clearLayers");
    QVERIFY(!view.operationWidget()->findChild<QComboBox *>());
    addMap(view, QStringLiteral("again"), tmp.filePath(QStringLiteral("again")), QString());
    auto radios = view.operationWidget()->findChildren<QRadioButton *>();
    QCOMPARE(radios.size(), 1);
    QVERIFY(radios.first()->isChecked());
    QCOMPARE(view.imagePath(), tmp.filePath(QStringLiteral("again")));
}

void tst_OperationsPane::layersFromKernelScene()
{
    MapScene scene;
    auto *kernel = new Veltra::Kernel(&scene);
    OsmView view(&scene, nullptr);
    MapLayer *lights = scene.addLayer(QStringLiteral("Lights"));
    MapLayer *roads = scene.addLayer(QStringLiteral("Roads"));
    QCOMPARE(boxTexts(view), (QStringList{"Lights", "Roads"}));

    // Both ways: the box hides its layer, and the layer's own changes tick the box.
    box(view, QStringLiteral("Roads"))->setChecked(false);
    QVERIFY(!roads->isVisible());
    lights->setVisible(false);
    QVERIFY(!box(view, QStringLiteral("Lights"))->isChecked());
    roads->setVisible(true);
    QVERIFY(box(view, QStringLiteral("Roads"))->isChecked());

    QMetaObject::invokeMethod(view.operationWidget(), "updateLayers");
    QCOMPARE(boxTexts(view), (QStringList{"Lights", "Roads", "Lights", "Roads"}));

    delete lights;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(boxTexts(view), (QStringList{"Roads", "Roads"}));
    delete kernel;
}

void tst_OperationsPane::storedZValues()
{
    {
        QSettings settings;
        settings.beginGroup(QStringLiteral("Layers"));
        settings.setValue(QStringLiteral("Roads"), QVariantList{5.5, QStringLiteral("extra")});
        settings.setValue(QStringLiteral("Lights"), QVariantList{QStringLiteral("high")});
    }
    MapScene scene;
    auto *kernel = new Veltra::Kernel(&scene);
    OsmView view(&scene, nullptr);
    MapLayer *roads = scene.addLayer(QStringLiteral("Roads"), 1);
    MapLayer *lights = scene.addLayer(QStringLiteral("Lights"), 2);
    MapLayer *other = scene.addLayer(QStringLiteral("Detectors"), 3);
    QCOMPARE(roads->zValue(), 5.5);
    QCOMPARE(lights->zValue(), 2.0);
    QCOMPARE(other->zValue(), 3.0);
    delete kernel;
    QSettings().clear();
}

void tst_OperationsPane::firstMapNotSelectedAfterLayers()
{
    MapScene scene;
    auto *kernel = new Veltra::Kernel(&scene);
    OsmView view(&scene, nullptr);
    scene.addLayer(QStringLiteral("Lights"));
    addMap(view, QStringLiteral("Day"), tmp.filePath(QStringLiteral("day")), QString());
    QVERIFY(view.imagePath().isEmpty());
    QVERIFY(!view.operationWidget()->findChild<QRadioButton *>()->isChecked());
    delete kernel;
}

void tst_OperationsPane::hostFaultsWarn()
{
    {
        auto *kernel = new Veltra::Kernel(nullptr);
        QTest::ignoreMessage(QtWarningMsg, "OsmOperationsWidget::OsmOperationsWidget scene=null");
        OsmView view;
        delete kernel;
    }
    {
        // A scene without the host's methods.
        QGraphicsScene plain;
        OsmView view(&plain, nullptr);
        QTest::ignoreMessage(QtWarningMsg,
                             "OsmOperationsWidget::addLayer invokeMethod(scene->layer()) error");
        QMetaObject::invokeMethod(view.operationWidget(), "addLayer",
                                  Q_ARG(QString, QStringLiteral("Lights")));
        QTest::ignoreMessage(QtWarningMsg,
                             "OsmOperationsWidget::updateLayers invokeMethod(scene->layers()) error");
        QMetaObject::invokeMethod(view.operationWidget(), "updateLayers");
        QVERIFY(boxTexts(view).isEmpty());
    }
    {
        // No scene at all: nothing happens, and nothing is said.
        OsmView view;
        QMetaObject::invokeMethod(view.operationWidget(), "updateLayers");
        QVERIFY(boxTexts(view).isEmpty());
    }
}

QTEST_MAIN(tst_OperationsPane)
#include "tst_operationspane.moc"

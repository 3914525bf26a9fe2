#include "Kernel.h"
#include "MapScene.h"
#include "OsmOperationsWidget.h"
#include "OsmView.h"
#include "QuietPlatform.h"
#include "RowTable.h"
#include "WaitFor.h"

#include <QtTest/QtTest>
#include <QtWidgets/QtWidgets>

#include <memory>

namespace {

// A view over the reference host's scene, whose kernel announces new layers, and a host
// action that follows the smooth button.
struct Host
{
    Host() : kernel(new Veltra::Kernel(&scene)), view(&scene, nullptr), action(new QAction(&view))
    {
        action->setObjectName(QStringLiteral("actionSmooth"));
        action->setCheckable(true);
        // Every map loaded, with the server still set as its path arrives: paths come first.
        QObject::connect(&view, QOverload<double>::of(&OsmView::zoomChanged), [this] {
            const QString server = view.getTileServerUrl();
            loads << QFileInfo(view.imagePath()).completeBaseName()
                    + (server.isEmpty() ? QString() : '(' + server + ')');
        });
    }
    template<typename T>
    T *child(const char *name = nullptr) const
    {
        return pane->findChild<T *>(QLatin1String(name));
    }
    // Maps m<from> up to m<to - 1> with servers s<i>, but none for m1.
    void addMaps(int to, int from = 0)
    {
        for (int i = from; i < to; ++i)
            pane->addMapLayer(QStringLiteral("m%1").arg(i),
                              dir.filePath(QStringLiteral("m%1.sqlitedb").arg(i)),
                              i == 1 ? QString() : QStringLiteral("s%1").arg(i));
    }
    void addLayers()
    {
        scene.addLayer(QStringLiteral("Lights"), 1);
        scene.addLayer(QStringLiteral("Roads"), 2);
    }
    QString controls()
    {
        auto *zoom = child<QSlider>("sldZoom");
        return QString::asprintf(
            "zoom %d-%d:%d %g, opacity %d %g, smooth %d %d, pane %d tab %d", zoom->minimum(),
            zoom->maximum(), zoom->value(), view.zoomF(), child<QSlider>("sldOpacity")->value(),
            view.opacity(), bool(view.renderHints() & QPainter::SmoothPixmapTransform),
            action->isChecked(), pane->isVisible(),
            view.findChild<QPushButton *>(QString(), Qt::FindDirectChildrenOnly)->isVisible());
    }
    // Maps loaded | server | the list: radios (x), the combo {count:current}, boxes [x] | layers
    QString lists()
    {
        QStringList items, layers;
        auto *list = child<QLayout>("verticalLayout");
        for (int i = 0; i < list->count(); ++i) {
            auto *b = qobject_cast<QAbstractButton *>(list->itemAt(i)->widget());
            auto *combo = qobject_cast<QComboBox *>(list->itemAt(i)->widget());
            items << (combo
                          ? QStringLiteral("{%1:%2}").arg(combo->count()).arg(combo->currentText())
                          : QLatin1String(qobject_cast<QRadioButton *>(b) ? "(%1)%2" : "[%1]%2")
                                .arg(QLatin1Char(b->isChecked() ? 'x' : ' '), b->text()));
        }
        for (QGraphicsObject *layer : scene.layers())
            layers << QStringLiteral("%1(%2,%3)")
                          .arg(layer->property("name").toString())
                          .arg(layer->isVisible())
                          .arg(layer->zValue());
        return QStringList{loads.join(' '), view.getTileServerUrl(), items.join(' '),
                           layers.join(' ')}
            .join(QLatin1String(" | "));
    }

    QTemporaryDir dir;
    MapScene scene;
    QGraphicsScene plain;
    std::unique_ptr<Veltra::Kernel> kernel;
    OsmView view;
    OsmOperationsWidget *pane = static_cast<OsmOperationsWidget *>(view.operationWidget());
    QAction *action;
    QStringList loads;
};

// On the radio's circle: how far its text reaches depends on the fonts at hand.
void clickIndicator(QRadioButton *radio)
{
    QTest::mouseClick(radio, Qt::LeftButton, Qt::NoModifier, QPoint(4, radio->height() / 2));
}

// What a row does to the host, and the state that follows, as shown by one of the above.
// clang-format off
const struct { const char *name; void (*act)(Host &); QString (Host::*state)(); const char *expected; } paneRows[] = {
    {"slider not driving the view", [](Host &h) { h.child<QSlider>("sldZoom")->setValue(13); }, &Host::controls, "zoom 10-17:13 13.1667, opacity 50 0.5, smooth 0 0, pane 0 tab 0"},
    {"view zoom not moving the slider", [](Host &h) { h.view.setZoom(15.5); }, &Host::controls, "zoom 10-17:15 15.5, opacity 50 0.5, smooth 0 0, pane 0 tab 0"},
    {"maximum not widened to the view's level", [](Host &h) { h.child<QSlider>("sldZoom")->setRange(12, 14); h.view.setZoom(16.2); }, &Host::controls, "zoom 12-16:16 16.2, opacity 50 0.5, smooth 0 0, pane 0 tab 0"},
    {"minimum not widened to the view's level", [](Host &h) { h.child<QSlider>("sldZoom")->setRange(12, 14); h.view.setZoom(10.2); }, &Host::controls, "zoom 10-14:10 10.2, opacity 50 0.5, smooth 0 0, pane 0 tab 0"},
    {"slider past the view's limit left there", [](Host &h) { h.child<QSlider>("sldZoom")->setMaximum(18); h.child<QSlider>("sldZoom")->setValue(18); }, &Host::controls, "zoom 10-18:17 17.8333, opacity 50 0.5, smooth 0 0, pane 0 tab 0"},
    {"state not loaded from the view, pane shown while disabled, or opacity slider not in percent", [](Host &h) { h.child<QSlider>("sldOpacity")->setValue(70); }, &Host::controls, "zoom 10-17:10 10.1667, opacity 70 0.7, smooth 0 0, pane 0 tab 0"},
    {"opacity slider's zero not transparent", [](Host &h) { h.child<QSlider>("sldOpacity")->setValue(0); }, &Host::controls, "zoom 10-17:10 10.1667, opacity 0 0, smooth 0 0, pane 0 tab 0"},
    {"view's opacity rounded into the slider", [](Host &h) { h.view.setOpacity(0.339); h.pane->syncControls(); }, &Host::controls, "zoom 10-17:10 10.1667, opacity 33 0.339, smooth 0 0, pane 0 tab 0"},
    {"setSmooth not smoothing, or the host's action left", [](Host &h) { h.pane->setSmooth(true); }, &Host::controls, "zoom 10-17:10 10.1667, opacity 50 0.5, smooth 1 1, pane 0 tab 0"},
    {"smooth button click not undoing both", [](Host &h) { h.pane->setSmooth(true); QTest::mouseClick(h.child<QPushButton>("actionSmooth"), Qt::LeftButton); }, &Host::controls, "zoom 10-17:10 10.1667, opacity 50 0.5, smooth 0 0, pane 0 tab 0"},
    {"showContent refused while disabled", [](Host &h) { h.pane->showContent(true); }, &Host::controls, "zoom 10-17:10 10.1667, opacity 50 0.5, smooth 0 0, pane 1 tab 0"},
    {"enabled tab hidden, or pane opened", [](Host &h) { h.view.setEnableRightPane(true); }, &Host::controls, "zoom 10-17:10 10.1667, opacity 50 0.5, smooth 0 0, pane 0 tab 1"},
    {"showContent not opening", [](Host &h) { h.view.setEnableRightPane(true); h.pane->showContent(true); }, &Host::controls, "zoom 10-17:10 10.1667, opacity 50 0.5, smooth 0 0, pane 1 tab 1"},
    {"showContent not closing", [](Host &h) { h.view.setEnableRightPane(true); h.pane->showContent(true); h.pane->showContent(false); }, &Host::controls, "zoom 10-17:10 10.1667, opacity 50 0.5, smooth 0 0, pane 0 tab 1"},
    {"disabling leaving pane or tab", [](Host &h) { h.view.setEnableRightPane(true); h.pane->showContent(true); h.view.setEnableRightPane(false); }, &Host::controls, "zoom 10-17:10 10.1667, opacity 50 0.5, smooth 0 0, pane 0 tab 0"},
    {"re-enabling not restoring the open pane", [](Host &h) { h.pane->showContent(true); h.view.setEnableRightPane(false); h.view.setEnableRightPane(true); }, &Host::controls, "zoom 10-17:10 10.1667, opacity 50 0.5, smooth 0 0, pane 1 tab 1"},
    {"first map not loaded at once, or its server lost", [](Host &h) { h.addMaps(1); }, &Host::lists, "m0 | s0 | (x)m0 | "},
    {"clicked map not loaded every time, or server before path", [](Host &h) { h.addMaps(3); for (int i = 0; i < 2; ++i) clickIndicator(h.pane->findChildren<QRadioButton *>().at(1)); }, &Host::lists, "m0 m1(s0) m1 |  | ( )m0 (x)m1 ( )m2 | "},
    {"fourth map loading one, or radios kept", [](Host &h) { h.addMaps(4); }, &Host::lists, "m0 | s0 | {4:m0} | "},
    {"combo choice not loaded", [](Host &h) { h.addMaps(4); h.child<QComboBox>()->setCurrentIndex(3); h.child<QComboBox>()->setCurrentIndex(2); }, &Host::lists, "m0 m3(s0) m2(s3) | s2 | {4:m2} | "},
    {"cleared list not starting over with a loaded radio", [](Host &h) { h.addMaps(4); h.pane->clearLayers(); h.addMaps(5, 4); }, &Host::lists, "m0 m4(s0) | s4 | (x)m4 | "},
    {"no layer boxes, or first map selected below them", [](Host &h) { h.addLayers(); h.addMaps(1); }, &Host::lists, " |  | [x]Lights [x]Roads ( )m0 | Lights(1,1) Roads(1,2)"},
    {"unchecked box not hiding its layer", [](Host &h) { h.addLayers(); h.pane->findChildren<QCheckBox *>().last()->click(); }, &Host::lists, " |  | [x]Lights [ ]Roads | Lights(1,1) Roads(0,2)"},
    {"layer hidden elsewhere not unchecking its box", [](Host &h) { h.addLayers(); h.scene.layer("Lights")->setVisible(false); }, &Host::lists, " |  | [ ]Lights [x]Roads | Lights(0,1) Roads(1,2)"},
    {"box ticked for a hidden layer", [](Host &h) { h.addLayers(); h.scene.layer("Lights")->setVisible(false); h.pane->clearLayers(); h.pane->updateLayers(); }, &Host::lists, " |  | [ ]Lights [x]Roads | Lights(0,1) Roads(1,2)"},
    {"updateLayers not appending every layer", [](Host &h) { h.addLayers(); h.pane->updateLayers(); }, &Host::lists, " |  | [x]Lights [x]Roads [x]Lights [x]Roads | Lights(1,1) Roads(1,2)"},
    {"destroyed layer's box left behind", [](Host &h) { h.addLayers(); delete h.scene.layer("Lights"); h.scene.addLayer(QStringLiteral("Signals"), 3); }, &Host::lists, " |  | [x]Roads [x]Signals | Roads(1,2) Signals(1,3)"},
    {"clearLayers leaving maps or boxes", [](Host &h) { h.addMaps(1); h.addLayers(); h.pane->clearLayers(); }, &Host::lists, "m0 | s0 |  | Lights(1,1) Roads(1,2)"},
    {"stored z not applied, or a non-number applied", [](Host &h) { QSettings().setValue("Layers/Roads", QVariantList{5.5, "x"}); QSettings().setValue("Layers/Lights", QVariantList{"high"}); h.addLayers(); }, &Host::lists, " |  | [x]Lights [x]Roads | Lights(1,1) Roads(1,5.5)"},
    {"unknown layer given a box or reported", [](Host &h) { h.pane->addLayer(QStringLiteral("Lights")); }, &Host::lists, " |  |  | "},
    {"kernel without a scene not reported", [](Host &h) { h.kernel.reset(); Veltra::Kernel bare(nullptr); QTest::ignoreMessage(QtWarningMsg, "OsmOperationsWidget::OsmOperationsWidget scene=null"); OsmView view; }, &Host::lists, " |  |  | "},
    {"scene without layer() not reported", [](Host &h) { h.view.setScene(&h.plain); QTest::ignoreMessage(QtWarningMsg, "OsmOperationsWidget::addLayer invokeMethod(scene->layer()) error"); h.pane->addLayer(QStringLiteral("Lights")); }, &Host::lists, " |  |  | "},
    {"scene without layers() not reported", [](Host &h) { h.view.setScene(&h.plain); QTest::ignoreMessage(QtWarningMsg, "OsmOperationsWidget::updateLayers invokeMethod(scene->layers()) error"); h.pane->updateLayers(); }, &Host::lists, " |  |  | "},
    {"view without a scene not quiet", [](Host &h) { h.view.setScene(nullptr); h.pane->addLayer(QStringLiteral("Lights")); h.pane->updateLayers(); }, &Host::lists, " |  |  | "},
};
// clang-format on

} // namespace

class tst_OperationsPane : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup() { QSettings().clear(); }
    void pane_data() { addRows(paneRows); }
    void pane();
};

void tst_OperationsPane::initTestCase()
{
    QuietPlatform::install();
    QStandardPaths::setTestModeEnabled(true); // settings of this test's own, cleared after each row
}

void tst_OperationsPane::pane()
{
    // An unexpected warning fails the run, so the quiet rows need no check of their own.
    QFETCH(int, row);
    const auto &r = paneRows[row];
    Host h;
    h.view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&h.view));
    r.act(h);
    WAIT_COMPARE((h.*r.state)(), QLatin1String(r.expected));
    // Every change to the lists leaves the pane the size of its contents.
    WAIT_COMPARE(h.pane->size(), h.pane->sizeHint());
}

QTEST_MAIN(tst_OperationsPane)
#include "tst_operationspane.moc"

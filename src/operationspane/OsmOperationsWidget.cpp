#include "OsmOperationsWidget.h"

#include "PaneButton.h"
#include "ui_OsmOperationsWidget.h"
#include "VeltraLogging.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDebug>
#include <QtCore/QSettings>
#include <QAction> // QtWidgets in Qt 5, QtGui in Qt 6
#include <QtWidgets/QCheckBox>
#include <QtWidgets/QComboBox>
#include <QtWidgets/QGraphicsObject>
#include <QtWidgets/QGraphicsView>
#include <QtWidgets/QRadioButton>

OsmOperationsWidget::OsmOperationsWidget(QWidget *parent)
    : QWidget(parent), ui(new Ui::OsmOperationsWidget)
{
    ui->setupUi(this);

    connect(ui->sldZoom, SIGNAL(valueChanged(int)), parent, SLOT(setZoom(int)));
    connect(parent, SIGNAL(zoomChanged(int)), this, SLOT(zoomChanged(int)));
    connect(ui->sldOpacity, SIGNAL(valueChanged(int)), this, SLOT(mapOpacityChanged(int)));

    const QObjectList candidates = QCoreApplication::instance()
        ? QCoreApplication::instance()->children()
        : QObjectList();
    for (QObject *candidate : candidates) {
        if (!candidate->inherits("Veltra::Kernel"))
            continue;
        const QVariant value = candidate->property("graphicsScene");
        QObject *scene = value.value<QObject *>();
        if (!scene)
            qCWarning(lcPane) << "OsmOperationsWidget::OsmOperationsWidget scene=null";
        else
            connect(scene, SIGNAL(layerAdded(QString)), this, SLOT(addLayer(QString)));
        break;
    }

    adjustSize();
    paneButton = new PaneButton(parent, this);
    paneButton->setVisible(paneEnabled);
}

OsmOperationsWidget::~OsmOperationsWidget()
{
    delete ui;
}

void OsmOperationsWidget::syncControls()
{
    QObject *view = parent();
    {
        const QSignalBlocker blocker(ui->sldZoom);
        ui->sldZoom->setMinimum(view->property("zoomMin").toInt());
        ui->sldZoom->setMaximum(view->property("zoomMax").toInt());
        ui->sldZoom->setValue(view->property("zoom").toInt());
    }
    {
        const QSignalBlocker blocker(ui->sldOpacity);
        ui->sldOpacity->setValue(int(view->property("opacity").toDouble() * 100));
    }
}

void OsmOperationsWidget::mapOpacityChanged(int value)
{
    QMetaObject::invokeMethod(parent(), "setOpacity", Q_ARG(double, value * 0.01));
}

void OsmOperationsWidget::zoomChanged(int level)
{
    ui->sldZoom->setRange(qMin(level, ui->sldZoom->minimum()), qMax(level, ui->sldZoom->maximum()));
    ui->sldZoom->setValue(level);
}

void OsmOperationsWidget::on_actionSmooth_toggled(bool checked)
{
    auto *view = qobject_cast<QGraphicsView *>(parent());
    if (!view)
        return;
    view->setRenderHint(QPainter::SmoothPixmapTransform, checked);
    if (auto *action = view->findChild<QAction *>(QStringLiteral("actionSmooth")))
        action->setChecked(checked);
}

void OsmOperationsWidget::setSmooth(bool on)
{
    ui->actionSmooth->setChecked(on);
}

void OsmOperationsWidget::adjust()
{
    adjustSize();
    // While the pane is closed its resize reaches the tab only through a repaint.
    if (paneButton)
        paneButton->update();
}

void OsmOperationsWidget::adjustLater()
{
    QMetaObject::invokeMethod(this, "adjust", Qt::QueuedConnection);
}

void OsmOperationsWidget::showContent(bool show)
{
    if (paneButton && show != paneButton->isChecked())
        paneButton->click();
}

void OsmOperationsWidget::setEnabled(bool on)
{
    if (!on)
        hide();
    else if (paneButton->isChecked())
        show();
    paneButton->setVisible(on);
    paneEnabled = on;
}

void OsmOperationsWidget::addMapLayer(QString name, QString dbFile, QString tileServer)
{
    auto *combo = findChild<QComboBox *>();
    if (!combo) {
        const QList<QRadioButton *> radios = findChildren<QRadioButton *>();
        if (radios.size() <= 2) {
            auto *radio = new QRadioButton(name, this);
            radio->setProperty("dbFile", dbFile);
            radio->setProperty("tileServer", tileServer);
            ui->verticalLayout->addWidget(radio);
            connect(radio, SIGNAL(clicked()), this, SLOT(mapChanged()));
            adjustLater();
            if (ui->verticalLayout->count() == 1)
                radio->click();
            return;
        }
        combo = new QComboBox(this);
        for (QRadioButton *radio : radios) {
            combo->addItem(radio->property("text").toString(),
                           QVariantList{radio->property("dbFile"), radio->property("tileServer")});
            radio->deleteLater();
        }
        ui->verticalLayout->addWidget(combo);
        adjustLater();
        connect(combo, SIGNAL(currentIndexChanged(int)), this, SLOT(mapChanged()));
    }
    combo->addItem(name, QVariantList{dbFile, tileServer});
}

void OsmOperationsWidget::mapChanged()
{
    QString dbFile;
    QString tileServer;
    if (auto *radio = qobject_cast<QRadioButton *>(sender())) {
        dbFile = radio->property("dbFile").toString();
        tileServer = radio->property("tileServer").toString();
    } else if (auto *combo = qobject_cast<QComboBox *>(sender())) {
        const QVariantList entry = combo->itemData(combo->currentIndex()).toList();
        if (entry.size() < 2)
            return;
        dbFile = entry.at(0).toString();
        tileServer = entry.at(1).toString();
    } else {
        return;
    }
    QMetaObject::invokeMethod(parent(), "setImagePath", Q_ARG(QString, dbFile));
    parent()->setProperty("tileServerUrl", tileServer);
}

void OsmOperationsWidget::clearLayers()
{
    while (ui->verticalLayout->count() > 0) {
        QLayoutItem *item = ui->verticalLayout->takeAt(0);
        if (!item)
            break;
        delete item->widget();
        delete item;
    }
    adjustLater();
}

QObject *OsmOperationsWidget::viewScene() const
{
    auto *view = qobject_cast<QGraphicsView *>(parent());
    return view ? view->scene() : nullptr;
}

void OsmOperationsWidget::addLayer(QString name)
{
    QObject *scene = viewScene();
    if (!scene)
        return;
    QGraphicsObject *layer = nullptr;
    // Asking first spares the host Qt's own complaint about a missing method.
    if (scene->metaObject()->indexOfMethod("layer(QString)") < 0
        || !QMetaObject::invokeMethod(scene, "layer", Q_RETURN_ARG(QGraphicsObject *, layer),
                                      Q_ARG(QString, name))) {
        qCWarning(lcPane) << "OsmOperationsWidget::addLayer invokeMethod(scene->layer()) error";
        return;
    }
    addLayerCheckBox(layer);
}

void OsmOperationsWidget::updateLayers()
{
    QObject *scene = viewScene();
    if (!scene)
        return;
    QList<QGraphicsObject *> layers;
    if (scene->metaObject()->indexOfMethod("layers()") < 0
        || !QMetaObject::invokeMethod(scene, "layers",
                                      Q_RETURN_ARG(QList<QGraphicsObject *>, layers))) {
        qCWarning(lcPane)
            << "OsmOperationsWidget::updateLayers invokeMethod(scene->layers()) error";
        return;
    }
    for (QGraphicsObject *layer : qAsConst(layers))
        addLayerCheckBox(layer);
}

void OsmOperationsWidget::addLayerCheckBox(QGraphicsObject *layer)
{
    if (!layer)
        return;
    const QString name = layer->property("name").toString();

    const QVariantList stored = QSettings().value(QStringLiteral("Layers/") + name).toList();
    if (!stored.isEmpty()) {
        bool ok = false;
        const double z = stored.first().toDouble(&ok);
        if (ok)
            layer->setZValue(z);
    }

    auto *box = new QCheckBox(name, this);
    connect(layer, SIGNAL(destroyed(QObject *)), box, SLOT(deleteLater()));
    box->setChecked(layer->isVisible());
    ui->verticalLayout->addWidget(box);
    connect(box, SIGNAL(toggled(bool)), layer, SLOT(setVisible(bool)));
    connect(layer, SIGNAL(visibleChanged(bool)), box, SLOT(setChecked(bool)));
    adjustLater();
}

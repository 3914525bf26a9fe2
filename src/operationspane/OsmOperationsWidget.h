#ifndef OSMOPERATIONSWIDGET_H
#define OSMOPERATIONSWIDGET_H

#include <QtWidgets/QWidget>

class PaneButton;
class QGraphicsObject;

namespace Ui {
class OsmOperationsWidget;
}

// The right-hand operations pane of an OsmView: maps, layers, smoothing, zoom and
// opacity. Hosts reach it through OsmView::operationWidget() and the meta-object.
class OsmOperationsWidget : public QWidget
{
    Q_OBJECT
    // Shadows QWidget's property: whether the pane can be opened at all. The
    // controls stay usable either way.
    Q_PROPERTY(bool enabled READ isPaneEnabled WRITE setEnabled)

public:
    explicit OsmOperationsWidget(QWidget *parent);
    ~OsmOperationsWidget() override;

    void syncControls();
    bool isPaneEnabled() const { return paneEnabled; }
    void setEnabled(bool on);

public Q_SLOTS:
    void mapOpacityChanged(int value);
    void zoomChanged(int level);
    void mapChanged();
    void addLayer(QString name);

private Q_SLOTS:
    void on_actionSmooth_toggled(bool checked);

public:
    Q_INVOKABLE void clearLayers();
    Q_INVOKABLE void addMapLayer(QString name, QString dbFile, QString tileServer);
    Q_INVOKABLE void setSmooth(bool on);
    Q_INVOKABLE void adjust();
    Q_INVOKABLE void showContent(bool show);
    Q_INVOKABLE void updateLayers();

private:
    void addLayerCheckBox(QGraphicsObject *layer);
    void adjustLater();
    QObject *viewScene() const;

    Ui::OsmOperationsWidget *ui;
    PaneButton *paneButton = nullptr;
    bool paneEnabled = false;
};

#endif

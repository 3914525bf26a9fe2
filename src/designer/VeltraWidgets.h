#ifndef VELTRAWIDGETS_H
#define VELTRAWIDGETS_H

#include <QtCore/QObject>
#include <QtUiPlugin/QDesignerCustomWidgetCollectionInterface>

// The collection Qt Designer finds in this library: the three widgets of the
// "Veltra Widgets" group.
class VeltraWidgets : public QObject, public QDesignerCustomWidgetCollectionInterface
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.veltra.qt5VeltraWidgets2.VeltraWidgets")
    Q_INTERFACES(QDesignerCustomWidgetCollectionInterface)
    Q_PROPERTY(QString moduleVersion READ moduleVersion)

public:
    explicit VeltraWidgets(QObject *parent = nullptr);

    QList<QDesignerCustomWidgetInterface *> customWidgets() const override;
    QString moduleVersion() const;

private:
    QList<QDesignerCustomWidgetInterface *> widgets;
};

#endif

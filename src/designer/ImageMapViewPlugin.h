#ifndef IMAGEMAPVIEWPLUGIN_H
#define IMAGEMAPVIEWPLUGIN_H

#include "WidgetPlugin.h"

#include <QtCore/QObject>

class ImageMapViewPlugin : public QObject, public WidgetPlugin
{
    Q_OBJECT
    Q_INTERFACES(QDesignerCustomWidgetInterface)

public:
    explicit ImageMapViewPlugin(QObject *parent = nullptr);

    QString name() const override;
    QString domXml() const override;
    QWidget *createWidget(QWidget *parent) override;
};

#endif

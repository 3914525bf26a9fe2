#ifndef OSMVIEWPLUGIN_H
#define OSMVIEWPLUGIN_H

#include "WidgetPlugin.h"

#include <QtCore/QObject>

class OsmViewPlugin : public QObject, public WidgetPlugin
{
    Q_OBJECT
    Q_INTERFACES(QDesignerCustomWidgetInterface)

public:
    explicit OsmViewPlugin(QObject *parent = nullptr);

    QString name() const override;
    QString domXml() const override;
    QWidget *createWidget(QWidget *parent) override;
};

#endif

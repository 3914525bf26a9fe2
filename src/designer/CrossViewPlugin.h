#ifndef CROSSVIEWPLUGIN_H
#define CROSSVIEWPLUGIN_H

#include "WidgetPlugin.h"

#include <QtCore/QObject>

class CrossViewPlugin : public QObject, public WidgetPlugin
{
    Q_OBJECT
    Q_INTERFACES(QDesignerCustomWidgetInterface)

public:
    explicit CrossViewPlugin(QObject *parent = nullptr);

    QString name() const override;
    QString domXml() const override;
    QWidget *createWidget(QWidget *parent) override;
};

#endif

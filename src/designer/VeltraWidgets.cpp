#include "VeltraWidgets.h"

#include "CrossViewPlugin.h"
#include "ImageMapViewPlugin.h"
#include "OsmViewPlugin.h"

VeltraWidgets::VeltraWidgets(QObject *parent) : QObject(parent)
{
    widgets.append(new OsmViewPlugin(this));
    widgets.append(new ImageMapViewPlugin(this));
    widgets.append(new CrossViewPlugin(this));
}

QList<QDesignerCustomWidgetInterface *> VeltraWidgets::customWidgets() const
{
    return widgets;
}

QString VeltraWidgets::moduleVersion() const
{
    return QStringLiteral(VELTRA_VERSION);
}

#include "OsmViewPlugin.h"

#include "OsmView.h"

OsmViewPlugin::OsmViewPlugin(QObject *parent) : QObject(parent) { }

QString OsmViewPlugin::name() const
{
    return QStringLiteral("OsmView");
}

QString OsmViewPlugin::domXml() const
{
    return QStringLiteral("<widget class=\"OsmView\" name=\"osmView\">\n</widget>\n");
}

QWidget *OsmViewPlugin::createWidget(QWidget *parent)
{
    return new OsmView(parent);
}

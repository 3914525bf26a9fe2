#include "CrossViewPlugin.h"

#include "CrossView.h"

CrossViewPlugin::CrossViewPlugin(QObject *parent) : QObject(parent) { }

QString CrossViewPlugin::name() const
{
    return QStringLiteral("CrossView");
}

QString CrossViewPlugin::domXml() const
{
    return QStringLiteral("<widget class=\"CrossView\" name=\"crossView\">\n</widget>\n");
}

QWidget *CrossViewPlugin::createWidget(QWidget *parent)
{
    return new CrossView(parent);
}

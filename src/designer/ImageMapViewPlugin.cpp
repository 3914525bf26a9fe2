#include "ImageMapViewPlugin.h"

#include "ImageMapView.h"

ImageMapViewPlugin::ImageMapViewPlugin(QObject *parent) : QObject(parent) { }

QString ImageMapViewPlugin::name() const
{
    return QStringLiteral("ImageMapView");
}

QString ImageMapViewPlugin::domXml() const
{
    return QStringLiteral("<widget class=\"ImageMapView\" name=\"imageMapView\">\n</widget>\n");
}

QWidget *ImageMapViewPlugin::createWidget(QWidget *parent)
{
    return new ImageMapView(parent);
}

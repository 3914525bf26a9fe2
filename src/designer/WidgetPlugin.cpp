#include "WidgetPlugin.h"

#include <QtGui/QIcon>

QString WidgetPlugin::group() const
{
    return QStringLiteral("Veltra Widgets");
}

QString WidgetPlugin::toolTip() const
{
    return QString();
}

QString WidgetPlugin::whatsThis() const
{
    return QString();
}

QString WidgetPlugin::includeFile() const
{
    return name() + QStringLiteral(".h");
}

QIcon WidgetPlugin::icon() const
{
    return QIcon();
}

bool WidgetPlugin::isContainer() const
{
    return false;
}

bool WidgetPlugin::isInitialized() const
{
    return initialized;
}

void WidgetPlugin::initialize(QDesignerFormEditorInterface *)
{
    initialized = true;
}

#ifndef WIDGETPLUGIN_H
#define WIDGETPLUGIN_H

#include <QtUiPlugin/QDesignerCustomWidgetInterface>

// What the three widget plug-ins share: only the name, the header, the form snippet
// and the widget they create differ.
class WidgetPlugin : public QDesignerCustomWidgetInterface
{
public:
    QString group() const override;
    QString toolTip() const override;
    QString whatsThis() const override;
    QString includeFile() const override;
    QIcon icon() const override;
    bool isContainer() const override;
    bool isInitialized() const override;
    void initialize(QDesignerFormEditorInterface *core) override;

private:
    bool initialized = false;
};

#endif

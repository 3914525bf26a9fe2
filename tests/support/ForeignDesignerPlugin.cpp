// A Designer plug-in of another package that complains when it is loaded, as some do.
// The build puts it in the designer/ folder beside the tests, where Qt looks by default.
#include <QtCore/QObject>
#include <QtCore/QtPlugin>

class ForeignDesignerPlugin : public QObject
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QDesignerCustomWidgetCollectionInterface")

public:
    ForeignDesignerPlugin() { qWarning("a Designer plug-in of another package was loaded"); }
};

#include "ForeignDesignerPlugin.moc"

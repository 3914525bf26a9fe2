#ifndef VELTRA_KERNEL_H
#define VELTRA_KERNEL_H

#include <QtCore/QObject>
#include <QtCore/QPointer>

namespace Veltra {

// The reference host's kernel: the one object through which the operations pane of an
// OsmView learns about the host's layers.
//
// Contract: a direct child of the application object whose class is named
// "Veltra::Kernel", with a property "graphicsScene" holding the scene (a QObject with
// the signal layerAdded(QString)). The pane looks for it once, when it is built, so
// the kernel must exist before the first OsmView.
class Kernel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QObject *graphicsScene READ graphicsScene)

public:
    // Made a child of the application object, where the widgets look for it.
    explicit Kernel(QObject *scene);

    QObject *graphicsScene() const { return m_scene; }

private:
    QPointer<QObject> m_scene;
};

} // namespace Veltra

#endif

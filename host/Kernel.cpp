#include "Kernel.h"

#include <QtCore/QCoreApplication>

namespace Veltra {

Kernel::Kernel(QObject *scene) : QObject(QCoreApplication::instance()), m_scene(scene) { }

} // namespace Veltra

#include "ui_MainForm.h"

#include <OsmView.h>

#include <QtWidgets/QApplication>
#include <QtWidgets/QGraphicsScene>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);

    // From a form: uic wrote the includes that the plug-ins name.
    QWidget window;
    Ui::MainForm form;
    form.setupUi(&window);
    form.osmView->setZoom(14);

    // From code.
    QGraphicsScene scene(-180, -85, 360, 170);
    OsmView map(&scene, nullptr);
    map.setEnableRightPane(true);
    map.loadPreset(30.31, 59.94, 14 + 1.0 / 6);

    const bool ok = form.osmView->zoomMax() == 16 && form.osmView->zoom() == 14
        && form.imageMapView->metaObject()->className() == QByteArray("ImageMapView")
        && form.crossView->light() == nullptr && map.enableRightPane();
    std::puts(ok ? "1 passed, 0 failed" : "0 passed, 1 failed");
    return ok ? 0 : 1;
}

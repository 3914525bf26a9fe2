// A host's whole life in one process: open a tile database, paint with downloads in
// flight, return from main. It must exit with 0 and without a word from Qt, although
// process-wide statements and pixmaps outlive the application object.
#include "OsmView.h"
#include "TileServer.h"

#include <QtCore/QElapsedTimer>
#include <QtCore/QTemporaryDir>
#include <QtWidgets/QApplication>
#include <QtWidgets/QGraphicsScene>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTemporaryDir tmp;
    TileServer server([](const TileServer::Request &) {
        TileServer::Response never;
        never.delayMs = -1;
        return never;
    });
    if (!server.start())
        return 2;

    QGraphicsScene scene(-180, -85, 360, 170);
    OsmView view(&scene, nullptr);
    view.resize(640, 480);
    view.setImagePath(tmp.filePath(QStringLiteral("tiles.sqlitedb")));
    view.setTileServerUrl(server.urlTemplate());
    view.setEnableTileDownload(true);
    view.show();
    view.centerOn(30.3, 59.94);
    view.viewport()->grab();

    QElapsedTimer timer;
    timer.start();
    while (server.requests.isEmpty() && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (server.requests.isEmpty()) {
        std::puts("0 passed, 1 failed: no request reached the server");
        return 1;
    }
    std::puts("1 passed, 0 failed");
    return 0;
}

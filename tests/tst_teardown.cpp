// A host's whole life in one process: open a tile database, paint with downloads in
// flight, return from main. Process-wide statements and pixmaps outlive the
// application object; the host must still exit with 0 and without a word on stderr.
// The test runs that host as a child process and judges how it ended.
#include "OsmView.h"
#include "TileServer.h"

#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QGraphicsScene>

#include <cstdio>

static int host(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTemporaryDir tmp;
    TileServer server([](const TileServer::Request &) {
        return TileServer::Response{200, {}, {}, -1};
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
    return QTest::qWaitFor([&] { return !server.requests.isEmpty(); }, 10000) ? 0 : 3;
}

int main(int argc, char **argv)
{
    if (argc == 2 && qstrcmp(argv[1], "host") == 0)
        return host(argc, argv);

    QCoreApplication app(argc, argv);
    QTemporaryDir runtime; // the child's own, so Qt has nothing to say about the machine's
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    QProcess child;
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("host")});
    const bool ended = child.waitForFinished(120000) && child.exitStatus() == QProcess::NormalExit;
    const QByteArray said = child.readAllStandardError();
    const bool ok = ended && child.exitCode() == 0 && said.isEmpty();
    std::printf("%s passed, %s failed (exit code %d)\n%s", ok ? "1" : "0", ok ? "0" : "1",
                child.exitCode(), said.constData());
    return ok ? 0 : 1;
}

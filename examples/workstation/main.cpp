// The demo workstation: every widget of the library over a built-in sample city.
//
//   veltra-workstation [--tile-server URL] [--screenshot FILE]
//
// URL is a template with %1 (level), %2 (column) and %3 (row); VELTRA_TILE_SERVER
// gives one too. Without it everything shown comes from the generated sample data.
#include "OsmView.h"
#include "Workstation.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QTimer>
#include <QtWidgets/QApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Veltra"));
    QCoreApplication::setApplicationName(QStringLiteral("veltra-workstation"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Demo workstation of the Veltra widgets"));
    parser.addHelpOption();
    const QCommandLineOption server(QStringLiteral("tile-server"),
                                    QStringLiteral("Tile server URL template (%1 level, %2 column, %3 row)."),
                                    QStringLiteral("url"), qEnvironmentVariable("VELTRA_TILE_SERVER"));
    const QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                        QStringLiteral("Write the window to a PNG file once loaded, then quit."),
                                        QStringLiteral("file"));
    const QCommandLineOption data(QStringLiteral("sample-data"),
                                  QStringLiteral("Folder of the generated sample data."),
                                  QStringLiteral("folder"), QStringLiteral(VELTRA_SAMPLE_DATA_DIR));
    parser.addOptions({server, screenshot, data});
    parser.process(app);

    Workstation window(parser.value(data), parser.value(server));
    window.show();

    if (parser.isSet(screenshot)) {
        // Once the preset has landed (its timer runs 300 ms) and the tiles are drawn.
        QTimer::singleShot(900, &window, [&] {
            const QString file = parser.value(screenshot);
            const bool saved = window.grab().save(file);
            std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(file));
            QCoreApplication::exit(saved ? 0 : 1);
        });
    }
    return app.exec();
}

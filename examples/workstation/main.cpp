// The demo workstation: every widget of the library over a built-in sample city.
//
//   veltra-workstation [--tile-server URL] [--map STORE]... [--view LON,LAT,ZOOM]
//                      [--screenshot FILE]
//
// URL is a template with %1 (level), %2 (column) and %3 (row); VELTRA_TILE_SERVER
// gives one too. Without it everything shown comes from the generated sample data.
// --map adds a tile store of the user's, made with veltra-tiles for instance, to the
// pane's list of maps and shows the first one given; --view starts the map elsewhere
// than over the sample city.
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
    const QCommandLineOption map(QStringLiteral("map"),
                                 QStringLiteral(
                                     "Add a tile store (directory, .sqlitedb or .mbtiles) "
                                     "to the list of maps and show it; may be repeated, "
                                     "the first one is shown."),
                                 QStringLiteral("store"));
    const QCommandLineOption view(QStringLiteral("view"),
                                  QStringLiteral(
                                      "Start the map at a longitude, latitude and zoom."),
                                  QStringLiteral("lon,lat,zoom"));
    parser.addOptions({server, screenshot, data, map, view});
    parser.process(app);

    Workstation window(parser.value(data), parser.value(server), parser.values(map));
    const QStringList at = parser.value(view).split(QLatin1Char(','));
    if (at.size() == 3)
        window.map()->loadPreset(at[0].toDouble(), at[1].toDouble(), at[2].toDouble());
    window.show();

    if (parser.isSet(screenshot)) {
        // Once the preset has landed (its timer runs 300 ms) and the tiles are drawn.
        QTimer::singleShot(900, &window, [&] {
            const QString file = parser.value(screenshot);
            std::printf("showing %s\n", qPrintable(window.map()->imagePath()));
            const bool saved = window.grab().save(file);
            std::printf("%s %s\n", saved ? "wrote" : "could not write", qPrintable(file));
            QCoreApplication::exit(saved ? 0 : 1);
        });
    }
    return app.exec();
}

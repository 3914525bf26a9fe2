#include "CommandLine.h"

#include "Console.h"
#include "TileUrlTemplate.h"

#include <QtCore/QCommandLineParser>
#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtCore/QHash>
#include <QtCore/QRegularExpression>

#include <cmath>

namespace {

// Built on first use, once translations are installed.
struct Options
{
    const QCommandLineOption url{QStringLiteral("url"),
                                 CommandLine::tr(
                                     "Tile server URL with the markers {z}, {x} and {y}, or "
                                     "%1, %2 and %3 for level, column and row."),
                                 QStringLiteral("template")};
    const QCommandLineOption bbox{QStringLiteral("bbox"),
                                  CommandLine::tr("Region in degrees: west, south, east, north."),
                                  QStringLiteral("W,S,E,N")};
    const QCommandLineOption zoom{QStringLiteral("zoom"),
                                  CommandLine::tr("Levels, such as 10-17, or one level."),
                                  QStringLiteral("A-B")};
    const QCommandLineOption rate{QStringLiteral("rate"),
                                  CommandLine::tr(
                                      "Requests per second at most (default 4); 0 for no limit."),
                                  QStringLiteral("n"), QStringLiteral("4")};
    const QCommandLineOption contact{
        QStringLiteral("contact"),
        CommandLine::tr("An e-mail address or web page that the User-Agent names, so that the "
                        "server's operators can reach you. Public tile servers ask for one."),
        QStringLiteral("contact")};
    const QCommandLineOption attempts{
        QStringLiteral("attempts"),
        CommandLine::tr("Tries per tile where a failure may pass, such as a timeout or HTTP 503 "
                        "(default 4)."),
        QStringLiteral("n"), QStringLiteral("4")};
    const QCommandLineOption yes{QStringLiteral("yes"),
                                 CommandLine::tr("Fetch even more than 10000 tiles.")};
    const QCommandLineOption acceptFailures{
        QStringLiteral("accept-failures"),
        CommandLine::tr("Exit with 0 even when tiles failed; they are fetched by the next run.")};
    const QCommandLineOption progressStyle{
        QStringLiteral("progress"),
        CommandLine::tr("auto (the default: a bar on a terminal, lines otherwise), bar, lines or "
                        "none."),
        QStringLiteral("style"), QStringLiteral("auto")};
    const QCommandLineOption progressInterval{
        QStringLiteral("progress-interval"),
        CommandLine::tr("Seconds between progress lines (default 10; the bar: 0.25)."),
        QStringLiteral("seconds")};
    const QCommandLineOption purge{QStringLiteral("purge"),
                                   CommandLine::tr("Remove the tiles that are not images.")};
    const QCommandLineOption dryRun{
        QStringLiteral("dry-run"),
        CommandLine::tr("Count the tiles, those stored already and their size; fetch and "
                        "write nothing.")};
    const QCommandLineOption failedList{
        QStringLiteral("failed"),
        CommandLine::tr("Write the tiles that failed to FILE, one \"z/x/y cause\" a line."),
        QStringLiteral("FILE")};
    const QCommandLineOption refreshOlderThan{
        QStringLiteral("refresh-older-than"),
        CommandLine::tr("Also ask again for the stored tiles of the region fetched longer ago "
                        "than DURATION (such as 30d, 12h, 90m or 3600s), or than the lifetime "
                        "their server gave where that is longer, with a conditional request: "
                        "an unchanged tile costs an answer 304 and is not written again."),
        QStringLiteral("DURATION")};
    const QCommandLineOption skipExisting{
        QStringLiteral("skip-existing"),
        CommandLine::tr("Leave the tiles that the target holds already as they are.")};
    // What a package that seed or copy fills says of itself.
    const QCommandLineOption name{QStringLiteral("name"),
                                  CommandLine::tr("The name an .mbtiles package gives its map "
                                                  "(default: the file's name, or the source "
                                                  "package's)."),
                                  QStringLiteral("text")};
    const QCommandLineOption description{QStringLiteral("description"),
                                         CommandLine::tr(
                                             "A description of the map for an .mbtiles package."),
                                         QStringLiteral("text")};
    const QCommandLineOption attribution{
        QStringLiteral("attribution"),
        CommandLine::tr("Who made the map and its data, for an .mbtiles package; HTML is "
                        "allowed."),
        QStringLiteral("text")};
    // For tests: waits pass at once, the clock jumping over them.
    const QCommandLineOption simulatedClock = [] {
        QCommandLineOption option(QStringLiteral("simulated-clock"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        return option;
    }();
};

const Options &options()
{
    static const Options o;
    return o;
}

// "30d", "12h", "90m", "3600s" or plain seconds; -1 for anything else.
qint64 durationSecs(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^\\s*(\\d{1,9})\\s*([smhdw]?)\\s*$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return -1;
    const QHash<QString, qint64> unit{{QString(), 1},
                                      {QStringLiteral("s"), 1},
                                      {QStringLiteral("m"), 60},
                                      {QStringLiteral("h"), 3600},
                                      {QStringLiteral("d"), 86400},
                                      {QStringLiteral("w"), 604800}};
    return m.captured(1).toLongLong() * unit.value(m.captured(2));
}

bool number(const QCommandLineParser &parser, const QCommandLineOption &option, double low,
            double high, double *value)
{
    bool ok = false;
    *value = parser.value(option).toDouble(&ok);
    return ok && std::isfinite(*value) && *value >= low && *value <= high;
}

} // namespace

QString CommandLine::overview()
{
    return tr("Usage: veltra-tiles COMMAND [options] PATH...\n"
              "\n"
              "Prepares offline maps: tile stores that are z/x/y directories, SQLite tile\n"
              "databases (.sqlitedb) or MBTiles packages (.mbtiles).\n"
              "\n"
              "Commands:\n"
              "  info PATH        what a store holds: levels, tiles, bounds, bytes, formats\n"
              "  seed OUT         fetches the missing tiles of a region from a tile server\n"
              "  copy SRC DST     copies tiles between stores of any kind\n"
              "  verify PATH      finds stored tiles that are not images; --purge removes them\n"
              "\n"
              "Examples:\n"
              "  veltra-tiles info city.mbtiles\n"
              "  veltra-tiles seed --url 'https://tiles.example/{z}/{x}/{y}.png' \\\n"
              "                    --contact ops@example.org \\\n"
              "                    --bbox 24.90,59.95,25.10,60.05 --zoom 10-17 city.mbtiles\n"
              "  veltra-tiles seed --url 'https://tiles.example/{z}/{x}/{y}.png' \\\n"
              "                    --bbox 24.90,59.95,25.10,60.05 --zoom 10-17 \\\n"
              "                    --refresh-older-than 30d city.mbtiles\n"
              "  veltra-tiles copy --zoom 10-15 /srv/tiles/city city.sqlitedb\n"
              "  veltra-tiles verify --purge city.mbtiles\n"
              "\n"
              "Exit codes:\n"
              "  0    done: every tile of the region stored, every tile an image\n"
              "  1    done in part: tiles failed or were not stored, bad tiles remain, or a\n"
              "       store could not be read or written\n"
              "  2    nothing done: no or bad arguments, or more than %1 tiles without --yes\n"
              "  130  stopped by Ctrl-C (SIGINT), 143 by SIGTERM, after storing what arrived;\n"
              "       the same command continues the work\n"
              "\n"
              "\"veltra-tiles COMMAND --help\" describes a command, \"veltra-tiles --version\"\n"
              "tells the version.\n")
        .arg(Seeder::TileLimit);
}

bool CommandLine::fail(const QString &error)
{
    m_error = error;
    m_exitCode = Console::Refused;
    return false;
}

QStringList CommandLine::describe(QCommandLineParser &parser) const
{
    const Options &o = options();
    switch (m_command) {
    case Command::Info:
        parser.setApplicationDescription(tr("Shows what a tile store holds."));
        return {QStringLiteral("PATH")};
    case Command::Verify:
        parser.setApplicationDescription(tr("Decodes every tile of a store and lists the ones "
                                            "that are not images."));
        parser.addOption(o.purge);
        return {QStringLiteral("PATH")};
    case Command::Copy:
        parser.setApplicationDescription(tr("Copies the tiles of a store into another, of any "
                                            "kind, bytes unchanged; skips tiles that are not "
                                            "images."));
        parser.addOptions({o.zoom, o.bbox, o.skipExisting, o.dryRun});
        parser.addOptions({o.name, o.description, o.attribution});
        return {QStringLiteral("SRC"), QStringLiteral("DST")};
    case Command::Seed:
        parser.setApplicationDescription(
            tr("Fetches the tiles of a region that a store lacks from a tile server, two "
               "requests at a time. A run that stops resumes where it stopped."));
        parser.addOptions({o.url, o.bbox, o.zoom, o.rate, o.contact, o.attempts, o.yes,
                           o.acceptFailures, o.failedList, o.dryRun, o.refreshOlderThan,
                           o.progressStyle, o.progressInterval, o.simulatedClock});
        parser.addOptions({o.name, o.description, o.attribution});
        return {QStringLiteral("OUT")};
    case Command::None:
        break;
    }
    return {};
}

bool CommandLine::parse(const QStringList &arguments)
{
    const Options &o = options();
    const QString name = arguments.value(1);
    if (arguments.size() < 2) {
        m_text = overview();
        m_exitCode = Console::Refused;
        return false;
    }
    if (name == QLatin1String("--help") || name == QLatin1String("-h")
        || name == QLatin1String("help")) {
        m_text = overview();
        return false;
    }
    if (name == QLatin1String("--version")) {
        m_text = QStringLiteral("veltra-tiles %1\n").arg(QStringLiteral(VELTRA_VERSION));
        return false;
    }
    static const QHash<QString, Command> commands{{QStringLiteral("info"), Command::Info},
                                                  {QStringLiteral("seed"), Command::Seed},
                                                  {QStringLiteral("copy"), Command::Copy},
                                                  {QStringLiteral("verify"), Command::Verify}};
    m_command = commands.value(name, Command::None);
    if (m_command == Command::None)
        return fail(tr("unknown command \"%1\"; veltra-tiles --help lists them").arg(name));

    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  tr("Shows this help."));
    parser.addOption(help);
    const QStringList paths = describe(parser);
    for (const QString &path : qAsConst(paths))
        parser.addPositionalArgument(path,
                                     path == QLatin1String("OUT")
                                         ? tr("Store to fill: a directory, a .sqlitedb or "
                                              "an .mbtiles file; made if missing.")
                                         : tr("A directory, .sqlitedb or .mbtiles file."));

    if (!parser.parse(QStringList{arguments.value(0)} + arguments.mid(2)))
        return fail(parser.errorText());
    if (parser.isSet(help)) {
        // Qt's usage line names the program as it was started, without the command.
        const QString text = parser.helpText();
        m_text = tr("Usage: veltra-tiles %1 [options] %2\n").arg(name, paths.join(QLatin1Char(' ')))
            + text.mid(text.indexOf(QLatin1Char('\n')) + 1);
        return false;
    }
    const QStringList given = parser.positionalArguments();
    if (given.size() != paths.size())
        return fail(tr("%1 takes %2, not %3 paths")
                        .arg(name, paths.join(QLatin1Char(' ')))
                        .arg(given.size()));

    switch (m_command) {
    case Command::Info:
    case Command::Verify:
        m_path = given.at(0);
        m_purge = m_command == Command::Verify && parser.isSet(o.purge);
        if (!QFileInfo::exists(m_path))
            return fail(tr("no tile store at \"%1\"").arg(m_path));
        return true;
    case Command::Copy:
        m_copy.source = given.at(0);
        m_copy.target = given.at(1);
        return parseCopy(parser);
    case Command::Seed:
        m_seed.output = given.at(0);
        return parseSeed(parser);
    case Command::None:
        break;
    }
    return false;
}

bool CommandLine::parseRegion(const QCommandLineParser &parser, Region *region)
{
    const Options &o = options();
    QString error;
    if (parser.isSet(o.bbox) && !region->setBounds(parser.value(o.bbox), &error))
        return fail(error);
    if (parser.isSet(o.zoom) && !region->setLevels(parser.value(o.zoom), &error))
        return fail(error);
    return true;
}

bool CommandLine::checkTarget(const QString &path)
{
    const QFileInfo info(path);
    const QString suffix = info.suffix().toLower();
    if (suffix.isEmpty() || suffix == QLatin1String("sqlitedb")
        || suffix == QLatin1String("mbtiles") || info.isFile())
        return true;
    return fail(tr("cannot tell what kind of store \"%1\" is to be: a directory has no suffix, "
                   "files end in .sqlitedb or .mbtiles")
                    .arg(path));
}

bool CommandLine::parseCopy(const QCommandLineParser &parser)
{
    const QFileInfo source(m_copy.source);
    if (!source.exists())
        return fail(tr("no tile store at \"%1\"").arg(m_copy.source));
    if (source.absoluteFilePath() == QFileInfo(m_copy.target).absoluteFilePath()
        || source.canonicalFilePath() == QFileInfo(m_copy.target).canonicalFilePath())
        return fail(tr("\"%1\" is both source and target").arg(m_copy.source));
    m_copy.skipExisting = parser.isSet(options().skipExisting);
    m_copy.dryRun = parser.isSet(options().dryRun);
    return parseRegion(parser, &m_copy.region) && checkTarget(m_copy.target)
        && parseMetadata(parser, m_copy.target, &m_copy.metadata);
}

bool CommandLine::parseMetadata(const QCommandLineParser &parser, const QString &target,
                                PackageMetadata *metadata)
{
    const Options &o = options();
    metadata->name = parser.value(o.name);
    metadata->description = parser.value(o.description);
    metadata->attribution = parser.value(o.attribution);
    if (metadata->isEmpty()
        || QFileInfo(target).suffix().compare(QLatin1String("mbtiles"), Qt::CaseInsensitive) == 0)
        return true;
    return fail(tr("--name, --description and --attribution are for .mbtiles packages, not "
                   "\"%1\"")
                    .arg(target));
}

bool CommandLine::parseSeed(const QCommandLineParser &parser)
{
    const Options &o = options();
    m_seed.dryRun = parser.isSet(o.dryRun);
    for (const QCommandLineOption &required : {o.url, o.bbox, o.zoom}) {
        // Counting needs no server.
        if (!parser.isSet(required) && !(m_seed.dryRun && required.names() == o.url.names()))
            return fail(tr("seed needs --%1").arg(required.names().constFirst()));
    }
    m_seed.urlTemplate = parser.value(o.url);
    const TileUrlTemplate urlTemplate(m_seed.urlTemplate);
    if (parser.isSet(o.url) && !urlTemplate.isUsable())
        return fail(tr("--url \"%1\": %2").arg(m_seed.urlTemplate, urlTemplate.problem()));
    if (!parseRegion(parser, &m_seed.region))
        return false;
    if (m_seed.region.maxZoom() > Seeder::DeepestServedLevel)
        return fail(tr("--zoom: tile servers publish levels 0 to %1, not %2")
                        .arg(Seeder::DeepestServedLevel)
                        .arg(m_seed.region.maxZoom()));
    if (!number(parser, o.rate, 0, 1e6, &m_seed.rate))
        return fail(tr("--rate takes requests per second, 0 for no limit: \"%1\"")
                        .arg(parser.value(o.rate)));
    double attempts = 0;
    if (!number(parser, o.attempts, 1, 100, &attempts) || attempts != std::floor(attempts))
        return fail(tr("--attempts takes a whole number from 1 to 100: \"%1\"")
                        .arg(parser.value(o.attempts)));
    m_seed.attempts = int(attempts);
    if (!Progress::parseStyle(parser.value(o.progressStyle), &m_seed.progress))
        return fail(tr("--progress takes auto, bar, lines or none: \"%1\"")
                        .arg(parser.value(o.progressStyle)));
    double interval = m_seed.progress == Progress::Style::Bar ? 0.25 : 10;
    if (parser.isSet(o.progressInterval)
        && !number(parser, o.progressInterval, 0, 86400, &interval))
        return fail(
            tr("--progress-interval takes seconds: \"%1\"").arg(parser.value(o.progressInterval)));
    m_seed.progressIntervalMs = qint64(interval * 1000);
    m_seed.contact = parser.value(o.contact);
    m_seed.yes = parser.isSet(o.yes);
    m_seed.acceptFailures = parser.isSet(o.acceptFailures);
    m_seed.simulatedClock = parser.isSet(o.simulatedClock);
    m_seed.failedList = parser.value(o.failedList);
    if (parser.isSet(o.refreshOlderThan)) {
        m_seed.refreshOlderThanSecs = durationSecs(parser.value(o.refreshOlderThan));
        if (m_seed.refreshOlderThanSecs < 0)
            return fail(tr("--refresh-older-than takes a duration such as 30d, 12h, 90m or "
                           "3600s: \"%1\"")
                            .arg(parser.value(o.refreshOlderThan)));
    }
    if (parser.isSet(o.failedList)) {
        const QFileInfo list(m_seed.failedList);
        if (list.isDir() || !list.absoluteDir().exists())
            return fail(tr("--failed takes a file in a directory that exists: \"%1\"")
                            .arg(m_seed.failedList));
    }
    return checkTarget(m_seed.output) && parseMetadata(parser, m_seed.output, &m_seed.metadata);
}

// veltra-tiles: prepares offline maps for the tile map widget. "veltra-tiles --help"
// lists the commands.
#include "CommandLine.h"
#include "Console.h"
#include "Copier.h"
#include "Inventory.h"
#include "Seeder.h"
#include "Verifier.h"

#include <QtCore/QCoreApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    Console::quietLibraries();

    CommandLine line;
    if (!line.parse(QCoreApplication::arguments())) {
        if (!line.error().isEmpty())
            Console::err(line.error());
        else
            std::fputs(qPrintable(line.text()), line.exitCode() ? Console::errorStream() : stdout);
        return line.exitCode();
    }
    switch (line.command()) {
    case CommandLine::Command::Info:
        return Inventory::run(line.path());
    case CommandLine::Command::Verify:
        return Verifier::run(line.path(), line.purge());
    case CommandLine::Command::Copy:
        return Copier(line.copy()).run();
    case CommandLine::Command::Seed:
        return Seeder(line.seed()).run();
    case CommandLine::Command::None:
        break;
    }
    return Console::Refused;
}

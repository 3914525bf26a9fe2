#ifndef CONSOLE_H
#define CONSOLE_H

#include <QtCore/QString>

#include <cstdio>

// What the tool prints, and the codes it exits with.
namespace Console {

enum ExitCode {
    Success = 0,
    // The work was done in part: tiles failed, bad tiles remain, a store failed.
    Failure = 1,
    // Nothing was done: bad arguments, or a run above the tile limit without --yes.
    Refused = 2
};

inline void out(const QString &text)
{
    std::fprintf(stdout, "%s\n", qPrintable(text));
    std::fflush(stdout);
}

inline void err(const QString &text)
{
    std::fprintf(stderr, "veltra-tiles: %s\n", qPrintable(text));
    std::fflush(stderr);
}

} // namespace Console

#endif

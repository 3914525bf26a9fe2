#ifndef CONSOLE_H
#define CONSOLE_H

#include <QtCore/QString>

#include <cstdio>

// What the tool prints, and the codes it exits with.
namespace Console {

enum ExitCode {
    Success = 0,
    // The work was done in part: tiles failed or were not stored, bad tiles remain, a
    // store failed.
    Failure = 1,
    // Nothing was done: bad arguments, no arguments, or a run above the tile limit
    // without --yes.
    Refused = 2,
    // Stopped by SIGINT (Ctrl-C) or SIGTERM, after writing what had arrived: 128 plus
    // the signal's number, as shells report it.
    Interrupted = 130,
    Terminated = 143
};

// The exit code of a run stopped by the signal signo.
int stoppedBy(int signo);

// Columns of the terminal: COLUMNS when it holds a number, else the size of the terminal
// on the standard error or output; 0 when neither tells, as for a file or a pipe.
int columns();
// Breaks each line of text at spaces, or inside a word longer than a line, into lines of
// at most width characters; width 0 leaves the text as it is.
QString wrap(const QString &text, int width);

// A line on the standard output, and one on the standard error after "veltra-tiles: ",
// both broken to the terminal's width.
void out(const QString &text);
void err(const QString &text);

// Keeps Qt's and the image libraries' messages off the terminal (a decoder's complaint
// about a tile it reads, the store's warnings): the tool says itself what went wrong.
// Some libraries write to the standard error directly, so the tool's own messages go to
// a copy of it and the descriptor itself to /dev/null; sanitizer reports still reach the
// copy. With QT_LOGGING_RULES set everything passes, for whoever asked for it.
void quietLibraries();
// Where the tool's messages and progress go: the standard error, or its copy.
FILE *errorStream();

} // namespace Console

#endif

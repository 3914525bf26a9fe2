#ifndef COMMANDLINE_H
#define COMMANDLINE_H

#include "Copier.h"
#include "Seeder.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QStringList>

class QCommandLineParser;

// The command line of veltra-tiles: a command, then its options and paths. Everything
// is checked here, before a store is opened or a byte written.
class CommandLine
{
    Q_DECLARE_TR_FUNCTIONS(CommandLine)

public:
    enum class Command { None, Info, Seed, Copy, Verify };

    // False when there is nothing to run: then either error() says what is wrong or
    // text() holds the help, the version or the usage, and exitCode() the code to exit with.
    bool parse(const QStringList &arguments);
    int exitCode() const { return m_exitCode; }

    Command command() const { return m_command; }
    QString error() const { return m_error; }
    QString text() const { return m_text; }

    // The store of info and verify.
    QString path() const { return m_path; }
    bool purge() const { return m_purge; }
    const Seeder::Options &seed() const { return m_seed; }
    const Copier::Options &copy() const { return m_copy; }

    static QString overview();

private:
    bool fail(const QString &error);
    // Adds the command's options; returns the names of its paths.
    QStringList describe(QCommandLineParser &parser) const;
    bool parseSeed(const QCommandLineParser &parser);
    bool parseCopy(const QCommandLineParser &parser);
    bool parseRegion(const QCommandLineParser &parser, Region *region);
    bool checkTarget(const QString &path);
    bool parseMetadata(const QCommandLineParser &parser, const QString &target,
                       PackageMetadata *metadata);

    Command m_command = Command::None;
    QString m_error;
    QString m_text;
    int m_exitCode = 0;
    QString m_path;
    bool m_purge = false;
    Seeder::Options m_seed;
    Copier::Options m_copy;
};

#endif

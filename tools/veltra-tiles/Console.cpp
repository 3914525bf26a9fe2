#include "Console.h"

#include <QtCore/QStringList>

#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
extern "C" void __sanitizer_set_report_fd(void *fd);
#endif

namespace {

FILE *toolErrors = nullptr;

void dropLibraryMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    // What stops the program is worth a line.
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(Console::errorStream(), "veltra-tiles: %s\n", qPrintable(text));
}

} // namespace

int Console::stoppedBy(int signo)
{
    return signo == SIGINT ? Interrupted : signo == SIGTERM ? Terminated : 128 + signo;
}

int Console::columns()
{
    bool ok = false;
    const int given = qEnvironmentVariableIntValue("COLUMNS", &ok);
    if (ok && given > 0 && given < 10000)
        return given;
    for (const int fd : {fileno(errorStream()), STDOUT_FILENO}) {
        winsize size = {};
        if (isatty(fd) && ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
            return size.ws_col;
    }
    return 0;
}

QString Console::wrap(const QString &text, int width)
{
    if (width <= 0)
        return text;
    QStringList lines;
    for (const QString &paragraph : text.split(QLatin1Char('\n'))) {
        const QStringList words = paragraph.split(QLatin1Char(' '));
        QString line;
        for (int i = 0; i < words.size(); ++i) {
            if (i == 0) {
                line = words.at(i);
            } else if (line.size() + 1 + words.at(i).size() <= width) {
                line += QLatin1Char(' ') + words.at(i);
            } else {
                lines << line;
                line = words.at(i);
            }
            while (line.size() > width) {
                lines << line.left(width);
                line = line.mid(width);
            }
        }
        lines << line;
    }
    return lines.join(QLatin1Char('\n'));
}

void Console::out(const QString &text)
{
    std::fprintf(stdout, "%s\n", qPrintable(wrap(text, columns())));
    std::fflush(stdout);
}

void Console::err(const QString &text)
{
    std::fprintf(errorStream(), "%s\n",
                 qPrintable(wrap(QStringLiteral("veltra-tiles: ") + text, columns())));
    std::fflush(errorStream());
}

void Console::quietLibraries()
{
    if (qEnvironmentVariableIsSet("QT_LOGGING_RULES") || toolErrors)
        return;
    qInstallMessageHandler(dropLibraryMessage);
    const int own = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    FILE *stream = own >= 0 && null >= 0 ? fdopen(own, "w") : nullptr;
    if (!stream) {
        for (const int fd : {own, null}) {
            if (fd >= 0)
                close(fd);
        }
        return;
    }
    setvbuf(stream, nullptr, _IONBF, 0);
    std::fflush(stderr);
    dup2(null, STDERR_FILENO);
    close(null);
    toolErrors = stream;
#if defined(__SANITIZE_ADDRESS__)
    __sanitizer_set_report_fd(reinterpret_cast<void *>(std::intptr_t(own)));
#endif
}

FILE *Console::errorStream()
{
    return toolErrors ? toolErrors : stderr;
}

#include "StopSignals.h"

#include <QtCore/QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t firstSignal = 0;
int wakePipe[2] = {-1, -1};
struct sigaction previous[2];
const int Caught[2] = {SIGINT, SIGTERM};

// Only what is safe in a signal handler: the handler hands the signal to the event loop.
void onSignal(int signo)
{
    if (!firstSignal)
        firstSignal = signo;
    const int saved = errno;
    const char byte = char(signo);
    [[maybe_unused]] const ssize_t n = write(wakePipe[1], &byte, 1);
    errno = saved;
}

} // namespace

StopSignals::StopSignals(QObject *parent) : QObject(parent)
{
    Q_ASSERT(wakePipe[0] < 0);
    firstSignal = 0;
    if (pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier.reset(new QSocketNotifier(wakePipe[0], QSocketNotifier::Read));
    connect(notifier.get(), &QSocketNotifier::activated, this, &StopSignals::readSignals);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 2; ++i)
        sigaction(Caught[i], &action, &previous[i]);
}

StopSignals::~StopSignals()
{
    if (wakePipe[0] < 0)
        return;
    for (int i = 0; i < 2; ++i)
        sigaction(Caught[i], &previous[i], nullptr);
    notifier.reset();
    close(wakePipe[0]);
    close(wakePipe[1]);
    wakePipe[0] = wakePipe[1] = -1;
}

int StopSignals::caught()
{
    return firstSignal;
}

void StopSignals::readSignals()
{
    char bytes[16];
    ssize_t n = 0;
    while ((n = read(wakePipe[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            Q_EMIT received(bytes[i]);
    }
}

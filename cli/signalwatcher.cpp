#include "cli/signalwatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

namespace
{
// SIGHUP: the terminal was closed, which stops the run as Ctrl-C does.
constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};
int pair[2] = {-1, -1};

void onSignal(int signal)
{
    const int saved = errno;
    const char byte = char(signal);
    // A failed write means a full socket, which already holds a stop for the main loop.
    [[maybe_unused]] const ssize_t written = ::write(pair[0], &byte, 1);
    errno = saved;
}
} // namespace

SignalWatcher::SignalWatcher() = default;

SignalWatcher::~SignalWatcher()
{
    for (const int signal : StopSignals)
        std::signal(signal, SIG_DFL);
    delete notifier;
    for (int &fd : pair) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

bool SignalWatcher::install()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return false;
    notifier = new QSocketNotifier(pair[1], QSocketNotifier::Read);
    connect(notifier, &QSocketNotifier::activated, this, &SignalWatcher::drain);
    struct sigaction action {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : StopSignals)
        if (::sigaction(signal, &action, nullptr) != 0)
            return false;
    return true;
}

void SignalWatcher::drain()
{
    char byte = 0;
    if (::read(pair[1], &byte, 1) == 1)
        emit caught(int(byte));
}

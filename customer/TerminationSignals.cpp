#include "customer/TerminationSignals.h"

#include "lib/debugProc.h"

#include <QSocketNotifier>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A signal handler can reach nothing but a process-wide value.
std::atomic<int> gSignalFd{-1};

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void OnTerminationSignal(int signal)
{
    const int fd = gSignalFd.load();
    if (fd >= 0) {
        const char byte = static_cast<char>(signal);
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
}

} // namespace

TorvTerminationSignals::TorvTerminationSignals(std::function<void()> onSignal)
    : FOnSignal(std::move(onSignal))
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, FFds) != 0) {
        DebugLog("Unable to watch for termination signals");
        FFds[0] = FFds[1] = -1;
        return;
    }
    gSignalFd = FFds[1];
    FNotifier = std::make_unique<QSocketNotifier>(FFds[0], QSocketNotifier::Read);
    connect(FNotifier.get(), &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(FFds[0], bytes, sizeof bytes) > 0) {
            DebugLogFmt("Signal %d: closing", static_cast<int>(bytes[0]));
            if (FOnSignal)
                FOnSignal();
        }
    });
    struct sigaction action
    {
    };
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int s : kSignals)
        ::sigaction(s, &action, nullptr);
}

TorvTerminationSignals::~TorvTerminationSignals()
{
    struct sigaction action
    {
    };
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (int s : kSignals)
        ::sigaction(s, &action, nullptr);
    gSignalFd = -1;
    FNotifier.reset();
    for (int& fd : FFds)
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
}

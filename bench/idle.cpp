// The CPU the whole customer program uses while nothing happens: first
// registered and waiting for the helpdesk, then in a session with every
// channel thread running (command, remote desktop, chat, file transfer) and
// no traffic but keep-alives. Runs the built bin/orvcustomer on the offscreen
// platform against a local orvgateway; this process is the helpdesk.
//
// Usage: bench/idle [seconds per figure (default 30)]

#include "bench/CustomerProcess.h"
#include "bench/Figure.h"
#include "lib/orvAppUtils.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvThreads.h"
#include "tests/support/TestUtil.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace {

using orvbench::Clock;
using orvbench::TCustomer;
using orvbench::TCustomerSetup;
using namespace std::chrono_literals;

// CPU time of every thread of the process so far, in seconds (the scheduler's
// nanosecond count, finer than the tick-based utime and stime).
double ProcessCpuSeconds(pid_t pid)
{
    double total = 0;
    std::error_code ec;
    for (const auto& task :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
        std::ifstream schedstat(task.path() / "schedstat");
        unsigned long long ns = 0;
        if (schedstat >> ns)
            total += static_cast<double>(ns) / 1e9;
    }
    return total;
}

std::size_t ThreadCount(pid_t pid)
{
    std::error_code ec;
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++n;
    return n;
}

// Percent of one core the process uses over the time given.
double IdlePercent(pid_t pid, std::chrono::seconds span)
{
    const double before = ProcessCpuSeconds(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(span);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return (ProcessCpuSeconds(pid) - before) / seconds * 100.0;
}

} // namespace

int main(int argc, char** argv)
{
    const auto span = std::chrono::seconds(argc > 1 ? std::max(5, std::atoi(argv[1])) : 30);
    TCustomerSetup setup;
    if (!setup.Make())
        return 1;
    const std::string& program = setup.Program();
    const std::string& settings = setup.Settings();

    orvSync::SetMainThread();
    orvStartConnectionCore();
    int rc = 0;
    {
        TCustomer customer(program, setup.Folder(), {"/AUTOCONNECT"});
        if (customer.WaitForLog("Session code is ") < 0) {
            std::fprintf(stderr, "the customer did not register\n");
            return 1;
        }
        std::this_thread::sleep_for(2s); // past the first keep-alives
        const double waiting = IdlePercent(customer.Pid(), span);
        std::printf("registered, waiting for the helpdesk: %.3f%% of one core (%zu threads)\n", waiting,
                    ThreadCount(customer.Pid()));
        Figure("customer program waiting for the helpdesk: CPU % of one core", waiting, 3);

        auto helpdesk = orvbench::JoinSession(settings, customer.NumberAfter("Session code is "));
        if (!helpdesk) {
            std::fprintf(stderr, "the helpdesk could not join\n");
            rc = 1;
        } else {
            std::this_thread::sleep_for(3s); // the channel threads start with the session
            const double session = IdlePercent(customer.Pid(), span);
            std::printf("in a session where nothing happens: %.3f%% of one core (%zu threads)\n", session,
                        ThreadCount(customer.Pid()));
            Figure("customer program in an idle session: CPU % of one core", session, 3);
            helpdesk.reset();
        }
        customer.Stop();
    }
    orvShutdownConnectionCore();
    return rc;
}

// Time from TOrvServers.Start to a registered connection against a local
// orvgateway, and the CPU one registered, idle connection costs the process.
#include "bench/Figure.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvThreads.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/SessionUtil.h"
#include "tests/support/TestUtil.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// What a bare 1 ms sleep loop costs on this machine: the floor under the connection thread.
double SleepLoopMsPerSecond()
{
    const double before = CpuSeconds();
    const auto end = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return (CpuSeconds() - before) * 1000.0 / 5.0;
}

} // namespace

int main()
{
    orvSync::SetMainThread();
    orvStartConnectionCore();
    int rc = 0;
    {
        orvtest::GatewayProcess gateway;
        orvtest::TempDir dir;
        const std::string ini = dir.File("bench.ini");
        gateway.WriteClientSettings(ini);

        constexpr int runs = 7;
        std::vector<double> ms;
        std::unique_ptr<TorvConnection> last;
        for (int i = 0; i < runs; ++i) {
            TOrvServers servers(ini);
            const auto start = Clock::now();
            servers.Start(0, orvKindCustomer, "beta4", "EN", 1);
            auto connection = orvtest::Establish(servers);
            if (!connection) {
                std::fprintf(stderr, "establishment failed (error code %d)\n", servers.ErrorCode());
                rc = 1;
                break;
            }
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            last = std::move(connection);
        }
        if (!ms.empty()) {
            std::sort(ms.begin(), ms.end());
            std::printf(
                "Start to registered, %zu runs: median %.0f ms (min %.0f, max %.0f); the floor is the 1 s "
                "first keep-alive\n",
                ms.size(), ms[ms.size() / 2], ms.front(), ms.back());
            Figure("start to registered, median: ms", ms[ms.size() / 2], 0);
            Figure("start to registered, min: ms", ms.front(), 0);
            Figure("start to registered, max: ms", ms.back(), 0);
        }
        if (last) {
            // Only the registered connection is left: its command thread, the
            // connection thread's 1 ms loop and a keep-alive every 5 s.
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const double before = CpuSeconds();
            std::this_thread::sleep_for(std::chrono::seconds(10));
            const double used = CpuSeconds() - before;
            std::printf("one registered idle connection: %.1f ms CPU per second (%.2f%% of one core)\n",
                        used * 1000.0 / 10.0, used / 10.0 * 100.0);
            Figure("one registered idle connection: CPU ms/s", used * 1000.0 / 10.0, 1);
            last.reset();
            const double sleepLoop = SleepLoopMsPerSecond();
            std::printf("for comparison, a bare 1 ms sleep loop on this machine: %.1f ms CPU per second\n",
                        sleepLoop);
            Figure("bare 1 ms sleep loop: CPU ms/s", sleepLoop, 1);
        }
    }
    orvShutdownConnectionCore();
    return rc;
}

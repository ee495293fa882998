// The customer program's start-up time (process start to the main window
// shown) and its resident memory after start and after full sessions with a
// helpdesk against a local orvgateway. Runs the built bin/orvcustomer on the
// offscreen platform, from a copy in a private folder so that its settings
// file and log are its own.
//
// Usage: bench/startup [start-up runs (default 5)] [sessions (default 5)]

#include "bench/CustomerProcess.h"
#include "bench/Figure.h"
#include "lib/orvAppUtils.h"
#include "lib/orvCommandThread.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvThreads.h"
#include "tests/support/TestUtil.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using orvbench::Clock;
using orvbench::Ms;
using orvbench::TCustomer;
using orvbench::TCustomerSetup;
using namespace std::chrono_literals;

// The helpdesk end: joins the session, exchanges commands, leaves.
bool RunSession(const std::string& settings, long code, int commands)
{
    auto connection = orvbench::JoinSession(settings, code);
    if (!connection)
        return false;
    auto* command = dynamic_cast<TorvCommandThread*>(connection->FindChannelThread(orvCommandChannel));
    // Unknown commands: the customer answers each with "20:" and the text.
    int answered = 0;
    for (int i = 0; i < commands; ++i) {
        command->Send("990:" + std::to_string(i));
        orvtest::WaitUntil(
            [&] {
                for (std::string text; !(text = command->GetUnhandledCommand()).empty();)
                    if (text.rfind("20:990:", 0) == 0)
                        ++answered;
                return answered > i;
            },
            10s);
    }
    command->SendLeave();
    connection.reset();
    return answered == commands;
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const int sessions = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    TCustomerSetup setup;
    if (!setup.Make())
        return 1;
    const std::string& program = setup.Program();
    const std::string& settings = setup.Settings();

    orvSync::SetMainThread();
    orvStartConnectionCore();

    // Start-up: process start to the window shown.
    std::vector<double> times;
    long startRss = -1;
    for (int i = 0; i < runs; ++i) {
        TCustomer customer(program, setup.Folder(), {});
        const double shown = customer.WaitForLog("Main form shown");
        if (shown < 0) {
            std::fprintf(stderr, "the window did not come up\n");
            return 1;
        }
        times.push_back(shown);
        std::this_thread::sleep_for(500ms);
        startRss = customer.RssKiB();
    }
    std::sort(times.begin(), times.end());
    std::printf("start-up to window shown: median %.1f ms, min %.1f ms, max %.1f ms (%d runs)\n",
                times[times.size() / 2], times.front(), times.back(), runs);
    std::printf("resident memory after start (idle, first page): %ld KiB\n", startRss);
    Figure("start-up to window shown, median: ms", times[times.size() / 2], 1);
    Figure("start-up to window shown, min: ms", times.front(), 1);
    Figure("start-up to window shown, max: ms", times.back(), 1);
    Figure("resident memory after start: KiB", static_cast<double>(startRss), 0);

    // Sessions: connect, the helpdesk joins, 50 commands answered, the helpdesk leaves.
    TCustomer customer(program, setup.Folder(), {"/AUTOCONNECT"});
    if (customer.WaitForLog("Session code is ") < 0) {
        std::fprintf(stderr, "the customer did not register\n");
        return 1;
    }
    std::this_thread::sleep_for(500ms);
    const long registeredRss = customer.RssKiB();
    const long code = customer.NumberAfter("Session code is ");
    std::printf("resident memory after start and registration (session code shown): %ld KiB\n",
                registeredRss);
    Figure("resident memory after registration: KiB", static_cast<double>(registeredRss), 0);
    for (int s = 1; s <= sessions; ++s) {
        const auto started = Clock::now();
        if (!RunSession(settings, code, 50)) {
            std::fprintf(stderr, "session %d failed\n", s);
            return 1;
        }
        // Back to waiting: the gateway told the customer that the helpdesk left.
        orvtest::WaitUntil(
            [&] { return customer.LogCount("received command: 6, data") >= static_cast<std::size_t>(s); },
            20s);
        std::this_thread::sleep_for(500ms);
        if (s == 1 || s == sessions) {
            const long rss = customer.RssKiB();
            const double sessionMs = Ms(Clock::now() - started);
            std::printf("resident memory after %d full session%s: %ld KiB (last session %.0f ms)\n", s,
                        s == 1 ? "" : "s", rss, sessionMs);
            const std::string after = "after " + std::to_string(s) + (s == 1 ? " session" : " sessions");
            Figure("resident memory " + after + ": KiB", static_cast<double>(rss), 0);
            Figure("session " + std::to_string(s) + " with 50 commands: ms", sessionMs, 0);
        }
    }
    customer.Stop();
    orvShutdownConnectionCore();
    return 0;
}

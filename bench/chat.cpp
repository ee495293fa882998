// Chat through a local orvgateway: how long a helpdesk line takes to be shown
// by the customer's chat thread when it is idle, and how many lines a second
// a burst moves each way.
#include "bench/BenchMain.h"
#include "bench/Figure.h"
#include "lib/orvChat.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvThreads.h"
#include "tests/support/ChannelCollector.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/SessionUtil.h"
#include "tests/support/TestUtil.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr int kLatencyLines = 40;
constexpr int kBurstLines = 1000;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

int Run()
{
    orvtest::GatewayProcess gateway;
    orvtest::TempDir dir;
    const std::string settings = dir.File("orvcustomer.ini");
    gateway.WriteClientSettings(settings);

    auto customer = orvtest::JoinSession(settings, 0, orvKindCustomer);
    if (!customer) {
        std::fprintf(stderr, "the customer did not register\n");
        return 1;
    }
    std::size_t shown = 0;
    auto thread = std::make_unique<TOrvChatThread>();
    thread->SetOnChatMessage([&shown](const std::string&) { ++shown; });
    TOrvChatThread& chat = orvStartChannelThread(*customer, orvChatChannel, std::move(thread));

    auto helpdesk = orvtest::JoinSession(settings, customer->SessionIdentifier(), orvKindHelpdesk);
    if (!helpdesk) {
        std::fprintf(stderr, "the helpdesk did not join\n");
        return 1;
    }
    auto& received =
        orvStartChannelThread(*helpdesk, orvChatChannel, std::make_unique<orvtest::ChannelCollector>());
    if (!orvtest::ServeUntil([&] { return customer->ServerConnectionState() == scsTotallyConnected; }))
        return 1;

    // One line at a time, the chat thread idle in between.
    std::vector<double> latency;
    for (int i = 0; i < kLatencyLines; ++i) {
        orvSync::CheckSynchronize(100);
        const std::size_t before = shown;
        const auto start = Clock::now();
        helpdesk->Send(orvChatChannel, "1:line " + std::to_string(i));
        if (!orvtest::ServeUntil([&] { return shown > before; }))
            return 1;
        latency.push_back(Ms(Clock::now() - start));
    }
    std::sort(latency.begin(), latency.end());
    const double median = latency[latency.size() / 2];
    std::printf("helpdesk line to shown, idle chat thread: median %.2f ms, max %.2f ms (%d lines)\n", median,
                latency.back(), kLatencyLines);
    Figure("line to shown, median: ms", median, 2);
    Figure("line to shown, max: ms", latency.back(), 2);

    // Bursts both ways.
    shown = 0;
    auto start = Clock::now();
    for (int i = 0; i < kBurstLines; ++i)
        helpdesk->Send(orvChatChannel, "1:burst " + std::to_string(i));
    if (!orvtest::ServeUntil([&] { return shown >= kBurstLines; }))
        return 1;
    const double in = kBurstLines / (Ms(Clock::now() - start) / 1000.0);
    start = Clock::now();
    for (int i = 0; i < kBurstLines; ++i)
        chat.SendChatMessage("burst " + std::to_string(i));
    if (!orvtest::ServeUntil(
            [&] { return received.Texts().size() >= static_cast<std::size_t>(kBurstLines); }))
        return 1;
    const double out = kBurstLines / (Ms(Clock::now() - start) / 1000.0);
    std::printf("burst of %d lines: helpdesk to customer %.0f lines/s, customer to helpdesk %.0f lines/s\n",
                kBurstLines, in, out);
    Figure("burst in: lines/s", in, 0);
    Figure("burst out: lines/s", out, 0);
    return 0;
}

} // namespace

int main()
{
    return orvBenchMain("chat", Run);
}

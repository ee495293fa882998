// RFB bytes through both relays and a local orvgateway: throughput and added
// latency each way, from the host program's socket to the viewer program's
// socket, beside a direct loopback copy measured in the same run. The bench
// plays both programs; both sides' channel threads run in this process.
#include "bench/BenchMain.h"
#include "bench/Figure.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvOSUtils.h"
#include "lib/orvThreads.h"
#include "lib/orvVNCThread.h"
#include "lib/orvVNCViewerModule.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/SessionUtil.h"
#include "tests/support/TestUtil.h"
#include "transport/MCTcpLink.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kBulkBytes = 32u << 20;
constexpr int kLatencySamples = 40;
constexpr std::size_t kPacket = 64; // a frame-update-sized chunk: forwarded in the run that reads it
constexpr std::size_t kPointer = 6; // a pointer event: the small-chunk rule applies

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// The host and viewer programs are this bench: the host is a listener of
// ours, and the viewer connects when the viewer relay starts it. One process
// plays both sides, so the host's port stays the port in force.
class TBenchOSUtils : public TorvWDefaultUtils
{
public:
    explicit TBenchOSUtils(std::uint16_t hostPort) : FHostPort(std::to_string(hostPort)) {}

    void StartHost() override
    {
        PortText = FHostPort;
        UseFixedPassword();
    }
    void CloseHost() override {}
    bool IsHostRunning() override { return true; }
    bool IsHostListening(int) override { return true; }
    void StartViewer() override
    {
        PortText = FHostPort;
        auto viewer = std::make_unique<TMCTcpLink>();
        if (!viewer->Connect("127.0.0.1", TdmVncViewer::orvViewerRelayPort, 5000))
            throw EorvException("the bench's viewer cannot connect");
        std::lock_guard lock(FMutex);
        FViewer = std::move(viewer);
    }
    std::unique_ptr<TMCTcpLink> TakeViewer()
    {
        std::lock_guard lock(FMutex);
        return std::move(FViewer);
    }

private:
    std::string FHostPort;
    std::mutex FMutex;
    std::unique_ptr<TMCTcpLink> FViewer;
};

// Reads exactly n bytes (or fails after the deadline).
bool ReadExactly(TMCTcpLink& link, std::string& into, std::size_t n,
                 Clock::duration deadline = std::chrono::seconds(60))
{
    const auto end = Clock::now() + deadline;
    while (into.size() < n) {
        if (Clock::now() > end)
            return false;
        const TMCTcpLink::TRead r = link.ReadAvailable(into, 50);
        if (r == TMCTcpLink::TRead::Closed || r == TMCTcpLink::TRead::Failed)
            return false;
    }
    return true;
}

struct TDirection
{
    double MBps = 0;
    double MedianMs = 0;
    double MaxMs = 0;
    double PointerMedianMs = 0;
};

// Bulk bytes and then single packets from one socket to the other.
bool Measure(TMCTcpLink& from, TMCTcpLink& to, TDirection& result)
{
    // Bulk: a writer thread pushes, this thread reads.
    std::string bulk(kBulkBytes, '\0');
    for (std::size_t i = 0; i < bulk.size(); ++i)
        bulk[i] = static_cast<char>(i * 131 + 7);
    const auto start = Clock::now();
    std::atomic<bool> written{false};
    std::thread writer([&] { written = from.WriteAll(bulk, 60000) == TMCTcpLink::TWrite::Done; });
    std::string got;
    const bool read = ReadExactly(to, got, bulk.size(), std::chrono::seconds(120));
    const auto elapsed = Clock::now() - start;
    writer.join();
    if (!read || !written || got != bulk) {
        std::fprintf(stderr, "bulk transfer incomplete or changed (%zu of %zu bytes)\n", got.size(),
                     bulk.size());
        return false;
    }
    result.MBps =
        static_cast<double>(kBulkBytes) / (1 << 20) / std::chrono::duration<double>(elapsed).count();

    auto latencies = [&](std::size_t size, std::vector<double>& out) {
        for (int i = 0; i < kLatencySamples; ++i) {
            // Spread the sends over the forwarding period.
            std::this_thread::sleep_for(std::chrono::milliseconds(13 + (i * 37) % 90));
            const std::string packet(size, static_cast<char>('a' + i % 26));
            const auto sent = Clock::now();
            if (from.WriteAll(packet, 5000) != TMCTcpLink::TWrite::Done)
                return false;
            std::string in;
            if (!ReadExactly(to, in, size) || in != packet)
                return false;
            out.push_back(Ms(Clock::now() - sent));
        }
        std::sort(out.begin(), out.end());
        return true;
    };
    std::vector<double> packets, pointers;
    if (!latencies(kPacket, packets) || !latencies(kPointer, pointers)) {
        std::fprintf(stderr, "a latency packet was lost\n");
        return false;
    }
    result.MedianMs = packets[packets.size() / 2];
    result.MaxMs = packets.back();
    result.PointerMedianMs = pointers[pointers.size() / 2];
    return true;
}

int Run()
{
    TMCTcpListener host;
    if (!host.Listen("127.0.0.1", 0, false))
        return 1;
    TorvOSUtilsScope osUtils(std::make_unique<TBenchOSUtils>(host.LocalPort()));
    auto& bench = static_cast<TBenchOSUtils&>(OSUtils());

    orvtest::GatewayProcess gateway;
    orvtest::TempDir dir;
    const std::string settings = dir.File("orvcustomer.ini");
    gateway.WriteClientSettings(settings);
    auto customer = orvtest::JoinSession(settings, 0, orvKindCustomer);
    if (!customer)
        return 1;
    auto showing = std::make_unique<TorvVNCThread>();
    showing->HostStartWaitMs = 0;
    TorvVNCThread& shower = orvStartChannelThread(*customer, orvRemoteDesktopChannel, std::move(showing));
    auto helpdesk = orvtest::JoinSession(settings, customer->SessionIdentifier(), orvKindHelpdesk);
    if (!helpdesk)
        return 1;
    auto watching = std::make_unique<TorvVNCThread>();
    watching->ViewerStartWaitMs = 0;
    watching->ViewerPollMs = 10;
    TorvVNCThread& watcher = orvStartChannelThread(*helpdesk, orvRemoteDesktopChannel, std::move(watching));
    if (!orvtest::ServeUntil(
            [&] { return shower.GetState() == vsConnected && watcher.GetState() == vsConnected; }))
        return 1;

    shower.SetIsServer(true);
    shower.Send("0:VNCCLIENT");
    shower.AddMessage("0:VNCSERVER");
    std::optional<int> accepted;
    if (!orvtest::ServeUntil([&] {
            if (!accepted)
                accepted = host.Accept();
            return accepted && shower.GetState() == vsCustomerAsViewer &&
                   watcher.GetState() == vsCustomerAsViewer;
        })) {
        std::fprintf(stderr, "the remote desktop did not start\n");
        return 1;
    }
    TMCTcpLink hostSide(*accepted);
    std::unique_ptr<TMCTcpLink> viewerSide = bench.TakeViewer();
    if (!viewerSide)
        return 1;

    TDirection toViewer, toHost;
    if (!Measure(hostSide, *viewerSide, toViewer) || !Measure(*viewerSide, hostSide, toHost))
        return 1;

    // The same measurements over a direct loopback connection.
    TMCTcpListener direct;
    direct.Listen("127.0.0.1", 0, false);
    TMCTcpLink a;
    a.Connect("127.0.0.1", direct.LocalPort(), 5000);
    std::optional<int> b;
    orvtest::WaitUntil([&] { return (b = direct.Accept()).has_value(); });
    TMCTcpLink bLink(*b);
    TDirection loopback;
    if (!Measure(a, bLink, loopback))
        return 1;

    std::printf("rfb: %zu MiB each way through both relays and orvgateway\n", kBulkBytes >> 20);
    std::printf("  host -> viewer: %.1f MiB/s; %zu-byte packet added latency median %.1f ms, max %.1f ms; "
                "%zu-byte median %.1f ms\n",
                toViewer.MBps, kPacket, toViewer.MedianMs, toViewer.MaxMs, kPointer,
                toViewer.PointerMedianMs);
    std::printf("  viewer -> host: %.1f MiB/s; %zu-byte packet added latency median %.1f ms, max %.1f ms; "
                "%zu-byte median %.1f ms\n",
                toHost.MBps, kPacket, toHost.MedianMs, toHost.MaxMs, kPointer, toHost.PointerMedianMs);
    std::printf("  direct loopback: %.1f MiB/s; %zu-byte packet %.3f ms\n", loopback.MBps, kPacket,
                loopback.MedianMs);
    Figure("rfb host->viewer MiB/s", toViewer.MBps, 1);
    Figure("rfb viewer->host MiB/s", toHost.MBps, 1);
    Figure("rfb host->viewer 64 B latency median ms", toViewer.MedianMs, 1);
    Figure("rfb host->viewer 64 B latency max ms", toViewer.MaxMs, 1);
    Figure("rfb viewer->host 64 B latency median ms", toHost.MedianMs, 1);
    Figure("rfb viewer->host 64 B latency max ms", toHost.MaxMs, 1);
    Figure("rfb host->viewer 6 B latency median ms", toViewer.PointerMedianMs, 1);
    Figure("rfb viewer->host 6 B latency median ms", toHost.PointerMedianMs, 1);
    Figure("rfb direct loopback MiB/s", loopback.MBps, 1);
    Figure("rfb direct loopback 64 B latency ms", loopback.MedianMs, 3);

    shower.Send("5:REMOTELYCLOSED");
    shower.AddMessage("5:");
    helpdesk.reset();
    customer.reset();
    return 0;
}

} // namespace

int main()
{
    return orvBenchMain("rfb", Run);
}

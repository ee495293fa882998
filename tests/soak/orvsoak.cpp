// The soak session of scripts/soak: one long session through the development
// gateway, with chat lines each way, files both ways at the send budget and an
// RFB stream both ways, every byte checked on arrival (a wrong one is an
// "ERROR" line).
//
// Two processes, so that the customer's memory, threads and descriptors can be
// sampled alone: --role helpdesk starts the gateway, joins as the helpdesk and
// plays the RFB host and viewer programs; --role customer is the customer with
// the real core, its host relay connecting to that host program, and its
// session receipt. They find each other through files in --dir.
#include "lib/orvAppUtils.h"
#include "lib/orvCommandThread.h"
#include "lib/orvConnections.h"
#include "lib/orvOSUtils.h"
#include "lib/orvSessionReceipt.h"
#include "lib/orvThreads.h"
#include "lib/orvVNCThread.h"
#include "tests/soak/SoakSession.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/SessionUtil.h"
#include "transport/MCTcpLink.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <malloc.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <stop_token>
#include <string>
#include <sys/socket.h>
#include <thread>

using namespace orvsoak;
using namespace std::chrono_literals;

namespace {

std::atomic<bool> gStop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void OnSignal(int)
{
    gStop = true;
}

// The end waits at most this long for everything in flight.
constexpr auto kDrainTime = 180s;
constexpr auto kJoinTime = 120s;
constexpr auto kProgressEvery = 60s;
// No RFB byte arriving for this long while the stream runs is a stall.
constexpr auto kRfbStall = 30s;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// The heap as malloc counts it: what the process holds on to beside what it
// uses tells fragmentation from growth.
void LogHeap(TLog& log)
{
    const struct mallinfo2 heap = mallinfo2();
    log.Info("heap: %zu kB in use, %zu kB free in the arenas, %zu kB mapped on their own",
             heap.uordblks / 1024, heap.fordblks / 1024, heap.hblkhd / 1024);
}

bool SessionUp(TorvConnection& connection)
{
    return connection.GetConnectionState() == csConnected &&
           connection.ServerConnectionState() == scsTotallyConnected;
}

std::string Shared(const TOptions& options, const char* name)
{
    return options.Dir + "/" + name;
}

void LogCommands(TorvConnection& connection, TLog& log)
{
    auto* command = dynamic_cast<TorvCommandThread*>(connection.FindChannelThread(orvCommandChannel));
    for (std::string text; command && !(text = command->GetUnhandledCommand()).empty();)
        log.Info("command: %s", EscapeChannelText(text).c_str());
}

// ---------------------------------------------------------------------------
// Customer
// ---------------------------------------------------------------------------

// The host program runs already and listens where the helpdesk process said;
// it is not ours to start or end.
class TSoakOSUtils : public TorvWDefaultUtils
{
public:
    explicit TSoakOSUtils(std::string port) : FPort(std::move(port)) {}
    void StartHost() override
    {
        PortText = FPort;
        UseFixedPassword();
    }
    void CloseHost() override {}
    bool IsHostRunning() override { return true; }
    bool IsHostListening(int) override { return true; }

private:
    std::string FPort;
};

// The remote-desktop requests as a customer who allowed viewing at start answers them.
void HandleDesktopEntries(TorvVNCThread& desktop, TLog& log)
{
    for (std::string entry; !(entry = desktop.GetUnhandledCommand()).empty();) {
        const TorvCommandParts parts = SplitCommandText(entry);
        if (parts.Code == orvVNC::Request && parts.Data == JoinCommand(orvVNC::Start, orvVNC::Server)) {
            log.Info("the helpdesk asks to see the desktop: shown");
            if (desktop.Send(JoinCommand(orvVNC::Start, orvVNC::Client)))
                desktop.AddMessage(JoinCommand(orvVNC::Start, orvVNC::Server));
            else
                log.Error("the remote desktop could not be started");
        } else if (parts.Code == orvVNC::Request) {
            log.Info("remote desktop request not handled: %s", entry.c_str());
            desktop.SendCommandNotHandled(entry);
        } else if (parts.Code == orvVNC::Notice) {
            log.Info("remote desktop notice: %s", parts.Data.c_str());
        }
    }
}

int RunCustomer(const TOptions& options, TLog& log)
{
    const std::string settings = Shared(options, "orvsoak.ini");
    const auto port = WaitForFile(Shared(options, "hostport"), kJoinTime, gStop);
    if (!port || !WaitForFile(settings, kJoinTime, gStop)) {
        log.Error("the helpdesk process did not write the settings and the host's port");
        return 2;
    }
    TorvOSUtilsScope osUtils(std::make_unique<TSoakOSUtils>(*port));
    // An empty folder keeps the receipt in memory only.
    auto receipt = std::make_shared<TorvSessionReceipt>(
        options.Receipt ? options.Dir + "/customer/receipts" : std::string(), "orvsoak");

    const auto pressed = std::chrono::system_clock::now();
    std::unique_ptr<TorvConnection> connection = orvtest::JoinSession(settings, 0, orvKindCustomer);
    if (!connection) {
        log.Error("the customer did not register");
        return 2;
    }
    const int code = connection->SessionIdentifier() - orvSessionIDBase;
    receipt->Connected(connection->GetAddress(), connection->GetPort(), code, pressed);
    receipt->Permission(1, "set by the start switch /ALLOWVIEWING");

    TSide side(log, options, "customer", "helpdesk");
    side.Attach(*connection, options.Receipt ? receipt : nullptr);
    TorvRemoteDesktopParts parts = TorvRemoteDesktopParts::Default();
    // The host program's window is the helpdesk process's: nothing to post to.
    parts.PostHostViewOnly = [](bool) { return true; };
    parts.PostViewerSettings = [] { return true; };
    TorvVNCThread& desktop =
        orvStartChannelThread(*connection, orvRemoteDesktopChannel, std::make_unique<TorvVNCThread>(parts));
    WriteAtomically(Shared(options, "session"), std::to_string(connection->SessionIdentifier()));
    log.Info("registered with session code %06d; waiting for the helpdesk", code);

    if (!orvtest::ServeUntil([&] { return gStop || SessionUp(*connection); }, kJoinTime) || gStop) {
        log.Error("the helpdesk did not join");
        return 2;
    }
    receipt->HelpdeskJoined();
    log.Info("the helpdesk joined; producing for %.1f minutes", options.Minutes);

    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(options.Minutes * 60));
    Clock::time_point endStarted, nextProgress = start + kProgressEvery;
    TVNCState shown = desktop.GetState();
    bool desktopRan = false, broken = false;
    while (!gStop) {
        orvSync::CheckSynchronize(20);
        const auto now = Clock::now();
        if (!SessionUp(*connection)) {
            log.Error("the session broke (connection state %d, server state %d)",
                      static_cast<int>(connection->GetConnectionState()),
                      static_cast<int>(connection->ServerConnectionState()));
            broken = true;
            break;
        }
        LogCommands(*connection, log);
        HandleDesktopEntries(desktop, log);
        const TVNCState state = desktop.GetState();
        if (state != shown) {
            log.Info("remote desktop %s", TorvVNCThread::StateName(state));
            if (state == vsCustomerAsViewer && !desktopRan) {
                desktopRan = true;
                receipt->DesktopStarted(true);
            } else if (shown == vsCustomerAsViewer) {
                log.Error("the remote desktop ended before the session");
                broken = true;
                break;
            }
            shown = state;
        }
        side.Step();
        if (side.Stalled()) {
            broken = true;
            break;
        }
        if (side.Producing() && now >= deadline) {
            side.StopProducing();
            endStarted = now;
            LogHeap(log);
            // scripts/soak marks where the end began.
            WriteAtomically(Shared(options, "customer-ending"), std::to_string(Seconds(now - start)));
        }
        if (!side.Producing()) {
            if (side.Drained() && side.PeerDone())
                break;
            if (now - endStarted > kDrainTime) {
                log.Error("the end did not drain in %.0f s", Seconds(kDrainTime));
                broken = true;
                break;
            }
        }
        if (now >= nextProgress) {
            side.Progress();
            LogHeap(log);
            nextProgress += kProgressEvery;
        }
    }
    if (gStop)
        log.Info("stopped by a signal");
    if (!desktopRan)
        log.Error("the remote desktop never ran");

    // As the customer would: stop the remote desktop, then Disconnect.
    if (desktop.GetState() == vsCustomerAsViewer &&
        desktop.Send(JoinCommand(orvVNC::Close, orvVNC::RemotelyClosed))) {
        desktop.AddMessage(JoinCommand(orvVNC::Close, ""));
        if (!orvtest::ServeUntil([&] { return desktop.GetState() != vsCustomerAsViewer; }, 10s))
            log.Error("the remote desktop did not stop");
        receipt->DesktopStopped(true);
    }
    receipt->Ended(TorvEndReason::Disconnect);
    if (auto* command = dynamic_cast<TorvCommandThread*>(connection->FindChannelThread(orvCommandChannel))) {
        command->SendErrorCode(orvResult::CustomerClosed);
        command->SendLeave();
    }
    connection.reset();

    std::string summary;
    side.Summary(summary);
    std::printf("SOAK customer%s receipt_entries=%zu broken=%d\n", summary.c_str(), receipt->Entries().size(),
                broken ? 1 : 0);
    std::fflush(stdout);
    if (!receipt->WriteError().empty())
        log.Error("the receipt could not be written: %s", receipt->WriteError().c_str());
    return broken || gStop ? 2 : 0;
}

// ---------------------------------------------------------------------------
// Helpdesk: the gateway, the helpdesk, and the RFB host and viewer programs
// ---------------------------------------------------------------------------

// The RFB stream both ways: host to viewer in frame-sized writes at the rate
// asked, viewer to host in pointer-event-sized pieces with now and then a
// larger one. Shared by the viewer relay (the helpdesk's remote-desktop
// thread), the host program's thread and the main thread.
class TRfb
{
public:
    TRfb(TLog& log, std::size_t kibPerSecond) : FLog(log), FFrameBytes(kibPerSecond * 1024 / kFramesPerSecond)
    {
    }

    static constexpr int kFramesPerSecond = 8;

    // The viewer relay's side.
    std::string TakeToHost()
    {
        std::lock_guard lock(FMutex);
        return std::exchange(FToHostQueue, {});
    }
    void ArrivedAtViewer(std::string_view bytes)
    {
        std::lock_guard lock(FMutex);
        if (const auto wrong = FToViewerCheck.Check(bytes); wrong && !FToViewerWrong) {
            FToViewerWrong = true;
            FLog.Error("RFB host to viewer: byte %llu is wrong", static_cast<unsigned long long>(*wrong));
        }
        ToViewerReceived += bytes.size();
    }
    // The host program's side.
    void QueueToHost(std::size_t size)
    {
        std::lock_guard lock(FMutex);
        FToHostQueue += FToHostOut.Next(size);
        ToHostSent += size;
    }
    void ArrivedAtHost(std::string_view bytes)
    {
        if (const auto wrong = FToHostCheck.Check(bytes); wrong && !FToHostWrong) {
            FToHostWrong = true;
            FLog.Error("RFB viewer to host: byte %llu is wrong", static_cast<unsigned long long>(*wrong));
        }
        ToHostReceived += bytes.size();
    }
    std::string NextFrame()
    {
        ToViewerQueued += FFrameBytes;
        return FToViewerOut.Next(FFrameBytes);
    }

    bool Drained() const
    {
        return !Producing && ToViewerSent == ToViewerQueued && ToViewerReceived == ToViewerSent &&
               ToHostReceived == ToHostSent;
    }

    std::atomic<bool> Producing{true};
    std::atomic<bool> Ending{false}; // the host program's end is expected from now on
    std::atomic<std::uint64_t> ToViewerQueued{0}, ToViewerSent{0}, ToViewerReceived{0};
    std::atomic<std::uint64_t> ToHostSent{0}, ToHostReceived{0};

private:
    TLog& FLog;
    const std::size_t FFrameBytes;
    std::mutex FMutex; // the viewer relay's patterns and queue
    TPattern FToViewerCheck{1}, FToHostOut{2};
    std::string FToHostQueue;
    bool FToViewerWrong = false;
    // The host program's thread only.
    TPattern FToViewerOut{1}, FToHostCheck{2};
    bool FToHostWrong = false;
};

// The viewer program as the viewer relay: in this process, no port of its own.
class TSoakViewerRelay : public TorvViewerRelay
{
public:
    explicit TSoakViewerRelay(std::shared_ptr<TRfb> rfb) : FRfb(std::move(rfb)) {}
    void StartVNCViewer() override { FActive = true; }
    bool IsViewerConnected() override { return FActive; }
    std::string ReadFromViewer() override { return FActive ? FRfb->TakeToHost() : std::string(); }
    void SendToViewer(const std::string& bytes) override { FRfb->ArrivedAtViewer(bytes); }
    void SetActive(bool on) override { FActive = on; }

private:
    std::shared_ptr<TRfb> FRfb;
    bool FActive = false;
};

// The host program: the customer's host relay is its client.
class THostProgram
{
public:
    THostProgram(int fd, std::shared_ptr<TRfb> rfb, TLog& log)
        : FLink(fd), FRfb(std::move(rfb)), FLog(log), FThread([this](std::stop_token stop) { Run(stop); })
    {
    }
    bool Closed() const noexcept { return FClosed; }

private:
    void Run(std::stop_token stop)
    {
        const auto framePeriod = std::chrono::microseconds(1000000 / TRfb::kFramesPerSecond);
        auto nextFrame = Clock::now(), nextPointer = nextFrame, nextLarge = nextFrame + 5s;
        std::string frame;
        std::size_t written = 0;
        while (!stop.stop_requested() && !FClosed) {
            const auto now = Clock::now();
            if (written == frame.size() && FRfb->Producing && now >= nextFrame) {
                frame = FRfb->NextFrame();
                written = 0;
                nextFrame = std::max(nextFrame + framePeriod, now - 1s);
            }
            if (FRfb->Producing && now >= nextPointer) {
                FRfb->QueueToHost(6);
                nextPointer += 40ms;
            }
            if (FRfb->Producing && now >= nextLarge) {
                FRfb->QueueToHost(300);
                nextLarge += 5s;
            }
            pollfd p{FLink.Fd(), static_cast<short>(POLLIN | (written < frame.size() ? POLLOUT : 0)), 0};
            if (::poll(&p, 1, 10) < 0 && errno != EINTR)
                return Lost("poll failed");
            if ((p.revents & POLLOUT) && written < frame.size()) {
                const ssize_t n = ::send(FLink.Fd(), frame.data() + written, frame.size() - written,
                                         MSG_DONTWAIT | MSG_NOSIGNAL);
                if (n > 0) {
                    written += static_cast<std::size_t>(n);
                    FRfb->ToViewerSent += static_cast<std::uint64_t>(n);
                } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                    return Lost("writing failed");
                }
            }
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                std::string in;
                const TMCTcpLink::TRead r = FLink.ReadAvailable(in, 0);
                if (!in.empty())
                    FRfb->ArrivedAtHost(in);
                if (r == TMCTcpLink::TRead::Closed || r == TMCTcpLink::TRead::Failed)
                    return Lost("the host relay closed the connection");
            }
        }
    }
    void Lost(const char* what)
    {
        FClosed = true;
        if (FRfb->Ending)
            FLog.Info("RFB host program: %s", what);
        else
            FLog.Error("RFB host program: %s", what);
    }

    TMCTcpLink FLink;
    std::shared_ptr<TRfb> FRfb;
    TLog& FLog;
    std::atomic<bool> FClosed{false};
    std::jthread FThread; // last: it ends before the fields it uses go
};

int RunHelpdesk(const TOptions& options, TLog& log)
{
    TorvOSUtilsScope osUtils;
    orvtest::GatewayProcess gateway;
    const std::string settings = Shared(options, "orvsoak.ini");
    gateway.WriteClientSettings(settings + ".new");
    if (std::rename((settings + ".new").c_str(), settings.c_str()) != 0)
        throw std::runtime_error("cannot write " + settings);
    TMCTcpListener hostListener;
    if (!hostListener.Listen("127.0.0.1", 0, false))
        throw std::runtime_error("the host program cannot listen");
    WriteAtomically(Shared(options, "hostport"), std::to_string(hostListener.LocalPort()));
    log.Info("gateway on port %u (pid %d); host program on port %u", gateway.Port(),
             static_cast<int>(gateway.Pid()), hostListener.LocalPort());

    const auto sessionText = WaitForFile(Shared(options, "session"), kJoinTime, gStop);
    if (!sessionText) {
        log.Error("the customer did not register");
        return 2;
    }
    std::unique_ptr<TorvConnection> connection =
        orvtest::JoinSession(settings, std::stoi(*sessionText), orvKindHelpdesk);
    if (!connection) {
        log.Error("the helpdesk did not join");
        return 2;
    }
    TSide side(log, options, "helpdesk", "customer");
    side.Attach(*connection, nullptr);
    auto rfb = std::make_shared<TRfb>(log, options.RfbKiBPerSecond);
    TorvRemoteDesktopParts parts = TorvRemoteDesktopParts::Default();
    parts.NewViewerRelay = [rfb](TorvVNCThread&) -> std::unique_ptr<TorvViewerRelay> {
        return std::make_unique<TSoakViewerRelay>(rfb);
    };
    parts.PostHostViewOnly = [](bool) { return true; };
    parts.PostViewerSettings = [] { return true; };
    auto watching = std::make_unique<TorvVNCThread>(parts);
    watching->ViewerStartWaitMs = 0;
    watching->ViewerPollMs = 10;
    TorvVNCThread& desktop = orvStartChannelThread(*connection, orvRemoteDesktopChannel, std::move(watching));
    if (!orvtest::ServeUntil(
            [&] { return gStop || (SessionUp(*connection) && desktop.GetState() == vsConnected); },
            kJoinTime) ||
        gStop) {
        log.Error("the session did not come up");
        return 2;
    }
    log.Info("joined; asking to see the customer's desktop");
    // As the console's "view".
    desktop.SetIsServer(false);
    desktop.Send(JoinCommand(orvVNC::Request, JoinCommand(orvVNC::Start, orvVNC::Server)));

    const auto start = Clock::now();
    const auto latestEnd =
        start +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.Minutes * 60)) +
        5min;
    std::unique_ptr<THostProgram> host;
    TVNCState shown = desktop.GetState();
    bool broken = false, doneSent = false;
    Clock::time_point endStarted, doneAt, nextProgress = start + kProgressEvery;
    std::uint64_t lastToViewer = 0, lastToHost = 0;
    Clock::time_point movedToViewer = start, movedToHost = start;
    while (!gStop) {
        orvSync::CheckSynchronize(20);
        const auto now = Clock::now();
        if (!SessionUp(*connection)) {
            if (doneSent) {
                log.Info("the customer left");
            } else {
                log.Error("the session broke (connection state %d, server state %d)",
                          static_cast<int>(connection->GetConnectionState()),
                          static_cast<int>(connection->ServerConnectionState()));
                broken = true;
            }
            break;
        }
        LogCommands(*connection, log);
        for (std::string entry; !(entry = desktop.GetUnhandledCommand()).empty();)
            if (SplitCommandText(entry).Code == orvVNC::Notice)
                log.Info("remote desktop notice: %s", SplitCommandText(entry).Data.c_str());
        const TVNCState state = desktop.GetState();
        if (state != shown) {
            log.Info("remote desktop %s", TorvVNCThread::StateName(state));
            if (shown == vsCustomerAsViewer && !doneSent) {
                log.Error("the remote desktop ended before the session");
                broken = true;
                break;
            }
            shown = state;
        }
        if (!host) {
            if (const auto fd = hostListener.Accept()) {
                log.Info("the customer's host relay connected to the host program");
                host = std::make_unique<THostProgram>(*fd, rfb, log);
                movedToViewer = movedToHost = now;
            } else if (now - start > kJoinTime) {
                log.Error("the customer's host relay never connected");
                broken = true;
                break;
            }
        } else if (host->Closed() && !doneSent) {
            broken = true;
            break;
        }

        side.Step();
        if (side.Stalled()) {
            broken = true;
            break;
        }
        if (host && !doneSent) {
            // Either way the stream moves while it is produced, and until it has drained.
            if (rfb->ToViewerReceived != lastToViewer || rfb->ToViewerReceived == rfb->ToViewerSent)
                movedToViewer = now;
            if (rfb->ToHostReceived != lastToHost || rfb->ToHostReceived == rfb->ToHostSent)
                movedToHost = now;
            lastToViewer = rfb->ToViewerReceived;
            lastToHost = rfb->ToHostReceived;
            if (now - movedToViewer > kRfbStall || now - movedToHost > kRfbStall) {
                log.Error(
                    "the RFB stream stalled: host to viewer %llu of %llu bytes, viewer to host %llu of %llu",
                    static_cast<unsigned long long>(rfb->ToViewerReceived.load()),
                    static_cast<unsigned long long>(rfb->ToViewerSent.load()),
                    static_cast<unsigned long long>(rfb->ToHostReceived.load()),
                    static_cast<unsigned long long>(rfb->ToHostSent.load()));
                broken = true;
                break;
            }
        }
        if (side.Producing() && side.PeerEnd()) {
            side.StopProducing();
            rfb->Producing = false;
            endStarted = now;
        }
        if (!side.Producing() && !doneSent) {
            if (side.Drained() && rfb->Drained()) {
                rfb->Ending = true;
                side.SendDone();
                doneSent = true;
                doneAt = now;
                log.Info("everything arrived; waiting for the customer to leave");
            } else if (now - endStarted > kDrainTime) {
                log.Error("the end did not drain in %.0f s", Seconds(kDrainTime));
                broken = true;
                break;
            }
        }
        if (doneSent && now - doneAt > 60s) {
            log.Error("the customer did not leave");
            broken = true;
            break;
        }
        if (side.Producing() && now > latestEnd) {
            log.Error("the customer never ended the session");
            broken = true;
            break;
        }
        if (now >= nextProgress) {
            side.Progress();
            log.Info("RFB host to viewer %llu bytes, viewer to host %llu bytes",
                     static_cast<unsigned long long>(rfb->ToViewerReceived.load()),
                     static_cast<unsigned long long>(rfb->ToHostReceived.load()));
            nextProgress += kProgressEvery;
        }
    }
    if (gStop)
        log.Info("stopped by a signal");
    rfb->Ending = true;
    host.reset();
    connection.reset();

    std::string summary;
    side.Summary(summary);
    std::printf("SOAK helpdesk%s rfb_to_viewer=%llu rfb_to_host=%llu broken=%d\n", summary.c_str(),
                static_cast<unsigned long long>(rfb->ToViewerReceived.load()),
                static_cast<unsigned long long>(rfb->ToHostReceived.load()), broken ? 1 : 0);
    std::fflush(stdout);
    const int gatewayExit = gateway.Stop();
    std::ofstream(options.Dir + "/gateway.log") << gateway.ErrorOutput();
    if (gatewayExit != 0)
        log.Error("the gateway ended with %d", gatewayExit);
    return broken || gStop ? 2 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Orvalis soak session: one role of a long session (scripts/soak starts both)."};
    TOptions options;
    app.add_option("--role", options.Role, "customer or helpdesk")
        ->required()
        ->check(CLI::IsMember({"customer", "helpdesk"}));
    app.add_option("--dir", options.Dir, "the folder both roles share")->required();
    app.add_option("--minutes", options.Minutes, "how long the customer produces")->capture_default_str();
    app.add_option("--chat-seconds", options.ChatSeconds, "between two chat lines of a side")
        ->capture_default_str();
    app.add_option("--max-file-kib", options.MaxFileKiB, "the largest file sent")->capture_default_str();
    app.add_flag("!--no-receipt", options.Receipt, "the customer keeps no session receipt");
    app.add_option("--rfb-kib", options.RfbKiBPerSecond, "RFB bytes a second from the host, in KiB")
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    TLog log;
    orvSync::SetMainThread();
    orvStartConnectionCore();
    int rc = 2;
    try {
        rc = options.Role == "customer" ? RunCustomer(options, log) : RunHelpdesk(options, log);
    } catch (const std::exception& e) {
        log.Error("%s", e.what());
    }
    orvSync::StopServing();
    orvShutdownConnectionCore();
    if (rc == 0 && log.Errors() > 0)
        rc = 1;
    log.Info("%s ends with %d (%d errors)", options.Role.c_str(), rc, log.Errors());
    return rc;
}

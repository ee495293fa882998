// Faults on the customer's link to the gateway: a proxy of the test's own
// (FaultProxy) sits between the customer and the development gateway and cuts
// the link in the middle of a frame, holds its bytes, or passes them on late
// and in tiny pieces, while a file, the remote-desktop stream or chat lines
// cross it; or the gateway itself is killed. The helpdesk reaches the gateway
// directly.
//
// What the design does with a cut: the customer's transport reconnects at
// once, to the address the gateway announced (so past the proxy). The
// gateway takes the new socket for a stranger: the old one's end has ended
// the session (the helpdesk hears "106:1000"), and it greets the customer,
// who registers again under a new code. Texts in flight with the cut are
// lost with that session, never delivered twice; transfers under way end
// interrupted, never finished.
#include "lib/debugProc.h"
#include "lib/orvAppUtils.h"
#include "lib/orvCommandThread.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvFileTransfer.h"
#include "lib/orvSha256.h"
#include "lib/orvThreads.h"
#include "lib/orvVNCThread.h"
#include "tests/support/ChannelCollector.h"
#include "tests/support/FakeRelays.h"
#include "tests/support/FaultProxy.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/LogCapture.h"
#include "tests/support/RawPeer.h"
#include "tests/support/SessionUtil.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace orvtest;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

// Far above what the tests move, so that only the protocol paces them.
constexpr std::int32_t kUnlimited = 1'000'000'000;
constexpr int kChatChannel = 3;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

TorvCommandThread& Commands(TorvConnection& c)
{
    return dynamic_cast<TorvCommandThread&>(*c.FindChannelThread(orvCommandChannel));
}

// One end of a session with the channel threads the tests use: files,
// chat lines kept as they come, and the remote desktop on relays without
// programs behind them.
class TEnd
{
public:
    explicit TEnd(std::unique_ptr<TorvConnection> connection) : FConnection(std::move(connection))
    {
        TorvConnection& c = *FConnection;
        auto files = std::make_unique<TFileTransferControlThread>(c, kUnlimited);
        files->SetOnTransferReport([this](const TTransferSummary& summary) {
            std::lock_guard lock(FMutex);
            FReports.push_back(summary);
        });
        Files = &orvStartChannelThread(c, orvFileTransferChannel, std::move(files));
        Chat = &orvStartChannelThread(c, kChatChannel, std::make_unique<ChannelCollector>());
        auto desktop = std::make_unique<TorvVNCThread>(Relays.Parts());
        desktop->HostStartWaitMs = 0;
        desktop->ViewerStartWaitMs = 0;
        desktop->ViewerPollMs = 10;
        desktop->ViewerPollCount = 5;
        Desktop = &orvStartChannelThread(c, orvRemoteDesktopChannel, std::move(desktop));
    }

    TorvConnection& Connection() { return *FConnection; }
    TServerConnectionState State() { return FConnection->ServerConnectionState(); }
    int Code() { return FConnection->SessionIdentifier() - orvSessionIDBase; }

    // The command-channel texts left for the window, gathered so far.
    std::vector<std::string> Notices()
    {
        for (std::string text; !(text = Commands(*FConnection).GetUnhandledCommand()).empty();)
            FNotices.push_back(text);
        return FNotices;
    }

    // The last report of a transfer; Ended false while none came.
    TTransferSummary Report(const std::string& id)
    {
        std::lock_guard lock(FMutex);
        TTransferSummary last;
        for (const TTransferSummary& report : FReports)
            if (report.TransferId == id)
                last = report;
        return last;
    }

    FakeRelays Relays; // outlives the desktop thread, which the connection owns
    TFileTransferControlThread* Files = nullptr;
    ChannelCollector* Chat = nullptr;
    TorvVNCThread* Desktop = nullptr;

private:
    std::mutex FMutex;
    std::vector<TTransferSummary> FReports;
    std::vector<std::string> FNotices;
    std::unique_ptr<TorvConnection> FConnection;
};

struct TTransfer
{
    TTransferPtr Sent;
    TTransferPtr Received;
    std::string Target;
};

class LinkFaults : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        orvSync::SetMainThread();
        orvStartConnectionCore();
    }
    static void TearDownTestSuite() { orvShutdownConnectionCore(); }

    void SetUp() override
    {
        StartGateway(FreePort());
        FProxy = std::make_unique<FaultProxy>(FGateway->Port());
        WriteFile(CustomerSettings(),
                  "[gateway]\ngateway1=127.0.0.1:" + std::to_string(FProxy->Port()) + "\n");
    }

    void TearDown() override
    {
        FHelpdesk.reset();
        FCustomer.reset();
        FProxy.reset();
        if (HasFailure() && FGateway)
            std::fprintf(stderr, "orvgateway's log:\n%s\n", FGateway->ErrorOutput().c_str());
        FGateway.reset();
    }

    // On a port of its own: a link that comes back goes to the port the gateway announces.
    void StartGateway(std::uint16_t port)
    {
        FGateway = std::make_unique<GatewayProcess>(
            std::vector<std::string>{"--listen", "127.0.0.1:" + std::to_string(port)});
        FGateway->WriteClientSettings(FDir.File("helpdesk.ini"));
    }

    std::string CustomerSettings() const { return FDir.File("customer.ini"); }

    // The customer registers through the proxy.
    void JoinCustomer()
    {
        auto connection = JoinSession(CustomerSettings(), 0, orvKindCustomer);
        ASSERT_TRUE(connection);
        FCustomer = std::make_unique<TEnd>(std::move(connection));
    }

    // A helpdesk joins the customer's current code, straight at the gateway.
    void JoinHelpdesk()
    {
        FHelpdesk.reset();
        auto connection =
            JoinSession(FDir.File("helpdesk.ini"), orvSessionIDBase + FCustomer->Code(), orvKindHelpdesk);
        ASSERT_TRUE(connection);
        FHelpdesk = std::make_unique<TEnd>(std::move(connection));
        ASSERT_TRUE(ServeUntil([&] { return FCustomer->State() == scsTotallyConnected; }));
        ASSERT_TRUE(ServeUntil([&] { return FHelpdesk->State() == scsTotallyConnected; }));
    }

    void Session()
    {
        ASSERT_NO_FATAL_FAILURE(JoinCustomer());
        ASSERT_NO_FATAL_FAILURE(JoinHelpdesk());
    }

    // Offers the bytes from one end, accepted at the other; the transfer runs.
    TTransfer Offer(TEnd& from, TEnd& to, const std::string& bytes, const std::string& name)
    {
        TTransfer t;
        const std::string source = FDir.File(name + ".out");
        t.Target = FDir.File(name + ".in");
        WriteFile(source, bytes);
        t.Sent = from.Files->NewSentFile(source);
        from.Files->SendFileRequestCommand(dynamic_cast<TSendFileThread&>(*t.Sent));
        EXPECT_TRUE(ServeUntil(
            [&] { return (t.Received = to.Files->FindTransfer(t.Sent->TransferId())) != nullptr; }));
        if (t.Received) {
            auto& receiving = dynamic_cast<TReceiveFileThread&>(*t.Received);
            receiving.SetTargetPath(t.Target);
            to.Files->SendFileAcceptCommand(receiving);
        }
        return t;
    }

    // The whole file arrives: both ends finished, the bytes on disk those sent.
    void ExpectArrivesWhole(TEnd& from, TEnd& to, const std::string& bytes, const std::string& name)
    {
        SCOPED_TRACE(name);
        const TTransfer t = Offer(from, to, bytes, name);
        ASSERT_TRUE(t.Received);
        ASSERT_TRUE(ServeUntil([&] { return t.Received->State() == TTransferState::Finished; }, 60s))
            << TransferStateName(t.Received->State()) << " at " << t.Received->BytesTransferred();
        ASSERT_TRUE(ServeUntil([&] { return t.Sent->State() == TTransferState::Finished; }));
        EXPECT_EQ(TorvSha256::Of(ReadFile(t.Target)), TorvSha256::Of(bytes));
        EXPECT_EQ(t.Received->Sha256(), TorvSha256::Of(bytes));
    }

    // A transfer the session lost: not finished at either end, and what was
    // written is the start of the file, hashed as written.
    static void ExpectCutShort(TEnd& receiver, const TTransfer& t, const std::string& bytes)
    {
        ASSERT_TRUE(ServeUntil([&] { return receiver.Report(t.Sent->TransferId()).Ended; }));
        const TTransferSummary report = receiver.Report(t.Sent->TransferId());
        EXPECT_TRUE(report.Interrupted);
        EXPECT_NE(report.State, TTransferState::Finished);
        EXPECT_NE(t.Sent->State(), TTransferState::Finished);
        const std::string written = ReadFile(t.Target);
        EXPECT_GT(written.size(), 0u);
        EXPECT_LT(written.size(), bytes.size());
        EXPECT_EQ(static_cast<std::size_t>(report.Bytes), written.size());
        EXPECT_TRUE(written == bytes.substr(0, written.size())) << "not the start of the file";
        EXPECT_EQ(report.Sha256, TorvSha256::Of(written));
    }

    // Chat lines both ways, numbered: each arrives once and in order.
    void ExpectChatBothWays(const std::string& tag, int lines)
    {
        std::vector<std::string> fromCustomer, fromHelpdesk;
        for (int i = 0; i < lines; ++i) {
            fromCustomer.push_back("1:" + tag + " customer " + std::to_string(i));
            fromHelpdesk.push_back("1:" + tag + " helpdesk " + std::to_string(i));
            FCustomer->Connection().Send(kChatChannel, fromCustomer.back());
            FHelpdesk->Connection().Send(kChatChannel, fromHelpdesk.back());
        }
        ExpectReceivedOnce(*FHelpdesk->Chat, fromCustomer);
        ExpectReceivedOnce(*FCustomer->Chat, fromHelpdesk);
    }

    static void ExpectReceivedOnce(ChannelCollector& chat, const std::vector<std::string>& sent)
    {
        auto mine = [&] {
            std::vector<std::string> got;
            for (const std::string& text : chat.Texts())
                if (Contains(sent, text))
                    got.push_back(text);
            return got;
        };
        EXPECT_TRUE(ServeUntil([&] { return mine().size() >= sent.size(); }));
        EXPECT_EQ(mine(), sent);
    }

    // The customer registered again under a code other than the old one.
    bool RegisteredAnew(int oldCode, std::chrono::milliseconds deadline = 20s)
    {
        return ServeUntil(
            [&] {
                return FCustomer->Connection().GetConnectionState() == csConnected &&
                       FCustomer->State() == scsRegisteredToServer && FCustomer->Code() != oldCode;
            },
            deadline);
    }

    bool HelpdeskToldTheEnd(std::chrono::milliseconds deadline = 20s)
    {
        return ServeUntil(
            [&] {
                return FHelpdesk->State() == scsDisconnected && Contains(FHelpdesk->Notices(), "106:1000");
            },
            deadline);
    }

    TempDir FDir;
    std::unique_ptr<GatewayProcess> FGateway;
    std::unique_ptr<FaultProxy> FProxy;
    std::unique_ptr<TEnd> FCustomer;
    std::unique_ptr<TEnd> FHelpdesk;
};

// ---- the gateway killed

TEST_F(LinkFaults, AKilledGatewayEndsTheSessionWithinTwentySecondsAndAnotherCanBeHad)
{
    ASSERT_NO_FATAL_FAILURE(Session());
    const std::string bytes = RandomBytes(4 << 20, 1);
    const TTransfer t = Offer(*FHelpdesk, *FCustomer, bytes, "killed");
    ASSERT_TRUE(t.Received);
    ASSERT_TRUE(ServeUntil([&] { return t.Received->BytesTransferred() > (256 << 10); }));

    const Clock::time_point killed = Clock::now();
    FGateway->Stop(0ms, SIGKILL);
    // No reply comes to the next keep-alive: 10 s for it, less than 5 s until it goes.
    ASSERT_TRUE(ServeUntil(
        [&] {
            return FCustomer->State() == scsDisconnected &&
                   FCustomer->Connection().GetConnectionState() == csDisconnected;
        },
        40s));
    const Clock::duration noticed = Clock::now() - killed;
    EXPECT_LE(noticed, 20s) << Seconds(noticed) << " s";
    EXPECT_FALSE(FCustomer->Connection().GetActive());
    ExpectCutShort(*FCustomer, t, bytes);
    EXPECT_TRUE(ServeUntil([&] { return FCustomer->Relays.LiveRelays == 0; }));

    // Nothing hangs on the way out.
    const Clock::time_point closing = Clock::now();
    FHelpdesk.reset();
    FCustomer.reset();
    EXPECT_LT(Clock::now() - closing, 10s);

    // Connect again: another gateway gives a session.
    FGateway.reset();
    StartGateway(0);
    FProxy->SetTarget(FGateway->Port());
    ASSERT_NO_FATAL_FAILURE(Session());
    ExpectChatBothWays("again", 3);
}

// ---- cuts

TEST_F(LinkFaults, ACutInTheMiddleOfAFrameEndsTheSessionAndTheLinkComesBackForTheNext)
{
    ASSERT_NO_FATAL_FAILURE(Session());
    const int code = FCustomer->Code();
    const std::string bytes = RandomBytes(4 << 20, 2);
    const TTransfer t = Offer(*FCustomer, *FHelpdesk, bytes, "cut");
    ASSERT_TRUE(t.Received);
    ASSERT_TRUE(ServeUntil([&] { return t.Received->BytesTransferred() > (512 << 10); }));

    // A number of bytes that ends inside a TLS record: the gateway gets half a frame.
    FProxy->Cut(2500, TFlow::Up);
    ASSERT_TRUE(ServeUntil([&] { return FProxy->Cuts() == 1; }));
    EXPECT_TRUE(HelpdeskToldTheEnd());
    ASSERT_TRUE(RegisteredAnew(code)) << FCustomer->State();
    ExpectCutShort(*FHelpdesk, t, bytes);
    ASSERT_TRUE(ServeUntil([&] { return FCustomer->Report(t.Sent->TransferId()).Ended; }));
    EXPECT_TRUE(FCustomer->Report(t.Sent->TransferId()).Interrupted);
    EXPECT_EQ(FCustomer->Files->TransferCount(), 0u);

    // The next helpdesk joins the new code over the link that came back.
    ASSERT_NO_FATAL_FAILURE(JoinHelpdesk());
    ExpectArrivesWhole(*FHelpdesk, *FCustomer, RandomBytes(1 << 20, 3), "after");
    ExpectChatBothWays("after", 20);
}

TEST_F(LinkFaults, ACutInTheMiddleOfTheRemoteDesktopStreamClosesItAtBothEnds)
{
    ASSERT_NO_FATAL_FAILURE(Session());
    const int code = FCustomer->Code();
    TorvVNCThread& shower = *FHelpdesk->Desktop;
    ASSERT_TRUE(ServeUntil([&] { return shower.GetState() == vsConnected; }));
    // The helpdesk shows its desktop: the stream comes down the link to the customer's viewer.
    shower.SetIsServer(true);
    ASSERT_TRUE(shower.Send("0:VNCCLIENT"));
    shower.AddMessage("0:VNCSERVER");
    ASSERT_TRUE(ServeUntil([&] { return FCustomer->Desktop->GetState() == vsCustomerAsViewer; }));
    ASSERT_TRUE(ServeUntil([&] { return shower.GetState() == vsCustomerAsViewer; }));

    const std::string stream = RandomBytes(8 << 20, 4);
    std::size_t said = 0;
    // Keeps at most 256 KB on the way, so that the stream runs while the link does.
    const auto streamUntil = [&](const std::function<bool()>& done) {
        return ServeUntil([&] {
            const std::size_t seen = FCustomer->Relays.ToViewer().size();
            if (said < stream.size() && said - seen < (256u << 10)) {
                const std::size_t piece = std::min<std::size_t>(16 << 10, stream.size() - said);
                FHelpdesk->Relays.HostSays(stream.substr(said, piece));
                said += piece;
            }
            return done();
        });
    };
    ASSERT_TRUE(streamUntil([&] { return FCustomer->Relays.ToViewer().size() > (1 << 20); }));

    FProxy->Cut(3000, TFlow::Down, true);
    ASSERT_TRUE(streamUntil([&] { return FProxy->Cuts() == 1; }));
    EXPECT_TRUE(ServeUntil([&] {
        return FCustomer->Desktop->GetState() == vsDisconnected && FCustomer->Relays.LiveRelays == 0;
    }));
    EXPECT_TRUE(HelpdeskToldTheEnd());
    EXPECT_TRUE(ServeUntil([&] { return shower.GetState() == vsDisconnected; }));
    EXPECT_TRUE(ServeUntil([&] { return FHelpdesk->Relays.LiveRelays == 0; }));
    EXPECT_GE(FHelpdesk->Relays.HostCloses, 1);
    // What reached the viewer is the stream's start: nothing lost in between, nothing twice.
    const std::string seen = FCustomer->Relays.ToViewer();
    EXPECT_LT(seen.size(), said);
    EXPECT_TRUE(seen == stream.substr(0, seen.size())) << seen.size() << " bytes seen";
    EXPECT_TRUE(RegisteredAnew(code));
}

TEST_F(LinkFaults, ATextLostWithTheCutDoesNotEndTheRegistrationThatFollows)
{
    TLogCapture log;
    ASSERT_NO_FATAL_FAILURE(Session());
    const int code = FCustomer->Code();
    // Held by the proxy, then dropped with the cut: no reply will ever come.
    FProxy->Stall(10min, TFlow::Up);
    FCustomer->Connection().Send(orvKeepAliveChannel, "lost with the cut");
    ASSERT_TRUE(ServeUntil([&] { return FProxy->BytesHeld() > 0; }));
    FProxy->Cut();
    ASSERT_TRUE(RegisteredAnew(code));
    EXPECT_TRUE(HelpdeskToldTheEnd());

    // Its time runs out while the customer waits under the new code.
    ASSERT_TRUE(ServeUntil([&] { return log.Has("Timeout from channel: 5 lost with the cut"); }, 40s));
    ASSERT_NO_FATAL_FAILURE(JoinHelpdesk());
    EXPECT_EQ(FCustomer->Connection().GetConnectionState(), csConnected);
    ExpectChatBothWays("still", 3);
}

// ---- stalls

TEST_F(LinkFaults, AStallShorterThanTheKeepAliveDeliversEverythingLateAndTheSessionStays)
{
    ASSERT_NO_FATAL_FAILURE(Session());
    const int code = FCustomer->Code();
    FProxy->Stall(4s);
    std::vector<std::string> fromCustomer, fromHelpdesk;
    for (int i = 0; i < 20; ++i) {
        fromCustomer.push_back("1:held customer " + std::to_string(i));
        fromHelpdesk.push_back("1:held helpdesk " + std::to_string(i));
        FCustomer->Connection().Send(kChatChannel, fromCustomer.back());
        FHelpdesk->Connection().Send(kChatChannel, fromHelpdesk.back());
    }
    ASSERT_TRUE(ServeUntil([&] { return FProxy->BytesHeld() > 0; }));
    EXPECT_TRUE(FHelpdesk->Chat->Texts().empty());
    ExpectReceivedOnce(*FHelpdesk->Chat, fromCustomer);
    ExpectReceivedOnce(*FCustomer->Chat, fromHelpdesk);
    EXPECT_EQ(FCustomer->State(), scsTotallyConnected);
    EXPECT_EQ(FCustomer->Code(), code);
    EXPECT_EQ(FHelpdesk->State(), scsTotallyConnected);
}

TEST_F(LinkFaults, AThirtySecondStallEndsTheSessionOnTheKeepAliveAndTheHelpdeskHearsOfItAfter)
{
    ASSERT_NO_FATAL_FAILURE(Session());
    const Clock::time_point stalled = Clock::now();
    FProxy->Stall(30s);
    // A keep-alive goes every 5 s and has 10 s for its reply.
    ASSERT_TRUE(
        ServeUntil([&] { return FCustomer->Connection().GetConnectionState() == csDisconnected; }, 40s));
    const Clock::duration noticed = Clock::now() - stalled;
    EXPECT_GE(noticed, 9s) << Seconds(noticed) << " s";
    EXPECT_LE(noticed, 20s) << Seconds(noticed) << " s";
    EXPECT_TRUE(ServeUntil([&] { return FCustomer->State() == scsDisconnected; }));
    EXPECT_FALSE(FCustomer->Connection().GetActive());
    // The gateway hears nothing either way, and its idle limit is a minute: the
    // helpdesk learns of the end when the held bytes and the customer's close arrive.
    EXPECT_EQ(FHelpdesk->State(), scsTotallyConnected);
    EXPECT_TRUE(HelpdeskToldTheEnd(45s));
    const Clock::duration told = Clock::now() - stalled;
    EXPECT_GE(told, 29s) << Seconds(told) << " s";
    // The customer's connection stays down: no link comes back.
    EXPECT_FALSE(FCustomer->Connection().GetActive());
    EXPECT_EQ(FCustomer->State(), scsDisconnected);
}

// ---- latency and tiny pieces

TEST_F(LinkFaults, TinyPiecesWithLatencyCarryAWholeSession)
{
    FProxy->SetSlices(1, 7);
    FProxy->SetDelay(20ms);
    ASSERT_NO_FATAL_FAILURE(Session());
    const int code = FCustomer->Code();
    ExpectChatBothWays("sliced", 20);
    ExpectArrivesWhole(*FCustomer, *FHelpdesk, RandomBytes(96 << 10, 5), "up");
    ExpectArrivesWhole(*FHelpdesk, *FCustomer, RandomBytes(96 << 10, 6), "down");
    // All of it through the proxy: a link that broke would have come back past it, under a new code.
    EXPECT_EQ(FCustomer->Code(), code);
    EXPECT_EQ(FCustomer->State(), scsTotallyConnected);
    EXPECT_GT(FProxy->BytesPassed(TFlow::Up), std::uint64_t{96 << 10});
    EXPECT_GT(FProxy->BytesPassed(TFlow::Down), std::uint64_t{96 << 10});
}

} // namespace

// The connection core end to end: registration, the helpdesk joining and
// leaving, keep-alive, establishment over several gateways, redirect and
// refusal, against the development gateway running as a process.
#include "lib/debugProc.h"
#include "lib/orvAppUtils.h"
#include "lib/orvCommandThread.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvThreads.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/MessengerPump.h"
#include "tests/support/RawPeer.h"
#include "tests/support/SessionUtil.h"
#include "tests/support/TestUtil.h"
#include "tests/support/TlsTestPeer.h"
#include "transport/MCMessenger.h"
#include "transport/MCSSLSocket.h"
#include "transport/MCSocketTransport.h"

#include <gtest/gtest.h>

#include <climits>
#include <csignal>
#include <memory>
#include <mutex>
#include <set>

using namespace orvtest;
using namespace std::chrono_literals;

namespace {

class Session : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        orvSync::SetMainThread();
        orvStartConnectionCore();
    }
    static void TearDownTestSuite() { orvShutdownConnectionCore(); }

    std::string Settings(const std::vector<std::uint16_t>& ports)
    {
        std::string ini = "[gateway]\n";
        int n = 1;
        for (auto port : ports)
            ini += "gateway" + std::to_string(n++) + "=127.0.0.1:" + std::to_string(port) + "\n";
        const std::string path = FDir.File("orvcustomer-" + std::to_string(FIni++) + ".ini");
        WriteFile(path, ini);
        return path;
    }

    static TorvCommandThread& Commands(TorvConnection& c)
    {
        return dynamic_cast<TorvCommandThread&>(*c.FindChannelThread(orvCommandChannel));
    }

    // Waits for the next unhandled command of a connection.
    static std::string NextCommand(TorvConnection& c, std::chrono::milliseconds deadline = 20s)
    {
        std::string text;
        WaitUntil([&] { return !(text = Commands(c).GetUnhandledCommand()).empty(); }, deadline);
        return text;
    }

    TempDir FDir;
    int FIni = 0;
};

// A gateway of the test's own that ends every connection's session with
// "7:1000" as soon as the connection says anything, and notes whether the
// reply to that came back over the link before it closed.
class EndingGateway
{
public:
    EndingGateway()
    {
        const TlsCertificate certificate = MakeSelfSignedRsaCertificate(FDir, "ending");
        FFactory.SSLEnabled = true;
        FFactory.SetServerCertificate(certificate.CertFile, certificate.KeyFile);
        FQueue.SetQueueName("SendNote");
        FQueue.SetMessenger(&FMessenger);
        TMCMessageHandler& handler = FQueue.Handlers.Add();
        handler.MsgCodeLow = INT32_MIN;
        handler.MsgCodeHigh = INT32_MAX;
        handler.OnMessage = [this](TMCQueue&, TMCMessage& message, bool& handled) {
            End(FMessenger.GetSenderAddress(message));
            handled = true;
        };
        FTransport.SetTransportMode(stmServer);
        FTransport.SetSocketFactory(&FFactory);
        FTransport.SetMessenger(&FMessenger);
        FTransport.SetMessengerAddress("127.0.0.1");
        FTransport.SetMessengerPort(0);
        FTransport.SetActive(true);
        FPump = std::make_unique<MessengerPump>(FMessenger);
    }
    ~EndingGateway()
    {
        FPump.reset();
        FTransport.SetActive(false);
    }

    std::uint16_t Port() const { return FTransport.ListeningPort(); }
    Outcomes& Ends() { return FEnds; }

private:
    void End(const std::string& sender)
    {
        {
            std::lock_guard lock(FMutex);
            if (sender.empty() || !FEnded.insert(sender).second)
                return;
        }
        TMCMessage message;
        message.Priority = 75;
        message.Param1 = orvCommandChannel;
        message.Param2 = 1;
        message.Data = JoinCommand(orvCmd::SessionEnded, std::to_string(orvResult::Terminated));
        // A reply lost to the closing link shows as a time-out.
        FMessenger.SendWithCallbacks(sender + "|SendNote", message, 5000, FEnds.ReplyProc(),
                                     FEnds.TimeoutProc(), FEnds.ErrorProc(), nullptr);
    }

    TempDir FDir;
    TMCSSLSocketFactory FFactory;
    TMCMessenger FMessenger;
    TMCQueue FQueue;
    TMCSocketTransport FTransport;
    Outcomes FEnds;
    std::mutex FMutex;
    std::set<std::string> FEnded;
    std::unique_ptr<MessengerPump> FPump;
};

// A connection with its command thread, as the establishment makes one.
std::unique_ptr<TorvConnection> OpenConnection(std::uint16_t port)
{
    auto connection = std::make_unique<TorvConnection>(orvKindCustomer);
    connection->SetAddress("127.0.0.1");
    connection->SetPort(port);
    connection->SetActive(true);
    orvStartChannelThread(*connection, orvCommandChannel, std::make_unique<TorvCommandThread>());
    return connection;
}

TEST_F(Session, TheGatewaysEndOfTheSessionIsAnsweredBeforeTheLinkCloses)
{
    // The race is between the command thread taking the link down and the
    // reply step: many connections at once, several rounds, to catch it.
    constexpr int kRounds = 3;
    constexpr int kConnections = 12;
    EndingGateway gateway;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<std::unique_ptr<TorvConnection>> connections;
        for (int i = 0; i < kConnections; ++i)
            connections.push_back(OpenConnection(gateway.Port()));
        const std::size_t expected = static_cast<std::size_t>((round + 1) * kConnections);
        ASSERT_TRUE(gateway.Ends().WaitFor(expected, 40s)) << gateway.Ends().Count() << " of " << expected;
        for (auto& c : connections) {
            EXPECT_TRUE(WaitUntil([&] { return !c->GetActive(); })) << "the link stays open";
            EXPECT_EQ(c->ServerConnectionState(), scsDisconnected);
            EXPECT_EQ(Commands(*c).GetUnhandledCommand(), "106:1000");
        }
    }
    int replies = 0;
    for (const Outcomes::Entry& e : gateway.Ends().All())
        replies += e.kind == Outcomes::Kind::Reply;
    EXPECT_EQ(replies, kRounds * kConnections);
}

TEST_F(Session, RegistersAndFollowsTheHelpdeskJoiningLeavingAndEnding)
{
    GatewayProcess gateway;
    const std::string settings = Settings({gateway.Port()});

    auto customer = JoinSession(settings, 0, orvKindCustomer);
    ASSERT_TRUE(customer);
    EXPECT_EQ(customer->ServerConnectionState(), scsRegisteredToServer);
    EXPECT_EQ(customer->GetConnectionState(), csConnected);
    const int code = customer->SessionIdentifier() - orvSessionIDBase;
    EXPECT_GE(code, 100000);
    EXPECT_LE(code, 999999);

    auto helpdesk = JoinSession(settings, orvSessionIDBase + code, orvKindHelpdesk);
    ASSERT_TRUE(helpdesk);
    EXPECT_TRUE(WaitUntil([&] { return customer->ServerConnectionState() == scsTotallyConnected; }));
    EXPECT_TRUE(WaitUntil([&] { return helpdesk->ServerConnectionState() == scsTotallyConnected; }));

    // Channel texts pass through unchanged, zero bytes included.
    const std::string text("110:C:\\file\0name", 16);
    Commands(*helpdesk).Send(text);
    EXPECT_EQ(NextCommand(*customer), text);

    // The helpdesk leaves: the customer is back to waiting.
    Commands(*helpdesk).SendLeave();
    helpdesk.reset();
    EXPECT_TRUE(WaitUntil([&] { return customer->ServerConnectionState() == scsRegisteredToServer; }));

    // Another helpdesk joins; now the customer leaves and the gateway ends the helpdesk's part with "7:".
    helpdesk = JoinSession(settings, orvSessionIDBase + code, orvKindHelpdesk);
    ASSERT_TRUE(helpdesk);
    EXPECT_TRUE(WaitUntil([&] { return customer->ServerConnectionState() == scsTotallyConnected; }));
    Commands(*customer).SendErrorCode(orvResult::CustomerClosed);
    Commands(*customer).SendLeave();
    EXPECT_EQ(NextCommand(*helpdesk), "106:300");
    EXPECT_EQ(NextCommand(*helpdesk), "106:1000");
    EXPECT_TRUE(WaitUntil([&] { return helpdesk->GetConnectionState() == csDisconnected; }));
    EXPECT_EQ(helpdesk->ServerConnectionState(), scsDisconnected);

    customer.reset();
    const std::string log = ReadFile(DebugLogFilePath());
    const auto channelsEnded = log.rfind("All channels have been terminated.");
    const auto destroyed = log.rfind("Connection destroyed.");
    ASSERT_NE(channelsEnded, std::string::npos);
    ASSERT_NE(destroyed, std::string::npos);
    EXPECT_LT(channelsEnded, destroyed);
}

TEST_F(Session, AGatewayThatStopsReplyingIsNoticedByTheKeepAlive)
{
    GatewayProcess gateway;
    auto customer = JoinSession(Settings({gateway.Port()}), 0, orvKindCustomer);
    ASSERT_TRUE(customer);
    const auto stopped = std::chrono::steady_clock::now();
    ::kill(gateway.Pid(), SIGSTOP); // the TCP link stays up, nothing answers
    const bool noticed =
        WaitUntil([&] { return customer->GetConnectionState() == csDisconnected; }, 45s, 50ms);
    const auto after = std::chrono::steady_clock::now() - stopped;
    ::kill(gateway.Pid(), SIGCONT);
    ASSERT_TRUE(noticed);
    // A ping has 10 s to be answered; nothing ends the session sooner (less
    // the moment a ping sent just before the stop may have been on its way).
    EXPECT_GE(after, 9s);
    EXPECT_FALSE(customer->GetActive());
    EXPECT_TRUE(WaitUntil([&] { return customer->ServerConnectionState() == scsDisconnected; }));
}

TEST_F(Session, OfTwoRegisteredGatewaysTheLowerKeyWinsAndTheOtherIsClosed)
{
    GatewayProcess first, second;
    TOrvServers servers(Settings({first.Port(), second.Port()}));
    servers.Start(0, orvKindCustomer, "beta4", "EN", 1);
    EXPECT_EQ(servers.ConnectionCount(), 2u);
    // Both register before the first poll (their answers need a moment more).
    const auto bothRegistered = [&] {
        return first.ErrorOutput().find(" registered") != std::string::npos &&
               second.ErrorOutput().find(" registered") != std::string::npos;
    };
    ASSERT_TRUE(WaitUntil(bothRegistered, 30s));
    std::this_thread::sleep_for(1s);
    TorvConnection* won = servers.Poll();
    ASSERT_TRUE(won);
    const std::string lower = "127.0.0.1:" + std::to_string(std::min(first.Port(), second.Port()));
    const std::string higher = "127.0.0.1:" + std::to_string(std::max(first.Port(), second.Port()));
    EXPECT_EQ(won->GetAddress() + ":" + std::to_string(won->GetPort()), std::min(lower, higher));
    auto connection = servers.Detach(won);
    servers.CloseAll();
    EXPECT_EQ(servers.ConnectionCount(), 0u);
    EXPECT_EQ(connection->ServerConnectionState(), scsRegisteredToServer);
}

TEST_F(Session, TheFirstGatewayToRegisterWins)
{
    GatewayProcess slow, fast;
    ::kill(slow.Pid(), SIGSTOP);
    TOrvServers servers(Settings({slow.Port(), fast.Port()}));
    servers.Start(0, orvKindCustomer, "beta4", "EN", 1);
    auto connection = Establish(servers);
    ::kill(slow.Pid(), SIGCONT);
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->GetPort(), fast.Port());
    EXPECT_EQ(servers.ConnectionCount(), 0u);
}

TEST_F(Session, ARedirectFromTheOnlyGatewayIsFollowed)
{
    GatewayProcess target;
    GatewayProcess redirecting({"--redirect", "127.0.0.1:" + std::to_string(target.Port())});
    auto connection = JoinSession(Settings({redirecting.Port()}), 0, orvKindCustomer);
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->GetPort(), target.Port());
    EXPECT_EQ(connection->ServerConnectionState(), scsRegisteredToServer);
}

TEST_F(Session, AChainOfRedirectsIsFollowedToItsEnd)
{
    GatewayProcess last;
    GatewayProcess middle({"--redirect", "127.0.0.1:" + std::to_string(last.Port())});
    GatewayProcess first({"--redirect", "127.0.0.1:" + std::to_string(middle.Port())});
    auto connection = JoinSession(Settings({first.Port()}), 0, orvKindCustomer);
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->GetPort(), last.Port());
}

TEST_F(Session, AGatewayRedirectingToItselfStillEndsAtTheDeadline)
{
    const std::uint16_t port = FreePort();
    const std::string self = "127.0.0.1:" + std::to_string(port);
    GatewayProcess loop({"--listen", self, "--redirect", self});
    TOrvServers servers(Settings({port}), 3s);
    servers.Start(0, orvKindCustomer, "beta4", "EN", 1);
    EXPECT_FALSE(Establish(servers, 30s));
    EXPECT_TRUE(servers.Failed());
}

TEST_F(Session, ARefusalFailsTheEstablishmentAtOnce)
{
    GatewayProcess refusing({"--refuse", "104"});
    TOrvServers servers(Settings({refusing.Port()}), 60s);
    servers.Start(0, orvKindCustomer, "beta4", "EN", 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Establish(servers, 50s));
    EXPECT_TRUE(servers.Failed());
    EXPECT_EQ(servers.ErrorCode(), 104);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 50s) << "it waited for the deadline";
}

TEST_F(Session, WithoutAReachableGatewayTheDeadlineFailsItWithCodeZero)
{
    TOrvServers none(Settings({}), 2s);
    none.Start(0, orvKindCustomer, "beta4", "EN", 1);
    EXPECT_EQ(none.ConnectionCount(), 0u);
    EXPECT_FALSE(Establish(none));
    EXPECT_TRUE(none.Failed());
    EXPECT_EQ(none.ErrorCode(), 0);

    RawListener silent; // accepts TCP, never speaks TLS
    TOrvServers unanswered(Settings({silent.Port()}), 2s);
    unanswered.Start(0, orvKindCustomer, "beta4", "EN", 1);
    EXPECT_FALSE(Establish(unanswered));
    EXPECT_EQ(unanswered.ErrorCode(), 0);
}

TEST_F(Session, NothingIsSentInTheFirstSecondAfterActivation)
{
    RawListener listener;
    TorvConnection connection;
    connection.SetAddress("127.0.0.1");
    connection.SetPort(listener.Port());
    connection.SetActive(true);
    connection.Send(orvCommandChannel, "too early");
    EXPECT_EQ(connection.PendingMessageCount(), 0u);
    // The keep-alive after the first second opens the link.
    RawConnection link(listener.Accept(10s));
    EXPECT_TRUE(link.Valid());
}

} // namespace

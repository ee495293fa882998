// The socket transport against itself and against hand-made peers on loopback.
#include "tests/support/MessengerPump.h"
#include "tests/support/RawPeer.h"
#include "tests/support/TestUtil.h"
#include "transport/MCAddress.h"
#include "transport/MCError.h"
#include "transport/MCMessenger.h"
#include "transport/MCSSLSocket.h"
#include "transport/MCSocketTransport.h"
#include "transport/MCTLSEngine.h"
#include "transport/MCTime.h"
#include "transport/MCWireFormat.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>

using namespace orvtest;
using namespace std::chrono_literals;

namespace {

std::string Dest(std::uint16_t port, const std::string& host = "127.0.0.1")
{
    return "Socket:" + host + ":" + std::to_string(port) + "|SendNote";
}

TMCMessage Text(const std::string& text, std::int32_t channel = 1)
{
    TMCMessage m;
    m.Priority = 75;
    m.MsgCode = 1000000001;
    m.Param1 = channel;
    m.Param2 = 1;
    m.Data = text;
    return m;
}

// A server transport on loopback that answers every message and records what it got.
struct Server
{
    explicit Server(bool tls, const TempDir* certDir = nullptr)
    {
        queue.SetQueueName("SendNote");
        queue.SetMessenger(&messenger);
        auto& h = queue.Handlers.Add();
        h.OnMessage = [this](TMCQueue&, TMCMessage& m, bool& handled) {
            std::lock_guard lock(mutex);
            received.push_back(m.Data);
            senders.push_back(messenger.GetSenderAddress(m));
            m.Result = 7;
            m.Data = "answer:" + m.Data;
            handled = true;
        };
        if (tls) {
            std::string error;
            const std::string cert = certDir->File("gw.pem"), key = certDir->File("gw.key");
            if (!MCGenerateSelfSignedCertificate(cert, key, &error))
                throw std::runtime_error(error);
            factory.SSLEnabled = true;
            factory.SetServerCertificate(cert, key);
            transport.SetSocketFactory(&factory);
        }
        transport.SetTransportMode(stmServer);
        transport.SetMessenger(&messenger);
        transport.SetMessengerAddress("127.0.0.1");
        transport.SetMessengerPort(0);
        transport.SetActive(true);
        port = transport.ListeningPort();
    }
    ~Server() { transport.SetActive(false); }

    std::vector<std::string> Received()
    {
        std::lock_guard lock(mutex);
        return received;
    }
    std::string LastSender()
    {
        std::lock_guard lock(mutex);
        return senders.empty() ? std::string() : senders.back();
    }

    std::mutex mutex;
    std::vector<std::string> received;
    std::vector<std::string> senders;
    TMCMessenger messenger;
    TMCQueue queue;
    TMCSSLSocketFactory factory;
    TMCSocketTransport transport;
    std::uint16_t port = 0;
};

// The client side as the program sets it up.
struct Client
{
    explicit Client(bool tls, std::uint16_t messengerPort = 7000)
    {
        queue.SetQueueName("SendNote");
        queue.SetMessenger(&messenger);
        auto& h = queue.Handlers.Add();
        h.OnMessage = [this](TMCQueue&, TMCMessage& m, bool& handled) {
            std::lock_guard lock(mutex);
            received.push_back(m.Data);
            handled = true;
        };
        factory.SSLEnabled = tls;
        transport.SetTransportMode(stmClient);
        transport.SetMessenger(&messenger);
        transport.SetMessengerAddress("0.0.0.0");
        transport.SetMessengerPort(messengerPort);
        transport.AttemptsToConnect = 60;
        transport.AttemptsInterval = 500;
        transport.ReuseServerPort = false;
        transport.SetSocketFactory(&factory);
    }
    ~Client() { transport.SetActive(false); }

    void Send(std::uint16_t port, const std::string& text, bool returnData = false,
              std::uint32_t timeout = 15000)
    {
        TMCMessage m = Text(text);
        m.ReturnData = returnData;
        messenger.SendWithCallbacks(Dest(port), m, timeout, outcomes.ReplyProc(), outcomes.TimeoutProc(),
                                    outcomes.ErrorProc(), nullptr);
    }
    std::vector<std::string> Received()
    {
        std::lock_guard lock(mutex);
        return received;
    }

    Outcomes outcomes; // outlives the messenger, whose end still runs completions
    std::mutex mutex;
    std::vector<std::string> received;
    TMCMessenger messenger;
    TMCQueue queue;
    TMCSSLSocketFactory factory;
    TMCSocketTransport transport;
};

// Accepts connections in the background and counts them; each is answered by a script.
class ScriptedPeer
{
public:
    using Script = std::function<void(RawConnection&, int index)>;
    ScriptedPeer(Script script, const std::string& address = "127.0.0.1", std::uint16_t port = 0)
        : FListener(address, port), FScript(std::move(script))
    {
        FThread = std::thread([this] {
            while (!FStop) {
                int fd = FListener.Accept(50ms);
                if (fd < 0)
                    continue;
                RawConnection c(fd);
                int index = FAccepted++;
                FScript(c, index);
            }
        });
    }
    ~ScriptedPeer()
    {
        FStop = true;
        FThread.join();
    }
    std::uint16_t Port() const { return FListener.Port(); }
    int Accepted() const { return FAccepted; }

private:
    RawListener FListener;
    Script FScript;
    std::atomic<bool> FStop{false};
    std::atomic<int> FAccepted{0};
    std::thread FThread;
};

// A frame as the gateway would write it.
std::string GatewayFrame(TMCMessageKind kind, const std::string& source, const std::string& data = {},
                         std::uint32_t transferLo = 1, std::uint32_t transferHi = 2, bool sync = false)
{
    TMCMessageInfo info;
    info.Kind = kind;
    info.TransferIDLo = transferLo;
    info.TransferIDHi = transferHi;
    info.IsSync = sync ? 0xFFFFFFFF : 0;
    info.DestQueue = "SendNote";
    info.Message = Text(data);
    TMCFrameContext context;
    auto parsed = MCParseSourceAddress(source);
    context.ConnectionID = parsed ? parsed->ConnectionID : 0;
    context.LocalAddress = parsed && parsed->HasHost ? parsed->Host : "127.0.0.1";
    context.MessengerPort = parsed ? parsed->Port : 7000;
    return MCBuildMessageFrame(info, kind, context);
}

// Reads the client hello and answers it; then reads the client's first frame (its poll).
bool AnswerHello(RawConnection& c, std::string* firstFrame = nullptr)
{
    if (c.ReadExactly(MCHelloLength).size() != MCHelloLength)
        return false;
    if (!c.Write(MCBuildHello({0, 0, 0})))
        return false;
    std::string frame = c.ReadFrame();
    if (firstFrame)
        *firstFrame = frame;
    return !frame.empty();
}

class Transport : public ::testing::TestWithParam<bool>
{
};

TEST_P(Transport, RequestsRepliesAndGatewayMessagesTravelBothWays)
{
    const bool tls = GetParam();
    TempDir dir;
    Outcomes serverOutcomes; // outlives the server messenger and its pump
    Server server(tls, &dir);
    Client client(tls);
    MessengerPump serverPump(server.messenger), clientPump(client.messenger);
    client.transport.SetActive(true);

    client.Send(server.port, std::string("hello\0world", 11), /*returnData=*/true);
    client.Send(server.port, "second");
    ASSERT_TRUE(client.outcomes.WaitFor(2));
    auto outcomes = client.outcomes.All();
    EXPECT_EQ(outcomes[0].kind, Outcomes::Kind::Reply);
    EXPECT_EQ(outcomes[0].result, 7);
    EXPECT_EQ(outcomes[0].data, "answer:" + std::string("hello\0world", 11));
    EXPECT_EQ(outcomes[1].kind, Outcomes::Kind::Reply);
    EXPECT_EQ(outcomes[1].data, "second") << "without ReturnData the request keeps its own data";
    EXPECT_EQ(server.Received()[0], std::string("hello\0world", 11));

    // The accepting side addresses this very connection through the sender address it saw.
    const std::string sender = server.LastSender();
    ASSERT_EQ(sender.rfind("SOCKET:", 0), 0u) << sender;
    TMCMessage toClient = Text("3:");
    server.messenger.SendWithCallbacks(sender + "|SendNote", toClient, 15000, serverOutcomes.ReplyProc(),
                                       serverOutcomes.TimeoutProc(), serverOutcomes.ErrorProc(), nullptr);
    ASSERT_TRUE(serverOutcomes.WaitFor(1));
    EXPECT_EQ(serverOutcomes.All()[0].kind, Outcomes::Kind::Reply);
    ASSERT_TRUE(WaitUntil([&] { return client.Received().size() == 1; }));
    EXPECT_EQ(client.Received()[0], "3:");
    EXPECT_EQ(client.transport.CountOutgoingConnections(), 1u);
    EXPECT_TRUE(WaitUntil([&] { return client.transport.CountPending() == 0; }));
}

INSTANTIATE_TEST_SUITE_P(PlainAndTls, Transport, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Tls" : "Plain"; });

TEST(TransportAttempts, SixtyOneAttemptsThenTheMessageFailsWith205)
{
    // Every connection is accepted and closed at once: the hello fails, which counts as a failed attempt.
    ScriptedPeer peer([](RawConnection& c, int) { c.Close(); });
    Client client(false);
    client.transport.AttemptsInterval = 1;
    MessengerPump pump(client.messenger);
    client.transport.SetActive(true);
    client.Send(peer.Port(), "ping");
    ASSERT_TRUE(client.outcomes.WaitFor(1, 60s));
    auto o = client.outcomes.All()[0];
    EXPECT_EQ(o.kind, Outcomes::Kind::Error);
    EXPECT_EQ(o.errorCode, 205);
    EXPECT_TRUE(WaitUntil([&] { return client.transport.CountOutgoingConnections() == 0; }));
    EXPECT_EQ(peer.Accepted(), 61);
}

TEST(TransportAttempts, AMessageQueuedDuringTheWaitStartsTheNextAttemptAtOnce)
{
    const std::uint16_t port = FreePort(); // nothing listens yet: the first attempt is refused
    Client client(false);
    client.transport.AttemptsInterval = 600000;
    MessengerPump pump(client.messenger);
    client.transport.SetActive(true);
    client.Send(port, "first");
    std::this_thread::sleep_for(200ms); // let the first attempt fail and the long wait begin

    std::atomic<int> frames{0};
    ScriptedPeer peer(
        [&](RawConnection& c, int) {
            std::string frame;
            if (!AnswerHello(c, &frame))
                return;
            c.Write(GatewayFrame(mkPollEmpty, "17:127.0.0.1:7000"));
            while (!(frame = c.ReadFrame(2s)).empty())
                ++frames;
        },
        "127.0.0.1", port);
    client.Send(port, "second");
    EXPECT_TRUE(WaitUntil([&] { return frames >= 2; }, 20s)) << "the wake-up did not end the 10-minute wait";
}

TEST(TransportEntries, HostNamesDifferingInLetterCaseShareOneConnection)
{
    ScriptedPeer peer([](RawConnection& c, int) {
        AnswerHello(c);
        c.WaitClosed(5s);
    });
    Client client(false);
    client.transport.SetActive(true);
    TMCMessage a = Text("a"), b = Text("b");
    client.messenger.SendWithCallbacks("Socket:LOCALHOST:" + std::to_string(peer.Port()) + "|SendNote", a, 0,
                                       nullptr, nullptr, nullptr, nullptr);
    client.messenger.SendWithCallbacks("Socket:localhost:" + std::to_string(peer.Port()) + "|SendNote", b, 0,
                                       nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(client.transport.CountOutgoingConnections(), 1u);
}

TEST(TransportEntries, SwitchingOffFailsAWaitingRequestWith51)
{
    ScriptedPeer peer([](RawConnection& c, int) {
        AnswerHello(c);
        c.Write(GatewayFrame(mkPollEmpty, "17:127.0.0.1:7000"));
        c.WaitClosed(20s); // reads, never replies
    });
    Client client(false);
    MessengerPump pump(client.messenger);
    client.transport.SetActive(true);
    client.Send(peer.Port(), "unanswered");
    ASSERT_TRUE(WaitUntil([&] { return peer.Accepted() == 1; }));
    std::this_thread::sleep_for(100ms);
    client.transport.SetActive(false);
    ASSERT_TRUE(client.outcomes.WaitFor(1));
    EXPECT_EQ(client.outcomes.All()[0].errorCode, 51);
}

TEST(TransportSettings, AHostNameAsMessengerAddressIsRefused)
{
    TMCMessenger messenger;
    TMCSocketTransport transport;
    transport.SetMessenger(&messenger);
    transport.SetTransportMode(stmClient);
    transport.SetMessengerAddress("127.0.0.1");
    transport.SetActive(true);
    try {
        transport.SetMessengerAddress("gateway.example");
        FAIL() << "no error";
    } catch (const EMCError& e) {
        EXPECT_EQ(e.ErrorCode(), 204);
    }
    EXPECT_EQ(transport.MessengerAddress(), "127.0.0.1");
    EXPECT_FALSE(transport.Active());
}

TEST(TransportSettings, SwitchesOfFacilitiesNotCarriedRefuseActivation)
{
    TMCMessenger messenger;
    TMCSocketTransport transport;
    transport.SetMessenger(&messenger);
    transport.SetTransportMode(stmClient);

    transport.SetUseSocks(true);
    transport.SetUseWebTunneling(true);
    EXPECT_FALSE(transport.UseSocks()); // one proxy at a time
    EXPECT_THROW(transport.SetActive(true), std::invalid_argument);
    EXPECT_FALSE(transport.Active());
    transport.SetUseWebTunneling(false);

    transport.OutgoingSpeedLimit = 1000;
    EXPECT_THROW(transport.SetActive(true), std::invalid_argument);
    transport.OutgoingSpeedLimit = 0;
    transport.UseTempFilesForIncoming = true;
    EXPECT_THROW(transport.SetActive(true), std::invalid_argument);
    transport.UseTempFilesForIncoming = false;

    transport.SetActive(true);
    EXPECT_TRUE(transport.Active());
    transport.SetActive(false);
}

TEST(TransportReconnect, AReconnectGoesToTheAddressThePeerAnnounced)
{
    std::atomic<bool> reachedAnnounced{false};
    ScriptedPeer announced(
        [&](RawConnection& c, int) {
            reachedAnnounced = true;
            AnswerHello(c);
            c.WaitClosed(5s);
        },
        "127.0.0.2");
    const std::string announce = "17:127.0.0.2:" + std::to_string(announced.Port());
    ScriptedPeer first([&](RawConnection& c, int) {
        AnswerHello(c);
        c.Write(GatewayFrame(mkPollEmpty, announce));
        c.Close(); // the link breaks after the announcement
    });
    Client client(false);
    client.transport.AttemptsInterval = 10;
    client.transport.SetActive(true);
    client.Send(first.Port(), "x");
    EXPECT_TRUE(WaitUntil([&] { return reachedAnnounced.load(); }));
}

// Misbehaving peers: none may crash or hang the client; each breaks the link, which is re-established.
struct Misbehaviour
{
    const char* name;
    std::function<void(RawConnection&, const std::string& self)> act; // self: "127.0.0.1:port" of the peer
};

class HostilePeer : public ::testing::TestWithParam<Misbehaviour>
{
};

TEST_P(HostilePeer, BreaksTheLinkAndTheClientReconnects)
{
    std::atomic<std::uint16_t> port{0};
    ScriptedPeer peer([&](RawConnection& c, int index) {
        if (!AnswerHello(c))
            return;
        if (index == 0)
            GetParam().act(c, "127.0.0.1:" + std::to_string(port.load()));
        c.WaitClosed(3s);
    });
    port = peer.Port();
    Client client(false);
    client.transport.AttemptsInterval = 10;
    MessengerPump pump(client.messenger);
    client.transport.SetActive(true);
    client.Send(peer.Port(), "x", false, 0);
    EXPECT_TRUE(WaitUntil([&] { return peer.Accepted() >= 2; }));
    EXPECT_TRUE(client.Received().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Frames, HostilePeer,
    ::testing::Values(Misbehaviour{"BadSignature", [](RawConnection& c,
                                                      const std::string&) { c.Write(std::string(24, 'x')); }},
                      Misbehaviour{"OversizeLength",
                                   [](RawConnection& c, const std::string&) {
                                       std::string f = GatewayFrame(mkMessage, "17:127.0.0.1:7000", "3:");
                                       std::uint32_t huge = 0x7FFFFFFF;
                                       std::memcpy(f.data() + 4, &huge, 4);
                                       c.Write(f);
                                   }},
                      Misbehaviour{"CutFrameThenClose",
                                   [](RawConnection& c, const std::string&) {
                                       std::string f = GatewayFrame(mkMessage, "17:127.0.0.1:7000", "3:");
                                       c.Write(f.substr(0, f.size() / 2));
                                       c.Close();
                                   }},
                      Misbehaviour{"ContradictingNumbers",
                                   [](RawConnection& c, const std::string& self) {
                                       c.Write(GatewayFrame(mkPollEmpty, "17:" + self));
                                       c.Write(GatewayFrame(mkMessage, "18:" + self, "3:", 5, 6, true));
                                   }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HostilePeerData, AMessageShorterThanItsDataSizeIsAnsweredWithError8)
{
    std::string answer;
    std::atomic<bool> done{false};
    ScriptedPeer peer([&](RawConnection& c, int) {
        if (!AnswerHello(c))
            return;
        std::string f = GatewayFrame(mkMessage, "17:127.0.0.1:7000", "0123456789", 5, 6, true);
        // Keep DataSize 10 but send only 4 data bytes.
        f.resize(f.size() - 6);
        std::uint32_t total = static_cast<std::uint32_t>(f.size());
        std::memcpy(f.data() + 4, &total, 4);
        c.Write(f);
        for (std::string frame; !(frame = c.ReadFrame(5s)).empty();) {
            auto parsed = MCParseFrame(frame);
            auto payload = MCReadPayload(parsed, {});
            if (payload.Info->Kind == mkErrorReply) {
                answer = std::to_string(payload.Info->ErrorCode) + "/" +
                         std::to_string(payload.Info->TransferIDLo);
                break;
            }
        }
        done = true;
        c.WaitClosed(2s);
    });
    Client client(false);
    MessengerPump pump(client.messenger);
    client.transport.SetActive(true);
    client.Send(peer.Port(), "x", false, 0);
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }));
    EXPECT_EQ(answer, "8/5");
    EXPECT_TRUE(client.Received().empty());
}

TEST(TlsSocket, TheFirstBytesAreAHelloFramePlainOrATls10ClientHello)
{
    for (bool tls : {false, true}) {
        std::string first;
        std::atomic<bool> got{false};
        ScriptedPeer peer([&](RawConnection& c, int index) {
            if (index == 0) {
                first = c.ReadExactly(24, 5s);
                got = true;
            }
        });
        Client client(tls);
        client.transport.SetActive(true);
        client.Send(peer.Port(), "x");
        ASSERT_TRUE(WaitUntil([&] { return got.load(); }));
        ASSERT_EQ(first.size(), 24u);
        if (tls) {
            EXPECT_EQ(static_cast<unsigned char>(first[0]), 0x16u); // handshake record
            EXPECT_EQ(static_cast<unsigned char>(first[5]), 0x01u); // client hello
            EXPECT_EQ(static_cast<unsigned char>(first[9]), 0x03u); // TLS 1.0 = 3.1
            EXPECT_EQ(static_cast<unsigned char>(first[10]), 0x01u);
        } else {
            EXPECT_EQ(first, MCBuildHello({0, 0, 0}));
        }
    }
}

// A TLS client socket aimed at 127.0.0.1:port, not connected yet.
struct TlsClientSocket
{
    explicit TlsClientSocket(std::uint16_t port)
    {
        factory.SSLEnabled = true;
        socket = factory.CreateClientSocket();
        socket->SetRemoteAddress("127.0.0.1");
        socket->SetRemotePort(port);
    }
    TMCSSLSocketFactory factory;
    std::unique_ptr<TMCSocket> socket;
    TMCWakeup wakeup;
};

TEST(TlsSocket, AHandshakeThatNeverCompletesFailsWith206AfterTheTimeout)
{
    RawListener silent; // accepts (by backlog) and never answers
    TlsClientSocket client(silent.Port());
    ASSERT_TRUE(client.socket->ConnectWithTimeout(&client.wakeup, 5000));
    const std::uint32_t start = MCGetTickCount();
    try {
        client.socket->SecureHandshake(&client.wakeup, 300);
        FAIL() << "handshake succeeded";
    } catch (const EMCError& e) {
        EXPECT_EQ(e.ErrorCode(), 206);
    }
    EXPECT_GE(MCTicksSince(start, MCGetTickCount()), 300u);
}

TEST(TlsSocket, APeerThatClosesDuringTheHandshakeGives801)
{
    ScriptedPeer peer([](RawConnection& c, int) {
        c.ReadExactly(5, 5s);
        c.Close();
    });
    TlsClientSocket client(peer.Port());
    ASSERT_TRUE(client.socket->ConnectWithTimeout(&client.wakeup, 5000));
    try {
        client.socket->SecureHandshake(&client.wakeup, 10000);
        FAIL() << "handshake succeeded";
    } catch (const EMCError& e) {
        EXPECT_EQ(e.ErrorCode(), 801);
    }
}

} // namespace

namespace {

// A factory whose client sockets can be made to fail, like an exhausted descriptor table.
struct FailingFactory : TMCStdSocketFactory
{
    std::atomic<bool> fail{false};
    std::unique_ptr<TMCSocket> CreateClientSocket() override
    {
        if (fail)
            throw EMCError(MCErr::InvalidSocket);
        return TMCStdSocketFactory::CreateClientSocket();
    }
};

TEST(TransportRobustness, APollCaughtByABrokenLinkIsNotCountedAsTheFailedMessage)
{
    ScriptedPeer peer([](RawConnection& c, int index) {
        if (index == 0) {
            c.ReadExactly(MCHelloLength);
            c.Write(MCBuildHello({0, 0, 0}));
            c.ReadFrame(); // the poll, then gone before answering it
        }
        c.Close();
    });
    Client client(false);
    client.transport.AttemptsToConnect = 3;
    client.transport.AttemptsInterval = 1;
    MessengerPump pump(client.messenger);
    client.transport.SetActive(true);
    client.Send(peer.Port(), "x", false, 0);
    ASSERT_TRUE(client.outcomes.WaitFor(1, 30s));
    EXPECT_EQ(client.outcomes.All()[0].errorCode, 205);
    EXPECT_TRUE(WaitUntil([&] { return client.transport.CountOutgoingConnections() == 0; }));
    // The written poll reset the attempt count: the link, then attempts 1 to 4.
    EXPECT_EQ(peer.Accepted(), 5) << "the link and one round of attempts, not a second round";
}

TEST(TransportRobustness, AConnectionThatCannotBeMadeLosesNoMessage)
{
    ScriptedPeer peer([](RawConnection& c, int) {
        AnswerHello(c);
        c.Write(GatewayFrame(mkPollEmpty, "17:127.0.0.1:7000"));
        c.WaitClosed(5s); // never answers
    });
    FailingFactory factory;
    Outcomes outcomes;
    TMCMessenger messenger;
    TMCSocketTransport transport;
    transport.SetTransportMode(stmClient);
    transport.SetMessenger(&messenger);
    transport.SetSocketFactory(&factory);
    transport.InactivityTime = 300; // the job ends and its request goes back to the pending list
    MessengerPump pump(messenger);
    transport.SetActive(true);
    auto send = [&](const char* text) {
        TMCMessage m = Text(text);
        messenger.SendWithCallbacks(Dest(peer.Port()), m, 0, outcomes.ReplyProc(), outcomes.TimeoutProc(),
                                    outcomes.ErrorProc(), nullptr);
    };
    send("first");
    ASSERT_TRUE(WaitUntil(
        [&] { return transport.CountOutgoingConnections() == 0 && transport.CountPending() == 1; }));
    factory.fail = true;
    EXPECT_NO_THROW(send("second"));
    EXPECT_EQ(transport.CountPending(), 2u);
    transport.SetActive(false);
    ASSERT_TRUE(outcomes.WaitFor(2));
    for (const auto& o : outcomes.All())
        EXPECT_EQ(o.errorCode, 51);
}

TEST(TransportRobustness, AThrowingDisconnectHandlerDoesNotStrandTheConnection)
{
    std::atomic<std::uint16_t> port{0};
    ScriptedPeer peer([&](RawConnection& c, int) {
        AnswerHello(c);
        c.Write(GatewayFrame(mkPollEmpty, "17:127.0.0.1:" + std::to_string(port.load())));
        c.Close();
    });
    port = peer.Port();
    Client client(false);
    client.transport.AttemptsInterval = 10;
    client.transport.OnDisconnected = [](auto&, auto, auto&, auto) {
        throw std::runtime_error("application");
    };
    client.transport.SetActive(true);
    client.Send(peer.Port(), "x", false, 0);
    EXPECT_TRUE(WaitUntil([&] { return peer.Accepted() >= 2; })) << "the job died with the handler";
}

} // namespace

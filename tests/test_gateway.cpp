// The development gateway as a process, driven by small clients built from the
// transport: greeting, registration and session codes, the helpdesk joining,
// texts passing through, leaving and lost connections, and the test switches.
#include "lib/orvAppUtils.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/MessengerPump.h"
#include "tests/support/TestUtil.h"
#include "transport/MCMessenger.h"
#include "transport/MCSSLSocket.h"
#include "transport/MCSocketTransport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

using namespace orvtest;
using namespace std::chrono_literals;

namespace {

constexpr std::int32_t CustomerCode = 1000000000 + 4711;
constexpr std::int32_t HelpdeskCode = 2000000000 + 4711;

struct Text
{
    int channel = 0;
    std::string data;
    std::int32_t msgCode = 0;
};

// One end of a session as the customer program or the helpdesk console is
// seen by the gateway: a client transport sending channel texts with its
// message code and recording what the gateway sends to it.
class Peer
{
public:
    Peer(std::uint16_t port, std::int32_t msgCode, bool tls = true) : FPort(port), FMsgCode(msgCode)
    {
        queue.SetQueueName("SendNote");
        queue.SetMessenger(&messenger);
        auto& h = queue.Handlers.Add();
        h.OnMessage = [this](TMCQueue&, TMCMessage& m, bool& handled) {
            {
                std::lock_guard lock(FMutex);
                FReceived.push_back({m.Param1, m.Data, m.MsgCode});
            }
            handled = true;
        };
        factory.SSLEnabled = tls;
        transport.SetTransportMode(stmClient);
        transport.SetMessenger(&messenger);
        transport.AttemptsToConnect = 10;
        transport.AttemptsInterval = 100;
        transport.ReuseServerPort = false;
        transport.SetSocketFactory(&factory);
        transport.SetActive(true);
    }
    ~Peer() { transport.SetActive(false); }

    // With wait, returns once the gateway has answered (so it has handled the text).
    void Send(int channel, const std::string& text, bool wait = true)
    {
        TMCMessage m;
        m.Priority = channel == 2 || channel == 4 ? 50 : 75;
        m.MsgCode = FMsgCode;
        m.Param1 = channel;
        m.Param2 = 1;
        m.Data = text;
        messenger.SendWithCallbacks("Socket:127.0.0.1:" + std::to_string(FPort) + "|SendNote", m, 15000,
                                    outcomes.ReplyProc(), outcomes.TimeoutProc(), outcomes.ErrorProc(),
                                    nullptr);
        ++FSent;
        if (wait) {
            ASSERT_TRUE(outcomes.WaitFor(FSent)) << "no answer to " << text;
            ASSERT_EQ(outcomes.All().back().kind, Outcomes::Kind::Reply);
        }
    }

    // The next text not taken yet; channel 0 when none came in time.
    Text Next(std::chrono::milliseconds deadline = 20s)
    {
        Text next;
        WaitUntil(
            [&] {
                std::lock_guard lock(FMutex);
                if (FTaken >= FReceived.size())
                    return false;
                next = FReceived[FTaken++];
                return true;
            },
            deadline);
        return next;
    }

    std::size_t Waiting()
    {
        std::lock_guard lock(FMutex);
        return FReceived.size() - FTaken;
    }

    // Drops the TCP link without a word.
    void Close() { transport.SetActive(false); }

private:
    std::uint16_t FPort;
    std::int32_t FMsgCode;
    std::size_t FSent = 0;
    std::mutex FMutex;
    std::vector<Text> FReceived;
    std::size_t FTaken = 0;

public:
    Outcomes outcomes; // outlives the messenger, whose end still runs completions
    TMCMessenger messenger;
    TMCQueue queue;
    TMCSSLSocketFactory factory;
    TMCSocketTransport transport;
    MessengerPump pump{messenger};
};

struct Answer
{
    std::string code;
    std::optional<TRegisteringData> record;
    int SessionCode() const { return record ? record->SessionID - orvSessionIDBase : -1; }
};

// The first message of a new connection brings "3:" on channel 1 before anything else.
void Greet(Peer& peer)
{
    peer.Send(5, "keep-alive");
    const Text greeting = peer.Next();
    EXPECT_EQ(greeting.channel, 1);
    EXPECT_EQ(greeting.data, "3:");
}

Answer Register(Peer& peer, std::int32_t sessionID)
{
    TRegisteringData request;
    request.ProgramVersion = "beta4";
    request.Language = "EN";
    request.SessionID = sessionID;
    peer.Send(1, JoinCommand(orvCmd::Register, EncodeRegisteringData(request)));
    const Text reply = peer.Next();
    EXPECT_EQ(reply.channel, 1);
    const TorvCommandParts parts = SplitCommandText(reply.data);
    return {parts.Code, DecodeRegisteringData(parts.Data)};
}

Answer Join(Peer& peer, std::int32_t sessionID)
{
    Greet(peer);
    return Register(peer, sessionID);
}

void ExpectCommand(Peer& peer, const std::string& text)
{
    const Text t = peer.Next();
    EXPECT_EQ(t.channel, 1) << t.data;
    EXPECT_EQ(t.data, text);
}

// Sends a burst of texts from one side and checks that the other side gets
// each channel's texts unchanged and in order (channels of different
// priority may overtake each other), and nothing else.
void ExpectPassedThrough(Peer& from, std::int32_t fromCode, Peer& to, const std::vector<Text>& texts)
{
    std::map<int, std::vector<std::string>> sent, got;
    for (const Text& t : texts) {
        from.Send(t.channel, t.data, false);
        sent[t.channel].push_back(t.data);
    }
    from.Send(5, "keep-alive, not passed on", false);
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const Text t = to.Next();
        ASSERT_NE(t.channel, 0) << "only " << i << " of " << texts.size() << " texts came";
        EXPECT_EQ(t.msgCode, fromCode);
        got[t.channel].push_back(t.data);
    }
    EXPECT_EQ(got, sent);
    from.Send(3, "marker");
    EXPECT_EQ(to.Next().data, "marker") << "something else was passed on";
}

TEST(Gateway, CustomersGetFreshCodesAndCanRejoinTheirOwnWhenItIsFree)
{
    GatewayProcess gateway;
    Peer first(gateway.Port(), CustomerCode);
    const Answer a = Join(first, 0);
    ASSERT_EQ(a.code, "11");
    ASSERT_TRUE(a.record);
    EXPECT_EQ(a.record->ResultCode, 0);
    EXPECT_EQ(a.record->ProgramVersion, "beta4");
    EXPECT_GE(a.SessionCode(), 100000);
    EXPECT_LE(a.SessionCode(), 999999);

    Peer second(gateway.Port(), CustomerCode + 1);
    const Answer b = Join(second, 0);
    ASSERT_EQ(b.code, "11");
    EXPECT_NE(b.SessionCode(), a.SessionCode());
    EXPECT_GE(b.SessionCode(), 100000);
    EXPECT_LE(b.SessionCode(), 999999);

    // A code in use is not handed over; once its customer has left it is.
    Peer other(gateway.Port(), CustomerCode + 2);
    const Answer taken = Join(other, orvSessionIDBase + a.SessionCode());
    EXPECT_EQ(taken.code, "12");
    ASSERT_TRUE(taken.record);
    EXPECT_EQ(taken.record->ResultCode, orvResult::GatewayBusy);
    first.Send(1, "2:");
    Peer back(gateway.Port(), CustomerCode + 3);
    const Answer rejoined = Join(back, orvSessionIDBase + a.SessionCode());
    EXPECT_EQ(rejoined.code, "11");
    EXPECT_EQ(rejoined.SessionCode(), a.SessionCode());

    // Neither a code outside the range nor a record that does not decode gets a session.
    const Answer outside = Register(other, orvSessionIDBase + 42);
    EXPECT_EQ(outside.code, "12");
    ASSERT_TRUE(outside.record);
    EXPECT_EQ(outside.record->ResultCode, orvResult::Rejected);
    other.Send(1, "8:nonsense");
    const TorvCommandParts garbage = SplitCommandText(other.Next().data);
    EXPECT_EQ(garbage.Code, "12");
    ASSERT_TRUE(DecodeRegisteringData(garbage.Data));
    EXPECT_EQ(DecodeRegisteringData(garbage.Data)->ResultCode, orvResult::InvalidProtocolVersion);

    EXPECT_EQ(gateway.Stop(), 0) << gateway.ErrorOutput();
}

TEST(Gateway, AHelpdeskJoinsByCodeTextsPassUnchangedAndLeavingIsTold)
{
    GatewayProcess gateway;
    Peer customer(gateway.Port(), CustomerCode);
    const int code = Join(customer, 0).SessionCode();
    ASSERT_GT(code, 0);

    Peer stranger(gateway.Port(), HelpdeskCode);
    const Answer unknown = Join(stranger, orvSessionIDBase + (code == 999999 ? 100000 : code + 1));
    EXPECT_EQ(unknown.code, "12");
    ASSERT_TRUE(unknown.record);
    EXPECT_EQ(unknown.record->ResultCode, orvResult::Rejected);

    Peer helpdesk(gateway.Port(), HelpdeskCode + 1);
    const Answer joined = Join(helpdesk, orvSessionIDBase + code);
    EXPECT_EQ(joined.code, "11");
    EXPECT_EQ(joined.SessionCode(), code);
    ExpectCommand(helpdesk, "5:");
    ExpectCommand(customer, "5:");

    Peer second(gateway.Port(), HelpdeskCode + 2);
    const Answer busy = Join(second, orvSessionIDBase + code);
    EXPECT_EQ(busy.code, "12");
    ASSERT_TRUE(busy.record);
    EXPECT_EQ(busy.record->ResultCode, orvResult::GatewayBusy);

    using namespace std::string_literals;
    ExpectPassedThrough(helpdesk, HelpdeskCode + 1, customer,
                        {{2, "7:RFB 003.008\n\0\0"s},
                         {3, "chat\0line"s},
                         {4, "\0\xFF\xFE:piece"s},
                         {2, "7:\0\x01\x02"s},
                         {1, "101:C:\\file\0name"s},
                         {4, ""},
                         {3, "second line"}});
    ExpectPassedThrough(customer, CustomerCode, helpdesk,
                        {{1, "100:101"}, {2, "7:\0RFB"s}, {3, "reply\0"s}, {4, "ack\0\0"s}});

    // The helpdesk leaves: the customer waits again, and another helpdesk may join.
    helpdesk.Send(1, "2:");
    ExpectCommand(customer, "6:");
    Peer again(gateway.Port(), HelpdeskCode + 3);
    EXPECT_EQ(Join(again, orvSessionIDBase + code).code, "11");
    ExpectCommand(again, "5:");
    ExpectCommand(customer, "5:");

    // The customer leaves: the session is over for the helpdesk too.
    customer.Send(1, "2:");
    ExpectCommand(again, "7:1000");
    Peer late(gateway.Port(), HelpdeskCode + 4);
    EXPECT_EQ(Join(late, orvSessionIDBase + code).code, "12");
    EXPECT_EQ(gateway.Stop(), 0) << gateway.ErrorOutput();
}

TEST(Gateway, ALostConnectionCountsAsLeaving)
{
    GatewayProcess gateway;
    Peer customer(gateway.Port(), CustomerCode);
    const int code = Join(customer, 0).SessionCode();
    {
        Peer helpdesk(gateway.Port(), HelpdeskCode);
        ASSERT_EQ(Join(helpdesk, orvSessionIDBase + code).code, "11");
        ExpectCommand(helpdesk, "5:");
        ExpectCommand(customer, "5:");
        helpdesk.Close();
    }
    ExpectCommand(customer, "6:");

    Peer helpdesk(gateway.Port(), HelpdeskCode + 1);
    ASSERT_EQ(Join(helpdesk, orvSessionIDBase + code).code, "11");
    ExpectCommand(helpdesk, "5:");
    ExpectCommand(customer, "5:");
    customer.Close();
    ExpectCommand(helpdesk, "7:1000");
    EXPECT_EQ(gateway.Stop(), 0) << gateway.ErrorOutput();
}

TEST(Gateway, AConnectionThatSendsNothingForTheIdleTimeIsDropped)
{
    GatewayProcess gateway({"--idle-timeout", "1"});
    Peer customer(gateway.Port(), CustomerCode);
    const int code = Join(customer, 0).SessionCode();
    Peer helpdesk(gateway.Port(), HelpdeskCode);
    ASSERT_EQ(Join(helpdesk, orvSessionIDBase + code).code, "11");
    ExpectCommand(helpdesk, "5:");
    ExpectCommand(customer, "5:");

    // The helpdesk keeps talking, the customer falls silent.
    EXPECT_TRUE(WaitUntil(
        [&] {
            helpdesk.Send(5, "keep-alive", false);
            return helpdesk.Waiting() > 0;
        },
        20s, 200ms));
    ExpectCommand(helpdesk, "7:1000");
    Peer late(gateway.Port(), HelpdeskCode + 1);
    EXPECT_EQ(Join(late, orvSessionIDBase + code).code, "12") << "the session outlived its customer";
    EXPECT_EQ(gateway.Stop(), 0) << gateway.ErrorOutput();
}

TEST(GatewaySwitches, RedirectRefusalPlainTcpAndVerboseLog)
{
    {
        GatewayProcess redirecting({"--redirect", "127.0.0.1:7123"});
        for (std::int32_t msgCode : {CustomerCode, HelpdeskCode}) {
            Peer peer(redirecting.Port(), msgCode);
            const Answer a = Join(peer, msgCode == CustomerCode ? 0 : orvSessionIDBase + 123456);
            EXPECT_EQ(a.code, "12");
            ASSERT_TRUE(a.record);
            EXPECT_EQ(a.record->ResultCode, orvResult::Redirect);
            EXPECT_EQ(a.record->ResultText, "127.0.0.1:7123");
        }
        EXPECT_EQ(redirecting.Stop(), 0) << redirecting.ErrorOutput();
    }
    {
        GatewayProcess refusing({"--refuse", "104"});
        Peer peer(refusing.Port(), CustomerCode);
        const Answer a = Join(peer, 0);
        EXPECT_EQ(a.code, "12");
        ASSERT_TRUE(a.record);
        EXPECT_EQ(a.record->ResultCode, orvResult::Refused);
        EXPECT_EQ(refusing.Stop(), 0) << refusing.ErrorOutput();
    }
    {
        GatewayProcess plain({"--plain", "--verbose"});
        Peer peer(plain.Port(), CustomerCode, /*tls=*/false);
        EXPECT_EQ(Join(peer, 0).code, "11");
        peer.Send(3, std::string("no one\0here", 11));
        EXPECT_EQ(plain.Stop(), 0) << plain.ErrorOutput();
        EXPECT_NE(plain.ErrorOutput().find("ch3: no one\\x00here"), std::string::npos) << plain.ErrorOutput();
    }
}

TEST(GatewayProgram, HelpFlagsCertificateFolderAndSignals)
{
    std::string help;
    {
        std::FILE* out = ::popen((GatewayProcess::BinaryPath() + " --help").c_str(), "r");
        ASSERT_NE(out, nullptr);
        char buffer[1024];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;)
            help.append(buffer, n);
        EXPECT_EQ(::pclose(out), 0);
    }
    for (const char* flag : {"--listen", "--plain", "--cert", "--state-dir", "--redirect", "--refuse",
                             "--verbose", "--idle-timeout"})
        EXPECT_NE(help.find(flag), std::string::npos) << flag;
    const std::string quiet = " >/dev/null 2>&1";
    EXPECT_NE(std::system((GatewayProcess::BinaryPath() + " --no-such-flag" + quiet).c_str()), 0);
    EXPECT_NE(std::system((GatewayProcess::BinaryPath() + " --redirect nowhere" + quiet).c_str()), 0);
    EXPECT_NE(std::system((GatewayProcess::BinaryPath() + " --refuse 0" + quiet).c_str()), 0);

    // The self-signed pair is made once in the state folder and used again.
    TempDir dir;
    const std::string state = dir.File("state/orvalis-gateway");
    std::string certificate;
    {
        GatewayProcess gateway({"--state-dir", state});
        Peer peer(gateway.Port(), CustomerCode);
        EXPECT_EQ(Join(peer, 0).code, "11");
        certificate = ReadFile(state + "/gateway.crt");
        EXPECT_NE(certificate.find("BEGIN CERTIFICATE"), std::string::npos);
        struct stat key
        {
        }, folder{};
        ASSERT_EQ(::stat((state + "/gateway.key").c_str(), &key), 0);
        EXPECT_EQ(key.st_mode & 0777, 0600u);
        ASSERT_EQ(::stat(state.c_str(), &folder), 0);
        EXPECT_EQ(folder.st_mode & 0777, 0700u);
        EXPECT_EQ(gateway.Stop(), 0) << gateway.ErrorOutput();
    }
    {
        GatewayProcess gateway({"--state-dir", state});
        EXPECT_EQ(ReadFile(state + "/gateway.crt"), certificate);
        EXPECT_EQ(gateway.Stop(10s, SIGINT), 0) << gateway.ErrorOutput();
    }

    // A port in use is a clear failure, not a hang.
    GatewayProcess first;
    try {
        GatewayProcess second({"--listen", "127.0.0.1:" + std::to_string(first.Port())});
        ADD_FAILURE() << "a second gateway listens on the same port";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cannot listen"), std::string::npos) << e.what();
    }
}

} // namespace
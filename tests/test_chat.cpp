// Chat on channel 3 end to end: the customer's chat thread against the
// development gateway, with the helpdesk console's connection core on the
// other end sending raw channel texts and collecting what comes back.
#include "lib/debugProc.h"
#include "lib/orvAppUtils.h"
#include "lib/orvChat.h"
#include "lib/orvCommandThread.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvThreads.h"
#include "tests/support/ChannelCollector.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>

using namespace orvtest;
using namespace std::chrono_literals;

namespace {

// The main thread's share: the chat lines shown, in order.
struct TShown
{
    std::vector<std::string> Lines;
    std::function<void(const std::string&)> Throw; // a GUI step that fails for this text
};

class Chat : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        orvSync::SetMainThread();
        orvStartConnectionCore();
        Gateway = std::make_unique<GatewayProcess>();
    }
    static void TearDownTestSuite()
    {
        Gateway.reset();
        orvShutdownConnectionCore();
    }

    void SetUp() override
    {
        const std::string settings = FDir.File("orvcustomer.ini");
        WriteFile(settings, "[gateway]\ngateway1=127.0.0.1:" + std::to_string(Gateway->Port()) + "\n");

        FCustomer = Establish(settings, 0, orvKindCustomer);
        ASSERT_TRUE(FCustomer);
        auto chat = std::make_unique<TOrvChatThread>();
        chat->SetOnChatMessage([this](const std::string& text) {
            EXPECT_TRUE(orvSync::IsMainThread());
            if (FShown.Throw)
                FShown.Throw(text);
            FShown.Lines.push_back(text);
        });
        FChat = &orvStartChannelThread(*FCustomer, orvChatChannel, std::move(chat));

        const int code = FCustomer->SessionIdentifier() - orvSessionIDBase;
        FHelpdesk = Establish(settings, orvSessionIDBase + code, orvKindHelpdesk);
        ASSERT_TRUE(FHelpdesk);
        FHelpdeskChat =
            &orvStartChannelThread(*FHelpdesk, orvChatChannel, std::make_unique<ChannelCollector>());
        ASSERT_TRUE(Serve([&] { return FCustomer->ServerConnectionState() == scsTotallyConnected; }));
        ASSERT_TRUE(Serve([&] { return FHelpdesk->ServerConnectionState() == scsTotallyConnected; }));
    }

    void TearDown() override
    {
        FHelpdesk.reset();
        FCustomer.reset();
    }

    // Polls like the main window's timer until one registers.
    static std::unique_ptr<TorvConnection> Establish(const std::string& settings, std::int32_t session,
                                                     std::uint8_t kind)
    {
        TOrvServers servers(settings);
        servers.Start(session, kind, "beta4", "EN", orvRegisteringDataVersion);
        std::unique_ptr<TorvConnection> connection;
        Serve([&] {
            if (TorvConnection* won = servers.Poll()) {
                connection = servers.Detach(won);
                servers.CloseAll();
            }
            return connection != nullptr || servers.Failed();
        });
        return connection;
    }

    // Waits for the predicate while serving the chat thread's calls, as the GUI thread does.
    static bool Serve(const std::function<bool()>& predicate, std::chrono::milliseconds deadline = 30s)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (!predicate()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            orvSync::CheckSynchronize(5);
        }
        return true;
    }

    void HelpdeskSays(const std::string& text) { FHelpdesk->Send(orvChatChannel, text); }

    // What the helpdesk got back, after a marker line proves the texts before it were handled.
    std::vector<std::string> HelpdeskGotUpTo(const std::string& marker)
    {
        HelpdeskSays(marker);
        const std::string answer = "100:" + marker;
        std::vector<std::string> got;
        Serve([&] {
            got = FHelpdeskChat->Texts();
            return !got.empty() && got.back() == answer;
        });
        EXPECT_FALSE(got.empty());
        if (!got.empty() && got.back() == answer)
            got.pop_back();
        return got;
    }

    static inline std::unique_ptr<GatewayProcess> Gateway;
    TempDir FDir;
    TShown FShown;
    std::unique_ptr<TorvConnection> FCustomer;
    std::unique_ptr<TorvConnection> FHelpdesk;
    TOrvChatThread* FChat = nullptr;
    ChannelCollector* FHelpdeskChat = nullptr;
};

TEST_F(Chat, LinesAreShownWholeAndUnknownTypesAnsweredButNeverAnAnswer)
{
    HelpdeskSays("1:a:b");
    const std::string binary("1:\x00\xFF\r\nend", 9);
    HelpdeskSays(binary);
    HelpdeskSays("1:");
    ASSERT_TRUE(Serve([&] { return FShown.Lines.size() == 3; })) << FShown.Lines.size();
    EXPECT_EQ(FShown.Lines[0], "a:b");
    EXPECT_EQ(FShown.Lines[1], binary.substr(2));
    EXPECT_EQ(FShown.Lines[2], ""); // the window ignores it

    HelpdeskSays("1");
    HelpdeskSays("7:hello");
    HelpdeskSays("100:7:hello");
    const std::string unknown("9:\x00\xFF\r\n", 6);
    HelpdeskSays(unknown);
    EXPECT_EQ(HelpdeskGotUpTo("8:marker"),
              (std::vector<std::string>{"100:1", "100:7:hello", "100:" + unknown}));
    EXPECT_EQ(FShown.Lines.size(), 3u);
}

TEST_F(Chat, TheCustomersLinesGoOutWithTheirBytesUnchanged)
{
    FChat->SendChatMessage("hi");
    FChat->SendChatMessage("");
    FChat->SendChatMessage(std::string("\x00\xFF\r\n", 4));
    EXPECT_EQ(HelpdeskGotUpTo("8:one"),
              (std::vector<std::string>{"1:hi", "1:", std::string("1:\x00\xFF\r\n", 6)}));
}

TEST_F(Chat, ABurstOfAThousandLinesArrivesCompleteAndInOrder)
{
    constexpr int kLines = 1000;
    for (int i = 0; i < kLines; ++i)
        HelpdeskSays("1:line " + std::to_string(i));
    ASSERT_TRUE(Serve([&] { return FShown.Lines.size() >= kLines; }, 120s)) << FShown.Lines.size();
    ASSERT_EQ(FShown.Lines.size(), static_cast<std::size_t>(kLines));
    for (int i = 0; i < kLines; ++i)
        ASSERT_EQ(FShown.Lines[static_cast<std::size_t>(i)], "line " + std::to_string(i));
}

TEST_F(Chat, AFailingGuiStepIsLoggedAndTheThreadGoesOn)
{
    TempDir logDir;
    const std::string previous = RedirectDebugLogForTesting(logDir.File("debug.log"));
    FShown.Throw = [](const std::string& text) {
        if (text == "bad")
            throw std::runtime_error("cannot show it");
    };
    HelpdeskSays("1:bad");
    HelpdeskSays("1:good");
    const bool shown = Serve([&] { return FShown.Lines.size() == 1; });
    RedirectDebugLogForTesting(previous);
    ASSERT_TRUE(shown);
    EXPECT_EQ(FShown.Lines[0], "good");
    EXPECT_NE(ReadFile(logDir.File("debug.log"))
                  .find("Error in TOrvChatThread.ReceiveChatMsgProc (\"cannot show it\")"),
              std::string::npos);
}

TEST_F(Chat, DestroyingTheConnectionWhileTheChatThreadWaitsForTheGuiThreadDoesNotHang)
{
    // Notice the moment the chat thread waits for this thread.
    std::atomic<bool> waiting{false};
    orvSync::SetWakeMainThread([&waiting] { waiting = true; });
    HelpdeskSays("1:last words");
    const bool waited = WaitUntil([&] { return waiting.load(); }, 30s);
    orvSync::SetWakeMainThread(nullptr);
    ASSERT_TRUE(waited);
    EXPECT_TRUE(FShown.Lines.empty());

    // The GUI thread tears the session down without serving first.
    FCustomer.reset();
    ASSERT_EQ(FShown.Lines.size(), 1u); // shown on the way out, not lost
    EXPECT_EQ(FShown.Lines[0], "last words");
}

} // namespace

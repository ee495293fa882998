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
#include "tests/support/GatewaySuite.h"
#include "tests/support/SessionUtil.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
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

class Chat : public GatewaySuite
{
protected:
    void SetUp() override
    {
        JoinCustomer();
        if (HasFatalFailure())
            return;
        const int code = FCustomer->SessionIdentifier() - orvSessionIDBase;
        FHelpdesk = JoinSession(FSettings, orvSessionIDBase + code, orvKindHelpdesk);
        ASSERT_TRUE(FHelpdesk);
        FHelpdeskChat =
            &orvStartChannelThread(*FHelpdesk, orvChatChannel, std::make_unique<ChannelCollector>());
        ASSERT_TRUE(ServeUntil([&] { return FCustomer->ServerConnectionState() == scsTotallyConnected; }));
        ASSERT_TRUE(ServeUntil([&] { return FHelpdesk->ServerConnectionState() == scsTotallyConnected; }));
    }

    // The customer registered, with its chat thread.
    void JoinCustomer()
    {
        FSettings = FDir.File("orvcustomer.ini");
        Gateway->WriteClientSettings(FSettings);
        FCustomer = JoinSession(FSettings, 0, orvKindCustomer);
        ASSERT_TRUE(FCustomer);
        auto chat = std::make_unique<TOrvChatThread>();
        chat->SetOnChatMessage([this](const std::string& text) {
            EXPECT_TRUE(orvSync::IsMainThread());
            if (FShown.Throw)
                FShown.Throw(text);
            FShown.Lines.push_back(text);
        });
        FChat = &orvStartChannelThread(*FCustomer, orvChatChannel, std::move(chat));
    }

    void TearDown() override
    {
        FHelpdesk.reset();
        FCustomer.reset();
    }

    void HelpdeskSays(const std::string& text) { FHelpdesk->Send(orvChatChannel, text); }

    // What the helpdesk got back since the last marker, once this marker's
    // answer proves the texts before it were handled.
    std::vector<std::string> HelpdeskGotUpTo(const std::string& marker)
    {
        HelpdeskSays(marker);
        const std::string answer = "100:" + marker;
        std::vector<std::string> got;
        EXPECT_TRUE(ServeUntil([&] {
            got = FHelpdeskChat->Texts();
            return !got.empty() && got.back() == answer;
        })) << "no answer to "
            << marker;
        const std::size_t from = std::min(FTaken, got.size());
        FTaken = got.size();
        if (!got.empty() && got.back() == answer)
            got.pop_back();
        return {got.begin() + static_cast<std::ptrdiff_t>(from), got.end()};
    }

    TempDir FDir;
    std::string FSettings;
    TShown FShown;
    std::unique_ptr<TorvConnection> FCustomer;
    std::unique_ptr<TorvConnection> FHelpdesk;
    TOrvChatThread* FChat = nullptr;
    ChannelCollector* FHelpdeskChat = nullptr;
    std::size_t FTaken = 0; // the helpdesk's texts already returned
};

TEST_F(Chat, LinesPassWholeBothWaysAndUnknownTypesAreAnsweredButNeverAnAnswer)
{
    HelpdeskSays("1:a:b");
    const std::string binary("1:\x00\xFF\r\nend", 9);
    HelpdeskSays(binary);
    HelpdeskSays("1:");
    ASSERT_TRUE(ServeUntil([&] { return FShown.Lines.size() == 3; })) << FShown.Lines.size();
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

    // The customer's lines go out with their bytes unchanged.
    FChat->SendChatMessage("hi");
    FChat->SendChatMessage("");
    FChat->SendChatMessage(std::string("\x00\xFF\r\n", 4));
    EXPECT_EQ(HelpdeskGotUpTo("8:second marker"),
              (std::vector<std::string>{"1:hi", "1:", std::string("1:\x00\xFF\r\n", 6)}));
}

TEST_F(Chat, ABurstOfAThousandLinesArrivesCompleteAndInOrder)
{
    constexpr int kLines = 1000;
    for (int i = 0; i < kLines; ++i)
        HelpdeskSays("1:line " + std::to_string(i));
    ASSERT_TRUE(ServeUntil([&] { return FShown.Lines.size() >= kLines; }, 120s)) << FShown.Lines.size();
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
    const bool shown = ServeUntil([&] { return FShown.Lines.size() == 1; });
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

class ChatConsole : public Chat
{
protected:
    void SetUp() override { JoinCustomer(); }
};

TEST_F(ChatConsole, TheHelpdeskConsoleChatsWithChatAndPrintsTheCustomersLines)
{
    // The console typed to through a pipe; closing it waits for the console to end, a minute at most.
    const std::string output = FDir.File("console.out");
    const std::string command =
        "timeout 60 '" + std::string(ORV_BINARY_DIR) + "/bin/orvhelpdesk' --settings '" + FSettings + "' " +
        std::to_string(FCustomer->SessionIdentifier() - orvSessionIDBase) + " >'" + output + "' 2>&1";
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> console(::popen(command.c_str(), "w"), &::pclose);
    ASSERT_TRUE(console);
    auto type = [&](const std::string& line) {
        std::fputs((line + "\n").c_str(), console.get());
        std::fflush(console.get());
    };
    ASSERT_TRUE(ServeUntil([&] { return FCustomer->ServerConnectionState() == scsTotallyConnected; }))
        << ReadFile(output);

    type("chat hello from C:\\helpdesk");
    ASSERT_TRUE(ServeUntil([&] { return !FShown.Lines.empty(); })) << ReadFile(output);
    EXPECT_EQ(FShown.Lines[0], "hello from C:\\helpdesk"); // typed text goes out as it stands

    FChat->SendChatMessage("thanks: it works");
    EXPECT_TRUE(WaitUntil([&] {
        return ReadFile(output).find("\nchat: thanks: it works\n") != std::string::npos;
    })) << ReadFile(output);

    type("quit");
    EXPECT_EQ(::pclose(console.release()), 0) << ReadFile(output);
}

} // namespace

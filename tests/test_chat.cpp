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

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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
        JoinCustomer();
        if (HasFatalFailure())
            return;
        const int code = FCustomer->SessionIdentifier() - orvSessionIDBase;
        FHelpdesk = Establish(FSettings, orvSessionIDBase + code, orvKindHelpdesk);
        ASSERT_TRUE(FHelpdesk);
        FHelpdeskChat =
            &orvStartChannelThread(*FHelpdesk, orvChatChannel, std::make_unique<ChannelCollector>());
        ASSERT_TRUE(Serve([&] { return FCustomer->ServerConnectionState() == scsTotallyConnected; }));
        ASSERT_TRUE(Serve([&] { return FHelpdesk->ServerConnectionState() == scsTotallyConnected; }));
    }

    // The customer registered, with its chat thread.
    void JoinCustomer()
    {
        FSettings = FDir.File("orvcustomer.ini");
        WriteFile(FSettings, "[gateway]\ngateway1=127.0.0.1:" + std::to_string(Gateway->Port()) + "\n");
        FCustomer = Establish(FSettings, 0, orvKindCustomer);
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
    std::string FSettings;
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

// The helpdesk console as a process, typed to through a pipe; what it prints goes to a file.
class TConsole
{
public:
    TConsole(const std::string& settings, int code, const std::string& output)
    {
        int in[2];
        if (::pipe2(in, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        const std::string program = std::string(ORV_BINARY_DIR) + "/bin/orvhelpdesk";
        const std::string codeText = std::to_string(code);
        FPid = ::fork();
        if (FPid == 0) {
            ::dup2(in[0], STDIN_FILENO);
            const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            ::execl(program.c_str(), program.c_str(), "--settings", settings.c_str(), codeText.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        FInput = in[1];
    }
    ~TConsole()
    {
        if (FInput >= 0)
            ::close(FInput);
        if (FPid > 0 && !FExited) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
    }
    TConsole(const TConsole&) = delete;
    TConsole& operator=(const TConsole&) = delete;

    void Type(const std::string& line) const
    {
        const std::string bytes = line + "\n";
        ASSERT_EQ(::write(FInput, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // The exit code once it has ended by itself, or -1.
    int WaitExit(std::chrono::milliseconds deadline)
    {
        int status = 0;
        const bool ended = WaitUntil([&] { return ::waitpid(FPid, &status, WNOHANG) == FPid; }, deadline);
        if (!ended)
            return -1;
        FExited = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t FPid = -1;
    int FInput = -1;
    bool FExited = false;
};

class ChatConsole : public Chat
{
protected:
    void SetUp() override { JoinCustomer(); }
};

TEST_F(ChatConsole, TheHelpdeskConsoleChatsWithChatAndPrintsTheCustomersLines)
{
    const std::string output = FDir.File("console.out");
    TConsole console(FSettings, FCustomer->SessionIdentifier() - orvSessionIDBase, output);
    ASSERT_TRUE(Serve([&] { return FCustomer->ServerConnectionState() == scsTotallyConnected; }))
        << ReadFile(output);

    console.Type("chat hello from C:\\helpdesk");
    ASSERT_TRUE(Serve([&] { return !FShown.Lines.empty(); })) << ReadFile(output);
    EXPECT_EQ(FShown.Lines[0], "hello from C:\\helpdesk"); // typed text goes out as it stands

    FChat->SendChatMessage("thanks: it works");
    EXPECT_TRUE(WaitUntil([&] {
        return ReadFile(output).find("\nchat: thanks: it works\n") != std::string::npos;
    })) << ReadFile(output);

    console.Type("quit");
    EXPECT_EQ(console.WaitExit(30s), 0) << ReadFile(output);
}

} // namespace

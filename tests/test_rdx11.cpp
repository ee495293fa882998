// The remote desktop for real, both ways: the customer's channel thread with
// the real relays, orvhost and orvviewer in front of x11vnc and TigerVNC, and
// the helpdesk console as a separate process, each side on an X display of
// its own painted a colour of its own. What a viewer shows is read back from
// its display's pixels; input is a real pointer event on the watching side.
#include "lib/debugProc.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvOSUtils.h"
#include "lib/orvThreads.h"
#include "lib/orvVNCThread.h"
#include "platform/orvKeyStore.h"
#include "platform/orvProcesses.h"
#include "platform/orvWindowMessages.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/RecordingDesktop.h"
#include "tests/support/SessionUtil.h"
#include "tests/support/TestUtil.h"
#include "tests/support/XDisplay.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

using namespace orvtest;
using namespace std::chrono_literals;

namespace {

constexpr TRgb kCustomerColour{200, 30, 30};
constexpr TRgb kHelpdeskColour{30, 40, 210};

bool Near(TRgb a, TRgb b)
{
    auto close = [](int x, int y) { return std::abs(x - y) <= 24; };
    return close(a.R, b.R) && close(a.G, b.G) && close(a.B, b.B);
}

// Whether the display shows the colour over most of a grid of points: the
// viewer's window fills it with the other side's desktop.
bool Shows(TXvfb& display, TRgb colour)
{
    int hits = 0;
    for (int x = 80; x < 640; x += 160)
        for (int y = 60; y < 480; y += 120)
            hits += Near(display.Pixel(x, y), colour) ? 1 : 0;
    return hits >= 12; // of 16
}

std::string Output(const std::string& command)
{
    std::string out;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> pipe(::popen(command.c_str(), "r"), &::pclose);
    char buffer[256];
    while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()))
        out += buffer;
    return out;
}

class RemoteDesktopX11 : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // This process is the customer: its programs, folders and display.
        for (const char* name : {"config", "run", "tmp", "hconfig", "hrun", "htmp"})
            std::filesystem::create_directory(FDir.File(name));
        std::filesystem::permissions(FDir.File("run"), std::filesystem::perms::owner_all);
        std::filesystem::permissions(FDir.File("hrun"), std::filesystem::perms::owner_all);
        ::setenv("XDG_CONFIG_HOME", FDir.File("config").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", FDir.File("run").c_str(), 1);
        ::setenv("TMPDIR", FDir.File("tmp").c_str(), 1);
        ::setenv("DISPLAY", FCustomerDisplay.Name().c_str(), 1);
        FCustomerDisplay.PaintRoot(kCustomerColour);
        FHelpdeskDisplay.PaintRoot(kHelpdeskColour);

        orvSync::SetMainThread();
        orvStartConnectionCore();
        TorvOSPlatform platform = TorvOSPlatform::Default();
        platform.ProgramFolder = ORV_BINARY_DIR "/bin/";
        std::make_shared<orvtest::TRecordingDesktop>()->Plug(platform);
        platform.FindProgram = orvFindInPath; // the real x11vnc and viewer run here
        orvCreateOSUtils(std::make_unique<TorvWDefaultUtils>(platform));
        FGateway = std::make_unique<GatewayProcess>();

        FSettings = FDir.File("orv.ini");
        FGateway->WriteClientSettings(FSettings);
        FCustomer = JoinSession(FSettings, 0, orvKindCustomer);
        ASSERT_TRUE(FCustomer);
        auto thread = std::make_unique<TorvVNCThread>();
        thread->ViewerStartWaitMs = 1000;
        Thread = &orvStartChannelThread(*FCustomer, orvRemoteDesktopChannel, std::move(thread));

        // The helpdesk console: its own display and folders.
        FConsoleOut = FDir.File("console.out");
        const std::string command =
            "env DISPLAY=" + FHelpdeskDisplay.Name() + " XDG_CONFIG_HOME=" + FDir.File("hconfig") +
            " XDG_RUNTIME_DIR=" + FDir.File("hrun") + " TMPDIR=" + FDir.File("htmp") + " timeout 240 '" +
            ORV_BINARY_DIR + "/bin/orvhelpdesk' --settings '" + FSettings + "' " +
            std::to_string(FCustomer->SessionIdentifier() - orvSessionIDBase) + " >'" + FConsoleOut +
            "' 2>&1";
        FConsole.reset(::popen(command.c_str(), "w"));
        ASSERT_TRUE(FConsole);
        ASSERT_TRUE(ServeUntil([&] { return Thread->GetState() == vsConnected; })) << Console();
        // The console's own channel thread exists from here: texts before it would be lost.
        ASSERT_TRUE(ConsoleSays("rd state Connected")) << Console();
    }

    void TearDown() override
    {
        if (FConsole) {
            Type("quit");
            ::pclose(FConsole.release());
        }
        FCustomer.reset();
        FGateway.reset();
        orvShutdownConnectionCore();
        orvDestroyOSUtils();
    }

    void Type(const std::string& line)
    {
        std::fputs((line + "\n").c_str(), FConsole.get());
        std::fflush(FConsole.get());
    }
    std::string Console() { return ReadFile(FConsoleOut); }
    bool ConsoleSays(const std::string& text)
    {
        return ServeUntil([&] { return Console().find(text) != std::string::npos; }, 90s);
    }
    bool HostViewOnly(bool on)
    {
        return ServeUntil(
            [&] {
                return Output("x11vnc -display " + FCustomerDisplay.Name() + " -Q viewonly 2>/dev/null")
                           .find(on ? "viewonly:1" : "viewonly:0") != std::string::npos;
            },
            30s);
    }

    TempDir FDir;
    TXvfb FCustomerDisplay;
    TXvfb FHelpdeskDisplay;
    std::unique_ptr<GatewayProcess> FGateway;
    std::string FSettings;
    std::unique_ptr<TorvConnection> FCustomer;
    TorvVNCThread* Thread = nullptr;
    std::string FConsoleOut;
    struct TClose
    {
        void operator()(std::FILE* f) const { ::pclose(f); }
    };
    std::unique_ptr<std::FILE, TClose> FConsole;
};

TEST_F(RemoteDesktopX11, TheCustomerShowsItsDesktopThenWatchesTheHelpdesksAndViewOnlyHoldsBackInput)
{
    // "Show your desktop".
    Thread->SetIsServer(true);
    ASSERT_TRUE(Thread->Send("0:VNCCLIENT"));
    Thread->AddMessage("0:VNCSERVER");
    ASSERT_TRUE(ServeUntil([&] { return Thread->GetState() == vsCustomerAsViewer; }, 90s)) << Console();
    ASSERT_TRUE(ServeUntil([&] { return Shows(FHelpdeskDisplay, kCustomerColour); }, 90s))
        << "the console's viewer does not show the customer's desktop\n"
        << Console();

    // View only: the helpdesk's clicks in the viewer move nothing here. (The
    // customer's display has no window manager: a click there lands on the
    // root window and does nothing else.)
    ASSERT_TRUE(HostViewOnly(true));
    const TPoint before = FCustomerDisplay.Pointer();
    FHelpdeskDisplay.Click(100, 90);
    FHelpdeskDisplay.Click(110, 100);
    // Input that got through would be here well within this (it takes less
    // than a second below).
    EXPECT_FALSE(WaitUntil([&] { return !(FCustomerDisplay.Pointer() == before); }, 3s))
        << "moved to " << FCustomerDisplay.Pointer().X << "," << FCustomerDisplay.Pointer().Y;

    // Control granted: the same clicks move the customer's pointer there.
    // The switch reaches x11vnc on a path of its own, so the helpdesk clicks
    // until it has (querying x11vnc meanwhile could collide with the switch).
    Thread->SetViewOnly(false);
    EXPECT_TRUE(WaitUntil(
        [&] {
            FHelpdeskDisplay.Click(200, 150);
            return WaitUntil([&] { return !(FCustomerDisplay.Pointer() == before); }, 1s);
        },
        60s));
    EXPECT_NEAR(FCustomerDisplay.Pointer().X, 200, 40);
    EXPECT_NEAR(FCustomerDisplay.Pointer().Y, 150, 40);

    // The helpdesk stops; the host goes with it.
    Type("stop");
    ASSERT_TRUE(ServeUntil([&] { return Thread->GetState() == vsConnected; }, 60s)) << Console();
    ASSERT_TRUE(ServeUntil([&] { return !OSUtils().IsHostRunning(); }, 60s));

    // The other way round: the helpdesk shows, the customer watches.
    Type("show");
    ASSERT_TRUE(ServeUntil([&] { return Thread->GetState() == vsCustomerAsViewer; }, 90s)) << Console();
    EXPECT_FALSE(Thread->IsServer());
    ASSERT_TRUE(ServeUntil([&] { return Shows(FCustomerDisplay, kHelpdeskColour); }, 90s))
        << "the customer's viewer does not show the helpdesk's desktop\n"
        << Console();

    Type("stop");
    ASSERT_TRUE(ServeUntil([&] { return Thread->GetState() == vsConnected; }, 60s)) << Console();
    // The viewer goes when its relay stops listening.
    EXPECT_TRUE(ServeUntil([&] { return !OSUtils().IsViewerRunning(); }, 60s));
}

} // namespace

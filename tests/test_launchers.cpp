// orvhost and orvviewer as the program runs them: on a display of their
// own, with their own key store, window folder and temporary folder.
#include "platform/orvKeyStore.h"
#include "platform/orvProcesses.h"
#include "platform/orvWindowMessages.h"

#include "tests/support/PlatformTestUtil.h"
#include "tests/support/RawPeer.h"
#include "tests/support/TestUtil.h"
#include "tests/support/XDisplay.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace orvtest;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string HostProgram = ORV_BINARY_DIR "/bin/orvhost";
const std::string ViewerProgram = ORV_BINARY_DIR "/bin/orvviewer";
const std::string Password("\x8a\x01\x00\xfe\x33\x44\x55\x66", 8);

// A program run as our child with its output and errors in a file.
class TRun : public TorvChildProcess
{
public:
    TRun(const std::string& program, std::vector<std::string> arguments, const std::string& log)
        : TorvChildProcess("sh", Command(program, std::move(arguments), log)), FLog(log)
    {
    }
    std::string Log() const { return ReadFile(FLog); }
    bool LogHas(const std::string& text) const
    {
        return WaitUntil([&] { return Log().find(text) != std::string::npos; });
    }
    // The exit code, or -1 when it did not exit by itself in time.
    int ExitCode()
    {
        const bool ended = WaitUntil([&] { return Poll().has_value(); });
        return ended && WIFEXITED(*Poll()) ? WEXITSTATUS(*Poll()) : -1;
    }
    // The pid it logs for the program it started.
    pid_t Started(const std::string& program) const
    {
        const std::string marker = program + " started (pid ";
        const std::string log = LogHas(marker) ? Log() : marker + "-1";
        return std::stoi(log.substr(log.find(marker) + marker.size()));
    }

private:
    static std::vector<std::string> Command(const std::string& program, std::vector<std::string> arguments,
                                            const std::string& log)
    {
        arguments.insert(arguments.begin(), {"-c", "exec \"$0\" \"$@\" >'" + log + "' 2>&1", program});
        return arguments;
    }
    std::string FLog;
};

// Ended; a zombie left to an init that does not reap counts as ended.
bool Gone(pid_t pid)
{
    return WaitUntil([&] { return !TorvLinuxProcessTable().IsRunning(pid); });
}

// A display offset whose port 5900 + N nobody uses; kept clear of the product's 5905..5929.
int FreeOffset()
{
    for (int offset = 200 + ::getpid() % 400, tries = 0; tries < 400;
         ++tries, offset = 200 + (offset - 199) % 400)
        try {
            RawListener probe("127.0.0.1", static_cast<std::uint16_t>(5900 + offset));
            return offset;
        } catch (const std::runtime_error&) {
        }
    throw std::runtime_error("no free port");
}

// The first 12 bytes a server sends on 127.0.0.1:port, waiting for it to listen.
std::string Greeting(int port)
{
    const sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    RawConnection client;
    WaitUntil(
        [&] {
            client = RawConnection(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            return ::connect(client.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        },
        20s, 20ms);
    return client.ReadExactly(12);
}

class LauncherTest : public ::testing::Test
{
protected:
    LauncherTest()
    {
        fs::create_directories(FHome.File("config"));
        fs::create_directories(FHome.File("tmp"));
    }

    void StorePassword()
    {
        TorvFileKeyStore(orvKeyStorePath("software\\orvalis2005_host")).WriteBinary("password", Password);
    }
    std::vector<std::string> TempFiles() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(FHome.File("tmp")))
            names.push_back(entry.path().filename().string());
        return names;
    }
    std::string Log(const std::string& name) const { return FHome.File(name + ".log"); }

    // x11vnc's view-only setting as x11vnc itself reports it. A query that
    // comes while x11vnc still starts up goes unanswered: it is asked again.
    std::string QueryViewOnly(const TXvfb& display)
    {
        std::string output;
        WaitUntil([&] {
            TRun query("x11vnc", {"-display", display.Name(), "-Q", "viewonly"}, Log("query"));
            query.ExitCode();
            output = query.Log();
            return output.find("ans=viewonly:") != std::string::npos;
        });
        const auto answer = output.find("ans=viewonly:");
        return answer == std::string::npos ? output : output.substr(answer, 14);
    }

    TempDir FHome;
    TScopedEnv FConfig{"XDG_CONFIG_HOME", FHome.File("config")};
    TScopedEnv FRuntime{"XDG_RUNTIME_DIR", FHome.Path()};
    TScopedEnv FTemp{"TMPDIR", FHome.File("tmp")};
    TorvSocketWindowMessenger FMessenger{5000};
};

using LauncherHost = LauncherTest;
using LauncherViewer = LauncherTest;

TEST_F(LauncherHost, ServesRfb36AndSwitchesViewOnlyOnMessages)
{
    TXvfb display;
    TScopedEnv displayEnv("DISPLAY", display.Name());
    StorePassword();
    const int offset = FreeOffset();
    TRun host(HostProgram, {"-port=" + std::to_string(offset), "-password=40271953"}, Log("host"));
    const pid_t server = host.Started("x11vnc");
    ASSERT_GT(server, 0) << host.Log();
    ASSERT_EQ(Greeting(5900 + offset), "RFB 003.006\n") << host.Log();
    const auto files = TempFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].starts_with("orvhostpw")) << files[0];
    EXPECT_EQ(ReadFile(FHome.File("tmp/" + files[0])), Password);

    // At once: x11vnc may still be starting up and miss the first switch.
    EXPECT_TRUE(FMessenger.PostMessage("WinVNC Tray Icon", "", {1224, 1, 0}));
    EXPECT_TRUE(host.LogHas("view-only off applied (x11vnc acknowledged)")) << host.Log();
    EXPECT_EQ(QueryViewOnly(display), "ans=viewonly:0");
    EXPECT_TRUE(FMessenger.PostMessage("WinVNC Tray Icon", "", {1224, 17, 0}));
    EXPECT_TRUE(host.LogHas("view-only on applied (x11vnc acknowledged)")) << host.Log();
    EXPECT_EQ(QueryViewOnly(display), "ans=viewonly:1");
    EXPECT_TRUE(FMessenger.PostMessage("WinVNC Tray Icon", "", {1224, 5, 0}));
    EXPECT_TRUE(host.LogHas("message 1224 (5, 0) ignored")) << host.Log();

    // Even killed outright it does not leave the desktop shared.
    ::kill(host.Pid(), SIGKILL);
    EXPECT_TRUE(WaitUntil([&] { return host.Poll().has_value(); }));
    EXPECT_TRUE(Gone(server));
}

TEST_F(LauncherHost, RefusesBadArgumentsAndAMissingPassword)
{
    TScopedEnv displayEnv("DISPLAY", ":0");
    for (const std::vector<std::string>& arguments : std::vector<std::vector<std::string>>{
             {}, {"-port=abc"}, {"-port=5", "-other"}, {"-port=5", "-port=6"}, {"-password=1"}}) {
        TRun host(HostProgram, arguments, Log("host"));
        EXPECT_EQ(host.ExitCode(), 2);
        EXPECT_NE(host.Log().find("usage: orvhost"), std::string::npos) << host.Log();
    }
    TRun host(HostProgram, {"-port=" + std::to_string(FreeOffset())}, Log("host"));
    EXPECT_EQ(host.ExitCode(), 1);
    EXPECT_NE(host.Log().find("\"password\""), std::string::npos) << host.Log();
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});
}

TEST_F(LauncherViewer, RefusesAMalformedConfiguration)
{
    TScopedEnv displayEnv("DISPLAY", ":0");
    const std::string config = FHome.File("viewer.ini");
    for (const std::string content : {
             "[connection]\nhost=127.0.0.1\nport=5902\n",                              // no password
             "[connection]\nhost=127.0.0.1\nport=5902\npassword=0011223344556677aa\n", // too long
             "[connection]\nhost=127.0.0.1\nport=5902\npassword=00112233445566zz\n",
             "[connection]\nhost=127.0.0.1\nport=70000\npassword=0011223344556677\n",
             "[connection]\nport=5902\npassword=0011223344556677\n",
             "[connection]\nhost=h\nport=5902\npassword=0011223344556677\nviewonly=yes\n",
             "[connection\nhost=h\n",
             "[other]\nhost=127.0.0.1\nport=5902\npassword=0011223344556677\n",
         }) {
        WriteFile(config, content);
        TRun viewer(ViewerProgram, {"/config", config}, Log("viewer"));
        EXPECT_EQ(viewer.ExitCode(), 1) << content;
        EXPECT_NE(viewer.Log().find("orvviewer: " + config), std::string::npos) << viewer.Log();
    }
    TRun missing(ViewerProgram, {"/config", FHome.File("missing.ini")}, Log("viewer"));
    EXPECT_EQ(missing.ExitCode(), 1);
    EXPECT_NE(missing.Log().find("missing.ini"), std::string::npos) << missing.Log();
    EXPECT_EQ(TRun(ViewerProgram, {config}, Log("viewer")).ExitCode(), 2);
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(FHome.File("orvalis-windows/VNCMDI_Window")));
}

TEST_F(LauncherViewer, ShowsTheHostAndEndsWithItsViewerOrTheHost)
{
    TXvfb display;
    TScopedEnv displayEnv("DISPLAY", display.Name());
    StorePassword();
    const int offset = FreeOffset();
    TRun host(HostProgram, {"-port=" + std::to_string(offset)}, Log("host"));
    const pid_t server = host.Started("x11vnc");
    ASSERT_EQ(Greeting(5900 + offset), "RFB 003.006\n") << host.Log();
    EXPECT_TRUE(FMessenger.FindWindow("WinVNC Tray Icon"));
    const std::string config = FHome.File("viewer.ini");
    WriteFile(config, "[Connection]\r\nhost=127.0.0.1\r\nport=" + std::to_string(5900 + offset) +
                          "\r\npassword=8A0100FE33445566\r\nviewonly=1\r\n");
    {
        // Ended by the program: its viewer goes with it.
        TRun viewer(ViewerProgram, {"/config", config}, Log("viewer1"));
        const pid_t tiger = viewer.Started("xtigervncviewer");
        ASSERT_GT(tiger, 0) << viewer.Log();
        EXPECT_TRUE(FMessenger.FindWindow("VNCMDI_Window", "VNCviewerwindow"));
        EXPECT_TRUE(FMessenger.PostMessage("VNCMDI_Window", "VNCviewerwindow", {1225, 0, 0}));
        EXPECT_TRUE(viewer.LogHas("cannot change its settings while it runs")) << viewer.Log();
        // The desktop came: the password bytes were taken as they are.
        EXPECT_TRUE(viewer.LogHas("Using pixel format")) << viewer.Log();
        EXPECT_EQ(viewer.End(20000), 0) << viewer.Log();
        EXPECT_TRUE(Gone(tiger));
        EXPECT_FALSE(FMessenger.FindWindow("VNCMDI_Window"));
    }

    // The host ends and takes x11vnc along; the viewer ends and so does orvviewer, cleaning up.
    TRun viewer(ViewerProgram, {"/config", config}, Log("viewer2"));
    ASSERT_TRUE(viewer.LogHas("Using pixel format")) << viewer.Log();
    EXPECT_EQ(host.End(20000), 0) << host.Log();
    EXPECT_TRUE(Gone(server));
    EXPECT_FALSE(FMessenger.FindWindow("WinVNC Tray Icon"));
    EXPECT_TRUE(WaitUntil([&] { return viewer.Poll().has_value(); })) << viewer.Log();
    EXPECT_TRUE(viewer.LogHas("xtigervncviewer ended")) << viewer.Log();
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});
    EXPECT_FALSE(FMessenger.FindWindow("VNCMDI_Window"));
}

} // namespace

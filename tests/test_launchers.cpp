// orvhost and orvviewer as the program runs them: on a display of their
// own, with their own key store, window folder and temporary folder.
#include "platform/orvKeyStore.h"
#include "platform/orvProcesses.h"
#include "platform/orvWindowMessages.h"

#include "tests/support/TestUtil.h"
#include "tests/support/XDisplay.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string HostProgram = ORV_BINARY_DIR "/bin/orvhost";
const std::string ViewerProgram = ORV_BINARY_DIR "/bin/orvviewer";
const std::string Password("\x8a\x01\x00\xfe\x33\x44\x55\x66", 8);
const std::string PasswordHex = "8A0100FE33445566";

class TScopedEnv
{
public:
    TScopedEnv(const char* name, const std::string& value) : FName(name)
    {
        if (const char* old = std::getenv(name))
            FOld = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~TScopedEnv() { FOld ? ::setenv(FName.c_str(), FOld->c_str(), 1) : ::unsetenv(FName.c_str()); }

private:
    std::string FName;
    std::optional<std::string> FOld;
};

// A program run with its output and errors in a file; killed if still running at the end.
class TRun
{
public:
    TRun(const std::string& program, const std::vector<std::string>& arguments, std::string logPath)
        : FLog(std::move(logPath))
    {
        std::vector<std::string> args{program};
        args.insert(args.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, FLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        const int error = ::posix_spawnp(&FPid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0)
            throw std::system_error(error, std::generic_category(), program);
    }
    ~TRun()
    {
        if (!FStatus) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
    }

    pid_t Pid() const { return FPid; }
    std::string Log() const { return orvtest::ReadFile(FLog); }
    bool LogHas(const std::string& text) const
    {
        return orvtest::WaitUntil([&] { return Log().find(text) != std::string::npos; });
    }
    // The wait status, or nothing when it still runs after the deadline.
    std::optional<int> Wait(std::chrono::milliseconds deadline = 20s)
    {
        orvtest::WaitUntil(
            [&] {
                int status = 0;
                if (!FStatus && ::waitpid(FPid, &status, WNOHANG) == FPid)
                    FStatus = status;
                return FStatus.has_value();
            },
            deadline);
        return FStatus;
    }
    // The exit code, or -1 when it did not exit by itself in time.
    int ExitCode()
    {
        const auto status = Wait();
        return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
    }

private:
    std::string FLog;
    pid_t FPid = -1;
    std::optional<int> FStatus;
};

// The pid a launcher logs for the program it started.
pid_t StartedPid(const TRun& launcher, const std::string& program)
{
    const std::string marker = program + " started (pid ";
    if (!launcher.LogHas(marker))
        return -1;
    const std::string log = launcher.Log();
    return std::stoi(log.substr(log.find(marker) + marker.size()));
}

// Ended; a zombie left to an init that does not reap counts as ended.
bool Gone(pid_t pid)
{
    TorvLinuxProcessTable table;
    return orvtest::WaitUntil([&] { return !table.IsRunning(pid); });
}

// A display offset whose port 5900 + N nobody uses; kept clear of the product's 5905..5929.
int FreeOffset()
{
    for (int offset = 200 + ::getpid() % 400, tries = 0; tries < 400;
         ++tries, offset = 200 + (offset - 199) % 400) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(5900 + offset));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free)
            return offset;
    }
    throw std::runtime_error("no free port");
}

// The first 12 bytes a server sends on 127.0.0.1:port, waiting for it to listen.
std::string Greeting(int port)
{
    int fd = -1;
    const bool connected = orvtest::WaitUntil(
        [&] {
            fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(port));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                return true;
            ::close(fd);
            return false;
        },
        20s, 20ms);
    if (!connected)
        return "";
    std::string greeting;
    orvtest::WaitUntil([&] {
        char buffer[12];
        pollfd wait{fd, POLLIN, 0};
        if (::poll(&wait, 1, 0) > 0) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer - greeting.size());
            if (n <= 0)
                return true;
            greeting.append(buffer, static_cast<std::size_t>(n));
        }
        return greeting.size() >= 12;
    });
    ::close(fd);
    return greeting;
}

class LauncherTest : public ::testing::Test
{
protected:
    LauncherTest()
    {
        fs::create_directories(FHome.File("config"));
        fs::create_directories(FHome.File("tmp"));
    }

    void StorePassword(const std::string& bytes)
    {
        TorvFileKeyStore store(orvKeyStorePath("software\\orvalis2005_host"));
        store.WriteBinary("password", bytes);
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
    std::string QueryViewOnly(const orvtest::TXvfb& display)
    {
        std::string output;
        orvtest::WaitUntil([&] {
            TRun query("x11vnc", {"-display", display.Name(), "-Q", "viewonly"}, Log("query"));
            query.Wait();
            output = query.Log();
            return output.find("ans=viewonly:") != std::string::npos;
        });
        const auto answer = output.find("ans=viewonly:");
        return answer == std::string::npos ? output : output.substr(answer, 14);
    }

    orvtest::TempDir FHome;
    TScopedEnv FConfig{"XDG_CONFIG_HOME", FHome.File("config")};
    TScopedEnv FRuntime{"XDG_RUNTIME_DIR", FHome.Path()};
    TScopedEnv FTemp{"TMPDIR", FHome.File("tmp")};
    TorvSocketWindowMessenger FMessenger{5000};
};

using LauncherHost = LauncherTest;
using LauncherViewer = LauncherTest;

TEST_F(LauncherHost, ServesRfb36AndTakesX11vncAlongWhenEnded)
{
    orvtest::TXvfb display;
    TScopedEnv displayEnv("DISPLAY", display.Name());
    StorePassword(Password);
    const int offset = FreeOffset();
    TRun host(HostProgram, {"-port=" + std::to_string(offset), "-password=40271953"}, Log("host"));
    const pid_t server = StartedPid(host, "x11vnc");
    ASSERT_GT(server, 0) << host.Log();

    EXPECT_EQ(Greeting(5900 + offset), "RFB 003.006\n") << host.Log();
    const auto files = TempFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].starts_with("orvhostpw")) << files[0];
    EXPECT_EQ(orvtest::ReadFile(FHome.File("tmp/" + files[0])), Password);
    EXPECT_TRUE(FMessenger.FindWindow("WinVNC Tray Icon"));

    ::kill(host.Pid(), SIGTERM);
    EXPECT_EQ(host.ExitCode(), 0) << host.Log();
    EXPECT_TRUE(Gone(server));
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});
    EXPECT_FALSE(FMessenger.FindWindow("WinVNC Tray Icon"));
}

TEST_F(LauncherHost, APostedMessageSwitchesViewOnly)
{
    orvtest::TXvfb display;
    TScopedEnv displayEnv("DISPLAY", display.Name());
    StorePassword(Password);
    const int offset = FreeOffset();
    TRun host(HostProgram, {"-password=40271953", "-port=" + std::to_string(offset)}, Log("host"));
    const pid_t server = StartedPid(host, "x11vnc");
    ASSERT_EQ(Greeting(5900 + offset), "RFB 003.006\n") << host.Log();

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
    EXPECT_TRUE(host.Wait().has_value());
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
        orvtest::WriteFile(config, content);
        TRun viewer(ViewerProgram, {"/config", config}, Log("viewer"));
        EXPECT_EQ(viewer.ExitCode(), 1) << content;
        EXPECT_NE(viewer.Log().find("orvviewer: " + config), std::string::npos) << viewer.Log();
    }
    TRun missing(ViewerProgram, {"/config", FHome.File("missing.ini")}, Log("viewer"));
    EXPECT_EQ(missing.ExitCode(), 1);
    EXPECT_NE(missing.Log().find("missing.ini"), std::string::npos) << missing.Log();
    TRun noConfig(ViewerProgram, {config}, Log("viewer"));
    EXPECT_EQ(noConfig.ExitCode(), 2);
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(FHome.File("orvalis-windows/VNCMDI_Window")));
}

TEST_F(LauncherViewer, ShowsTheHostAndEndsWithItsViewer)
{
    orvtest::TXvfb display;
    TScopedEnv displayEnv("DISPLAY", display.Name());
    StorePassword(Password);
    const int offset = FreeOffset();
    TRun host(HostProgram, {"-port=" + std::to_string(offset)}, Log("host"));
    ASSERT_EQ(Greeting(5900 + offset), "RFB 003.006\n") << host.Log();
    const std::string config = FHome.File("viewer.ini");
    orvtest::WriteFile(config, "[Connection]\r\nhost=127.0.0.1\r\nport=" + std::to_string(5900 + offset) +
                                   "\r\npassword=" + PasswordHex + "\r\nviewonly=1\r\n");

    {
        // Ended by the program: its viewer goes with it.
        TRun viewer(ViewerProgram, {"/config", config}, Log("viewer1"));
        const pid_t tiger = StartedPid(viewer, "xtigervncviewer");
        ASSERT_GT(tiger, 0) << viewer.Log();
        EXPECT_TRUE(FMessenger.FindWindow("VNCMDI_Window", "VNCviewerwindow"));
        EXPECT_TRUE(FMessenger.PostMessage("VNCMDI_Window", "VNCviewerwindow", {1225, 0, 0}));
        EXPECT_TRUE(viewer.LogHas("cannot change its settings while it runs")) << viewer.Log();
        // The desktop came: the password bytes were taken as they are.
        EXPECT_TRUE(viewer.LogHas("Using pixel format")) << viewer.Log();
        ::kill(viewer.Pid(), SIGTERM);
        EXPECT_EQ(viewer.ExitCode(), 0) << viewer.Log();
        EXPECT_TRUE(Gone(tiger));
        EXPECT_FALSE(FMessenger.FindWindow("VNCMDI_Window"));
    }

    // The host goes away: the viewer ends and so does orvviewer, cleaning up.
    TRun viewer(ViewerProgram, {"/config", config}, Log("viewer2"));
    ASSERT_TRUE(viewer.LogHas("Using pixel format")) << viewer.Log();
    ::kill(host.Pid(), SIGTERM);
    EXPECT_EQ(host.ExitCode(), 0) << host.Log();
    EXPECT_TRUE(viewer.Wait().has_value()) << viewer.Log();
    EXPECT_TRUE(viewer.LogHas("xtigervncviewer ended")) << viewer.Log();
    EXPECT_EQ(TempFiles(), std::vector<std::string>{});
    EXPECT_FALSE(FMessenger.FindWindow("VNCMDI_Window"));
}

TEST(LauncherTestDisplay, PaintsReadsAndMovesThePointer)
{
    orvtest::TXvfb display;
    display.PaintRoot({200, 30, 90});
    EXPECT_EQ(display.Pixel(10, 10), (orvtest::TRgb{200, 30, 90}));
    EXPECT_EQ(display.Pixel(639, 479), (orvtest::TRgb{200, 30, 90}));
    display.MovePointer(123, 45);
    EXPECT_EQ(display.Pointer(), (orvtest::TPoint{123, 45}));
    const pid_t server = display.Pid();
    {
        orvtest::TXvfb second;
        EXPECT_NE(second.Name(), display.Name());
    }
    EXPECT_EQ(::kill(server, 0), 0);
}

} // namespace

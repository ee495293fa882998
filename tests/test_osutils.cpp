// The OS utilities' control of the host program: its port, its settings,
// starting, restarting and ending it, its RFB greeting, the password block,
// the viewer's configuration and the two window messages. Real host
// processes are fakehost copies in a private folder; the process table only
// shows that folder, so no other program named orvhost is ever touched.
#include "lib/debugProc.h"
#include "lib/orvConnections.h"
#include "lib/orvOSUtils.h"
#include "platform/orvKeyStore.h"
#include "platform/orvProcesses.h"
#include "platform/orvWindowMessages.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

using namespace orvtest;
namespace fs = std::filesystem;

namespace {

class TScopedEnv
{
public:
    TScopedEnv(const char* name, const char* value) : FName(name)
    {
        if (const char* old = std::getenv(name))
            FOld = old;
        value ? ::setenv(name, value, 1) : ::unsetenv(name);
    }
    ~TScopedEnv() { FOld ? ::setenv(FName.c_str(), FOld->c_str(), 1) : ::unsetenv(FName.c_str()); }
    TScopedEnv(const TScopedEnv&) = delete;
    TScopedEnv& operator=(const TScopedEnv&) = delete;

private:
    std::string FName;
    std::optional<std::string> FOld;
};

// The debug log of one test.
class TLogCapture
{
public:
    TLogCapture() : FPrevious(RedirectDebugLogForTesting(FDir.File("debug.log"))) {}
    ~TLogCapture() { RedirectDebugLogForTesting(FPrevious); }
    std::string Text() const { return ReadFile(FDir.File("debug.log")); }
    bool Has(const std::string& line) const { return Text().find(line + "\r\n") != std::string::npos; }
    // Whether the lines were logged in this order.
    bool InOrder(const std::vector<std::string>& lines) const
    {
        const std::string text = Text();
        std::size_t at = 0;
        for (const auto& line : lines) {
            at = text.find(line + "\r\n", at);
            if (at == std::string::npos)
                return false;
        }
        return true;
    }

private:
    TempDir FDir;
    std::string FPrevious;
};

int Listener(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t LocalPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// Keeps ports busy; one that somebody else holds is busy as well.
class THeldPorts
{
public:
    THeldPorts(int first, int last)
    {
        for (int port = first; port <= last; ++port)
            if (const int fd = Listener(static_cast<std::uint16_t>(port)); fd >= 0)
                FFds.push_back(fd);
    }
    ~THeldPorts()
    {
        for (const int fd : FFds)
            ::close(fd);
    }
    THeldPorts(const THeldPorts&) = delete;
    THeldPorts& operator=(const THeldPorts&) = delete;

private:
    std::vector<int> FFds;
};

bool PortIsFree(int port)
{
    const int fd = Listener(static_cast<std::uint16_t>(port));
    if (fd >= 0)
        ::close(fd);
    return fd >= 0;
}

// A server on a free loopback port that greets every client, then keeps it or hangs up.
class TGreetingServer
{
public:
    TGreetingServer(std::string greeting, bool hangUp)
        : FGreeting(std::move(greeting)), FHangUp(hangUp), FListener(Listener(0))
    {
        FThread = std::thread([this] { Run(); });
    }
    ~TGreetingServer()
    {
        FStop = true;
        FThread.join();
        ::close(FListener);
        for (const int fd : FClients)
            ::close(fd);
    }
    TGreetingServer(const TGreetingServer&) = delete;
    TGreetingServer& operator=(const TGreetingServer&) = delete;
    std::uint16_t Port() const { return LocalPort(FListener); }

private:
    void Run()
    {
        while (!FStop) {
            pollfd wait{FListener, POLLIN, 0};
            if (::poll(&wait, 1, 10) == 1) {
                const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    ::send(fd, FGreeting.data(), FGreeting.size(), MSG_NOSIGNAL);
                    FHangUp ? static_cast<void>(::close(fd)) : FClients.push_back(fd);
                }
            }
        }
    }

    std::string FGreeting;
    bool FHangUp;
    int FListener;
    std::vector<int> FClients; // server thread only until it ends
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// ---- the key store

struct TKeyStoreRecord
{
    std::vector<std::pair<std::string, std::string>> Writes; // name, value as text
    std::string Misread;                                     // reads back wrong
    int Closes = 0;
};

class TFakeKeyStore : public TorvKeyStore
{
public:
    explicit TFakeKeyStore(TKeyStoreRecord& record) : FRecord(record) {}
    void WriteInteger(const std::string& name, std::uint32_t value) override
    {
        FRecord.Writes.emplace_back(name, std::to_string(value));
        FIntegers[name] = value;
    }
    std::optional<std::uint32_t> ReadInteger(const std::string& name) override
    {
        const auto it = FIntegers.find(name);
        if (it == FIntegers.end())
            return std::nullopt;
        return name == FRecord.Misread ? it->second + 1 : it->second;
    }
    void WriteBinary(const std::string& name, const std::string& bytes) override
    {
        FRecord.Writes.emplace_back(name, bytes);
    }
    std::optional<std::string> ReadBinary(const std::string&) override { return std::nullopt; }
    void Close() override { ++FRecord.Closes; }

private:
    TKeyStoreRecord& FRecord;
    std::map<std::string, std::uint32_t> FIntegers;
};

std::vector<std::pair<std::string, std::string>> HostSettings(int port)
{
    return {{"AllowLoopback", "1"},
            {"SocketConnect", "1"},
            {"AutoPortSelect", "0"},
            {"PollFullScreen", "1"},
            {"PortNumber", std::to_string(port)},
            {"FileTransferEnabled", "0"},
            {"HTTPConnect", "0"},
            {"password", EncryptVNCPassword("40271953")}};
}

// ---- process tables

// The real table, showing only the processes of one folder's programs.
class TFolderProcessTable : public TorvProcessTable
{
public:
    explicit TFolderProcessTable(std::string folder) : FFolder(std::move(folder)) {}
    std::vector<TorvProcessEntry> List() override
    {
        std::vector<TorvProcessEntry> mine;
        for (auto& entry : FReal.List())
            if (entry.ExePath.starts_with(FFolder))
                mine.push_back(std::move(entry));
        return mine;
    }
    pid_t Spawn(const std::string& path, const std::vector<std::string>& arguments,
                const std::string& workDir) override
    {
        return FReal.Spawn(path, arguments, workDir);
    }
    bool IsRunning(pid_t pid) override { return FReal.IsRunning(pid); }
    bool RequestEnd(pid_t pid, int closeWaitMs) override { return FReal.RequestEnd(pid, closeWaitMs); }
    bool Kill(pid_t pid) override
    {
        ++Kills;
        return FReal.Kill(pid);
    }
    std::atomic<int> Kills{0};

private:
    std::string FFolder;
    TorvLinuxProcessTable FReal;
};

// A table of made-up processes.
class TFakeProcessTable : public TorvProcessTable
{
public:
    struct TSpawn
    {
        std::string Path;
        std::vector<std::string> Arguments;
        std::string WorkDir;
    };

    std::vector<TorvProcessEntry> List() override
    {
        std::lock_guard lock(FMutex);
        return Entries;
    }
    pid_t Spawn(const std::string& path, const std::vector<std::string>& arguments,
                const std::string& workDir) override
    {
        std::lock_guard lock(FMutex);
        if (SpawnFails)
            throw std::system_error(ENOENT, std::generic_category(), "cannot run " + path);
        Spawns.push_back({path, arguments, workDir});
        return 9000 + static_cast<pid_t>(Spawns.size());
    }
    bool IsRunning(pid_t pid) override
    {
        std::lock_guard lock(FMutex);
        return std::any_of(Entries.begin(), Entries.end(), [&](const auto& e) { return e.Pid == pid; });
    }
    bool RequestEnd(pid_t pid, int) override
    {
        std::lock_guard lock(FMutex);
        EndRequests.push_back(pid);
        if (IgnoresEnd)
            return false;
        if (!StaysListed)
            std::erase_if(Entries, [&](const auto& e) { return e.Pid == pid; });
        return true;
    }
    bool Kill(pid_t pid) override
    {
        std::lock_guard lock(FMutex);
        Kills.push_back(pid);
        std::erase_if(Entries, [&](const auto& e) { return e.Pid == pid; });
        return true;
    }

    std::vector<TorvProcessEntry> Entries;
    std::vector<TSpawn> Spawns;
    std::vector<pid_t> EndRequests;
    std::vector<pid_t> Kills;
    bool SpawnFails = false;
    bool IgnoresEnd = false;  // SIGTERM does not end it
    bool StaysListed = false; // still listed however it is ended

private:
    std::mutex FMutex;
};

std::string ProcessCommandLine(pid_t pid)
{
    std::string text = ReadFile("/proc/" + std::to_string(pid) + "/cmdline");
    std::replace(text.begin(), text.end(), '\0', ' ');
    return text;
}

// ---- fixtures

class OSUtilsTest : public ::testing::Test
{
protected:
    TorvOSPlatform Platform(std::shared_ptr<TorvProcessTable> processes)
    {
        TorvOSPlatform platform;
        platform.OpenHostKey = [this] { return std::make_unique<TFakeKeyStore>(Keys); };
        platform.Processes = std::move(processes);
        platform.Windows = std::make_shared<TorvSocketWindowMessenger>(5000);
        platform.ProgramFolder = Folder.Path() + "/";
        return platform;
    }

    TempDir Folder; // the program folder
    TKeyStoreRecord Keys;
    TLogCapture Log;
};

// Real host processes: fakehost as <folder>/orvhost.
class HostProcess : public OSUtilsTest
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::copy_file(ORV_BINARY_DIR "/testprograms/fakehost", HostPath()));
        Utils = std::make_unique<TorvWDefaultUtils>(Platform(Processes));
        Utils->ProcessCloseWaitMs = 300;
    }
    void TearDown() override
    {
        // Spawned hosts belong to init, not to us: nothing else would end them.
        for (const auto& entry : Processes->List())
            ::kill(entry.Pid, SIGKILL);
        EXPECT_TRUE(WaitUntil([&] { return Processes->List().empty(); }));
    }
    std::string HostPath() const { return Folder.File("orvhost"); }
    pid_t RunningHost()
    {
        const auto list = Processes->List();
        return list.size() == 1 ? list[0].Pid : 0;
    }

    std::shared_ptr<TFolderProcessTable> Processes =
        std::make_shared<TFolderProcessTable>(Folder.Path() + "/");
    std::unique_ptr<TorvWDefaultUtils> Utils;
};

TEST_F(HostProcess, StartHostTakesTheFirstFreePortAndRestartsARunningHost)
{
    THeldPorts busy(5905, 5908);
    // 5909, unless another program on this machine holds it.
    int port = 5909;
    while (port <= 5929 && !PortIsFree(port))
        ++port;
    ASSERT_LE(port, 5929);
    const std::string portText = std::to_string(port);
    Utils->StartHost();
    EXPECT_EQ(Utils->PortText, portText);
    EXPECT_EQ(Utils->Password, "40271953");
    EXPECT_EQ(Keys.Writes, HostSettings(port));
    EXPECT_EQ(Keys.Closes, 2); // a key's values reach its file when it is closed
    EXPECT_TRUE(Log.InOrder({"Searching free port for remote desktop host server...",
                             "Free port found : " + portText, "Starting remote desktop host..."}));
    const pid_t first = Utils->ProcessHandle();
    ASSERT_GT(first, 0);
    EXPECT_EQ(RunningHost(), first);
    EXPECT_TRUE(Utils->IsHostRunning());
    EXPECT_EQ(ProcessCommandLine(first),
              HostPath() + " -password=40271953 -port=" + std::to_string(port - 5900) + " ");
    EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(first) + "/cwd"), fs::path(Folder.Path()));
    EXPECT_TRUE(WaitUntil([&] { return Utils->IsHostListening(port); }));

    Keys.Writes.clear();
    Utils->StartHost();
    EXPECT_TRUE(Log.InOrder({"Starting remote desktop host...", "Restarting remote desktop host...",
                             "Remote desktop server terminated"}));
    const pid_t second = Utils->ProcessHandle();
    EXPECT_NE(second, first);
    EXPECT_EQ(RunningHost(), second);
    EXPECT_EQ(Keys.Writes, HostSettings(std::stoi(Utils->PortText)));
    EXPECT_EQ(ProcessCommandLine(second), HostPath() + " -password=40271953 -port=" +
                                              std::to_string(std::stoi(Utils->PortText) - 5900) + " ");
    EXPECT_EQ(Processes->Kills, 0); // SIGTERM was enough

    Utils->CloseHost();
    EXPECT_EQ(RunningHost(), 0);
    EXPECT_FALSE(Utils->IsHostRunning());
    Utils->CloseHost();
    EXPECT_TRUE(Log.Has("Remote desktop server process not found"));
}

TEST_F(HostProcess, NoFreePortMeansNoSettingsAndNoHost)
{
    THeldPorts busy(5905, 5929);
    try {
        Utils->StartHost();
        ADD_FAILURE() << "StartHost found a port";
    } catch (const EorvException& e) {
        EXPECT_STREQ(e.what(), "Orvhost/orvviewer cannot be executed. No free port found.");
    }
    EXPECT_TRUE(Keys.Writes.empty());
    EXPECT_EQ(RunningHost(), 0);
}

TEST_F(HostProcess, CloseHostKillsAHostThatIgnoresTheEndRequest)
{
    TScopedEnv stubborn("ORV_FAKEHOST_IGNORE_TERM", "1");
    Utils->StartHost();
    const pid_t host = Utils->ProcessHandle();
    // Once it greets, it ignores SIGTERM.
    ASSERT_TRUE(WaitUntil([&] { return Utils->IsHostListening(std::stoi(Utils->PortText)); }));
    EXPECT_NO_THROW(Utils->CloseHost());
    EXPECT_EQ(Processes->Kills, 1);
    EXPECT_FALSE(Processes->IsRunning(host));
    EXPECT_TRUE(Log.Has("Remote desktop server terminated"));
}

TEST(HostGreeting, OnlyTheRfb36GreetingCounts)
{
    TorvWDefaultUtils utils;
    for (const auto& [greeting, expected] : std::vector<std::pair<std::string, bool>>{
             {"RFB 003.006\n", true},
             {"rfb 003.006\n", true},
             {"RFB 003.008\n", false},
             {"RFB 003.006\nRFB", false},
             {"RFB 003.006", false}, // hangs up before the line ends
         }) {
        TGreetingServer server(greeting, greeting == "RFB 003.006");
        EXPECT_EQ(utils.IsHostListening(server.Port()), expected) << greeting;
    }
    const int fd = Listener(0);
    const std::uint16_t closed = LocalPort(fd);
    ::close(fd);
    EXPECT_FALSE(utils.IsHostListening(closed));
}

// Made-up processes, where a real one is not the point.
class HostControl : public OSUtilsTest
{
protected:
    void SetUp() override
    {
        Utils = std::make_unique<TorvWDefaultUtils>(Platform(Processes));
        Utils->ProcessEndWaitMs = 200;
        Utils->HostAppearWaitMs = 200;
    }
    std::string HostPath() const { return Folder.File("orvhost"); }

    std::shared_ptr<TFakeProcessTable> Processes = std::make_shared<TFakeProcessTable>();
    std::unique_ptr<TorvWDefaultUtils> Utils;
};

TEST_F(HostControl, ASettingThatDoesNotReadBackStopsTheStart)
{
    Keys.Misread = "PollFullScreen";
    try {
        Utils->StartHost();
        ADD_FAILURE() << "StartHost went on";
    } catch (const EorvException& e) {
        EXPECT_STREQ(e.what(),
                     "Application failed to change orvhost/orvviewer registry settings. The possible "
                     "reason is lack of user rights");
    }
    EXPECT_TRUE(Log.Has("Failed to change settings"));
    const auto written = HostSettings(5905);
    EXPECT_EQ(Keys.Writes, decltype(Keys.Writes)(written.begin(), written.begin() + 4));
    EXPECT_TRUE(Processes->Spawns.empty());
}

TEST_F(HostControl, CloseHostFindsTheHostByPathThenByNameAndNeverRaises)
{
    // The full path wins over a program of the same name elsewhere.
    Processes->Entries = {{10, "/opt/other/orvhost"}, {20, HostPath()}};
    Utils->CloseHost();
    EXPECT_EQ(Processes->EndRequests, std::vector<pid_t>{20});
    // Then the name alone.
    Utils->CloseHost();
    EXPECT_EQ(Processes->EndRequests, (std::vector<pid_t>{20, 10}));
    EXPECT_TRUE(Processes->Entries.empty());
    EXPECT_TRUE(Log.InOrder({"Closing remote desktop server...", "Remote desktop server terminated",
                             "Closing remote desktop server...", "Remote desktop server terminated"}))
        << Log.Text();

    // An end request that is ignored: killed.
    Processes->Entries = {{30, HostPath()}};
    Processes->IgnoresEnd = true;
    Utils->CloseHost();
    EXPECT_EQ(Processes->Kills, std::vector<pid_t>{30});
    Processes->IgnoresEnd = false;

    // Still listed after the end wait.
    Processes->Entries = {{40, HostPath()}};
    Processes->StaysListed = true;
    EXPECT_NO_THROW(Utils->CloseHost());
    EXPECT_TRUE(Log.Has("Unable to terminate remote desktop server"));
}

TEST_F(HostControl, RunExecutableStartsProgramsAndOpensOtherFiles)
{
    const std::string program = Folder.File("tool");
    WriteFile(program, "#!/bin/sh\n");
    fs::permissions(program, fs::perms::owner_all);
    const std::string document = Folder.File("notes.txt");
    WriteFile(document, "text");

    EXPECT_EQ(Utils->RunExecutable(program, "-a \"b c\""), 9001);
    EXPECT_EQ(Utils->RunExecutable(document, "-x"), 9002);
    ASSERT_EQ(Processes->Spawns.size(), 2u);
    EXPECT_EQ(Processes->Spawns[0].Path, program);
    EXPECT_EQ(Processes->Spawns[0].Arguments, (std::vector<std::string>{"-a", "b c"}));
    EXPECT_EQ(Processes->Spawns[0].WorkDir, Folder.Path());
    EXPECT_EQ(Processes->Spawns[1].Path, "xdg-open");
    EXPECT_EQ(Processes->Spawns[1].Arguments, (std::vector<std::string>{document, "-x"}));

    Processes->SpawnFails = true;
    EXPECT_THROW(Utils->RunExecutable(program, ""), EorvException);
}

// ---- the password block and the viewer's configuration

std::string Hex(const std::string& bytes)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string hex;
    for (const unsigned char b : bytes) {
        hex += kHex[b >> 4];
        hex += kHex[b & 15];
    }
    return hex;
}

TEST(VNCPassword, BlockAndViewerConfiguration)
{
    // As x11vnc -storepasswd writes them.
    EXPECT_EQ(Hex(EncryptVNCPassword("40271953")), "085DD2A21061A8FB");
    EXPECT_EQ(EncryptVNCPassword("abc"), EncryptVNCPassword("abc?????"));
    EXPECT_EQ(EncryptVNCPassword("abcdefghijk"), EncryptVNCPassword("abcdefgh"));
    EXPECT_EQ(EncryptVNCPassword(""), EncryptVNCPassword("????????"));
    EXPECT_NE(EncryptVNCPassword("abcdefgh"), EncryptVNCPassword("abcdefgi"));

    EXPECT_EQ(orvViewerConfigText("5902", "40271953"),
              "[connection]\r\nhost=127.0.0.1\r\nport=5902\r\npassword=085DD2A21061A8FB\r\nviewonly=0\r\n");
}

TEST(VNCPassword, MatchesX11vnc)
{
    if (std::system("command -v x11vnc >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "x11vnc is not installed";
    TempDir dir;
    const auto stored = [&](const std::string& password) {
        const std::string file = dir.File("passwd");
        fs::remove(file);
        const std::string command =
            "x11vnc -storepasswd '" + password + "' '" + file + "' </dev/null >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return ReadFile(file);
    };
    // x11vnc pads with zero bytes, ours with '?': compare with the padding written out.
    for (const auto& [ours, theirs] : std::vector<std::pair<std::string, std::string>>{
             {"40271953", "40271953"},
             {"abc", "abc?????"},
             {"abcdefghijk", "abcdefgh"},
             {"P4ss-w0rd", "P4ss-w0r"},
         }) {
        const std::string expected = stored(theirs);
        ASSERT_EQ(expected.size(), 8u) << theirs;
        EXPECT_EQ(EncryptVNCPassword(ours), expected) << ours;
    }
}

// ---- window messages

// Serves a window on a thread the way its owner's poll loop would.
class TWindowPump
{
public:
    explicit TWindowPump(TorvMessageWindow& window) : FThread([this, &window] { Run(window); }) {}
    ~TWindowPump()
    {
        FStop = true;
        FThread.join();
    }
    std::vector<TorvMessageWindow::Posted> Received()
    {
        std::lock_guard lock(FMutex);
        return FReceived;
    }

private:
    void Run(TorvMessageWindow& window)
    {
        while (!FStop) {
            pollfd wait{window.Fd(), POLLIN, 0};
            ::poll(&wait, 1, 10);
            while (const auto posted = window.Receive()) {
                std::lock_guard lock(FMutex);
                FReceived.push_back(*posted);
            }
        }
    }

    std::atomic<bool> FStop{false};
    std::mutex FMutex;
    std::vector<TorvMessageWindow::Posted> FReceived;
    std::thread FThread;
};

bool Same(const TorvMessageWindow::Posted& posted, const std::string& child, std::uint32_t msg,
          std::uint64_t wParam, std::int64_t lParam)
{
    return posted.ChildClass == child && posted.Message.Msg == msg && posted.Message.WParam == wParam &&
           posted.Message.LParam == lParam;
}

class WindowPosts : public ::testing::Test
{
protected:
    TempDir FRuntime;
    TScopedEnv FEnv{"XDG_RUNTIME_DIR", FRuntime.Path().c_str()};
    TorvSocketWindowMessenger FMessenger{5000};
};

TEST_F(WindowPosts, HostViewOnlyGoesToTheTrayWindow)
{
    TUltraVNCHostUtils host(FMessenger);
    EXPECT_FALSE(host.PostHostViewOnly(true));

    TorvMessageWindow tray("WinVNC Tray Icon");
    TWindowPump pump(tray);
    EXPECT_TRUE(host.PostHostViewOnly(true));
    EXPECT_TRUE(host.PostHostViewOnly(false));
    ASSERT_TRUE(WaitUntil([&] { return pump.Received().size() >= 2; }));
    const auto received = pump.Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_TRUE(Same(received[0], "", 1224, 17, 0));
    EXPECT_TRUE(Same(received[1], "", 1224, 1, 0));
}

TEST_F(WindowPosts, ViewerSettingsNeedTheViewersChildWindow)
{
    TUltraVNCViewerUtils viewer(FMessenger);
    EXPECT_FALSE(viewer.PostViewerSettings());
    {
        TorvMessageWindow frame("VNCMDI_Window", {"Other"});
        TWindowPump pump(frame);
        EXPECT_FALSE(viewer.PostViewerSettings());
        // Posts arrive in order: anything the failed call had posted comes before this one.
        ASSERT_TRUE(FMessenger.PostMessage("VNCMDI_Window", "", {7, 8, 9}));
        ASSERT_TRUE(WaitUntil([&] { return !pump.Received().empty(); }));
        const auto received = pump.Received();
        ASSERT_EQ(received.size(), 1u);
        EXPECT_TRUE(Same(received[0], "", 7, 8, 9));
    }
    TorvMessageWindow frame("VNCMDI_Window", {"VNCviewerwindow"});
    TWindowPump pump(frame);
    EXPECT_TRUE(viewer.PostViewerSettings());
    ASSERT_TRUE(WaitUntil([&] { return !pump.Received().empty(); }));
    const auto received = pump.Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_TRUE(Same(received[0], "VNCviewerwindow", 1225, 0x50000D36, 1));
}

} // namespace

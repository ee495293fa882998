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
#include "tests/support/LogCapture.h"
#include "tests/support/PlatformTestUtil.h"
#include "tests/support/RawPeer.h"
#include "tests/support/RecordingDesktop.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <thread>
#include <tuple>

using namespace orvtest;
namespace fs = std::filesystem;

namespace {

// Keeps ports busy; one that somebody else holds is busy as well.
struct THeldPorts
{
    THeldPorts(int first, int last)
    {
        for (int port = first; port <= last; ++port)
            try {
                Held.push_back(std::make_unique<RawListener>("127.0.0.1", static_cast<std::uint16_t>(port)));
            } catch (const std::runtime_error&) {
            }
    }
    std::vector<std::unique_ptr<RawListener>> Held;
};

// ---- the key store and the process tables

struct TKeys
{
    std::vector<std::pair<std::string, std::string>> Writes; // name, value as text
    std::string Misread;                                     // reads back wrong
    int Closes = 0;
};

class TFakeKeyStore : public TorvKeyStore
{
public:
    explicit TFakeKeyStore(TKeys& keys) : FKeys(keys) {}
    void WriteInteger(const std::string& name, std::uint32_t value) override
    {
        FKeys.Writes.emplace_back(name, std::to_string(value));
        FIntegers[name] = name == FKeys.Misread ? value + 1 : value;
    }
    std::optional<std::uint32_t> ReadInteger(const std::string& name) override
    {
        const auto it = FIntegers.find(name);
        return it == FIntegers.end() ? std::nullopt : std::optional(it->second);
    }
    void WriteBinary(const std::string& name, const std::string& bytes) override
    {
        FKeys.Writes.emplace_back(name, bytes);
    }
    std::optional<std::string> ReadBinary(const std::string&) override { return std::nullopt; }
    void Close() override { ++FKeys.Closes; }

private:
    TKeys& FKeys;
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

// The real table, showing only the processes of one folder's programs; when
// Pretends, ending or killing one claims success and does nothing.
class TFolderProcessTable : public TorvProcessTable
{
public:
    explicit TFolderProcessTable(std::string folder) : FFolder(std::move(folder)) {}
    std::vector<TorvProcessEntry> List() override
    {
        auto list = FReal.List();
        std::erase_if(list, [&](const auto& entry) { return !entry.ExePath.starts_with(FFolder); });
        return list;
    }
    pid_t Spawn(const std::string& path, const std::vector<std::string>& arguments,
                const std::string& workDir) override
    {
        return FReal.Spawn(path, arguments, workDir);
    }
    bool IsRunning(pid_t pid) override { return FReal.IsRunning(pid); }
    bool RequestEnd(pid_t pid, int closeWaitMs) override
    {
        return Pretends || FReal.RequestEnd(pid, closeWaitMs);
    }
    bool Kill(pid_t pid) override { return ++Kills, Pretends || FReal.Kill(pid); }
    std::atomic<int> Kills{0};
    std::atomic<bool> Pretends{false};

private:
    std::string FFolder;
    TorvLinuxProcessTable FReal;
};

// ---- starting, finding and ending programs

// Real processes, fakehost as <folder>/orvhost.
class HostControl : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(fs::copy_file(ORV_BINARY_DIR "/testprograms/fakehost", HostPath()));
        Desktop->Install("x11vnc");
        Utils = std::make_unique<TorvWDefaultUtils>(Platform(*Desktop));
        Utils->ProcessCloseWaitMs = 300;
    }
    // The fixture's keys, processes and program folder, with desktop's programs.
    TorvOSPlatform Platform(orvtest::TRecordingDesktop& desktop)
    {
        TorvOSPlatform platform;
        platform.OpenHostKey = [this] { return std::make_unique<TFakeKeyStore>(Keys); };
        platform.Processes = Processes;
        platform.Windows = std::make_shared<TorvSocketWindowMessenger>(5000);
        platform.ProgramFolder = Folder.Path() + "/";
        desktop.Plug(platform);
        return platform;
    }
    void TearDown() override
    {
        // Spawned programs belong to init, not to us: nothing else would end them.
        Processes->Pretends = false;
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
    // The host runs from the program folder with the settings for port.
    void RunsOnPort(int port)
    {
        const std::string proc = "/proc/" + std::to_string(Utils->ProcessHandle());
        std::string command = ReadFile(proc + "/cmdline");
        std::replace(command.begin(), command.end(), '\0', ' ');
        EXPECT_EQ(RunningHost(), Utils->ProcessHandle());
        EXPECT_EQ(command, HostPath() + " -password=40271953 -port=" + std::to_string(port - 5900) + " ");
        EXPECT_EQ(fs::read_symlink(proc + "/cwd"), fs::path(Folder.Path()));
        EXPECT_EQ(Keys.Writes, HostSettings(port));
    }

    TempDir Folder; // the program folder
    TKeys Keys;
    TLogCapture Log;
    std::shared_ptr<TFolderProcessTable> Processes =
        std::make_shared<TFolderProcessTable>(Folder.Path() + "/");
    std::shared_ptr<orvtest::TRecordingDesktop> Desktop = std::make_shared<orvtest::TRecordingDesktop>();
    std::unique_ptr<TorvWDefaultUtils> Utils;
};

TEST_F(HostControl, StartHostTakesTheFirstFreePortAndRestartsARunningHost)
{
    THeldPorts busy(5905, 5908);
    // 5909, unless another program on this machine holds it.
    int port = 5909;
    while (port <= 5929 && THeldPorts(port, port).Held.empty()) // held by someone else
        ++port;
    ASSERT_LE(port, 5929);
    Utils->StartHost();
    EXPECT_EQ(Utils->PortText, std::to_string(port));
    EXPECT_EQ(Utils->Password, "40271953");
    EXPECT_EQ(Keys.Closes, 2); // a key's values reach its file when it is closed
    EXPECT_TRUE(
        Log.InOrder({"Searching free port for remote desktop host server...",
                     "Free port found : " + std::to_string(port), "Starting remote desktop host..."}));
    const pid_t first = Utils->ProcessHandle();
    ASSERT_GT(first, 0);
    RunsOnPort(port);
    EXPECT_TRUE(Utils->IsHostRunning());
    EXPECT_TRUE(WaitUntil([&] { return Utils->IsHostListening(port); }));

    Keys.Writes.clear();
    Utils->StartHost();
    EXPECT_TRUE(Log.InOrder({"Starting remote desktop host...", "Restarting remote desktop host...",
                             "Remote desktop server terminated"}));
    EXPECT_NE(Utils->ProcessHandle(), first);
    RunsOnPort(std::stoi(Utils->PortText));
    EXPECT_EQ(Processes->Kills, 0); // SIGTERM was enough

    Utils->CloseHost();
    EXPECT_EQ(RunningHost(), 0);
    EXPECT_FALSE(Utils->IsHostRunning());
    Utils->CloseHost();
    EXPECT_TRUE(Log.Has("Remote desktop server process not found"));
}

TEST_F(HostControl, NoFreePortMeansNoSettingsAndNoHost)
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

// What is missing is named before anything is written or started: our
// launcher beside the program, or the program it runs and its package.
TEST_F(HostControl, AMissingProgramIsNamedWithWhatToInstall)
{
    const auto message = [&](auto start) {
        try {
            start();
        } catch (const EorvProgramMissing& e) {
            return std::string(e.what());
        }
        return std::string("no EorvProgramMissing");
    };
    // This desktop has none of the programs; the fixture's has x11vnc.
    const auto bare = std::make_shared<orvtest::TRecordingDesktop>();
    TorvWDefaultUtils utils(Platform(*bare));

    EXPECT_EQ(message([&] { utils.StartHost(); }),
              "The program x11vnc is not installed on this computer. Please install the package x11vnc (sudo "
              "apt install x11vnc) and try again.");
    fs::copy_file(HostPath(), Folder.File("orvviewer"));
    EXPECT_EQ(message([&] { utils.StartViewer(); }),
              "The program xtigervncviewer is not installed on this computer. Please install the package "
              "tigervnc-viewer (sudo apt install tigervnc-viewer) and try again.");
    fs::remove(HostPath());
    bare->Install("x11vnc");
    EXPECT_EQ(message([&] { utils.StartHost(); }),
              "The program orvhost is missing from " + Folder.Path() + "/. Please install Orvalis again.");
    // Named before anything was written or started.
    EXPECT_TRUE(Keys.Writes.empty());
    EXPECT_EQ(RunningHost(), 0);
}

TEST_F(HostControl, CloseHostKillsAHostThatIgnoresTheEndRequest)
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
        RawListener listener;
        std::thread server([&, greeting = greeting] {
            RawConnection client(listener.Accept());
            client.Write(greeting);
            if (greeting != "RFB 003.006")
                client.WaitClosed(); // holds the line until the client leaves
        });
        EXPECT_EQ(utils.IsHostListening(listener.Port()), expected) << greeting;
        server.join();
    }
    EXPECT_FALSE(utils.IsHostListening(FreePort()));
}

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
    EXPECT_EQ(RunningHost(), 0);
}

TEST_F(HostControl, CloseHostFindsTheHostByPathThenByNameAndNeverRaises)
{
    // The full path wins over a program of the same name elsewhere; then the name alone.
    const std::string other = Folder.File("other/orvhost");
    fs::create_directories(Folder.File("other"));
    fs::copy_file("/bin/sleep", other);
    Utils->StartHost();
    const pid_t host = Utils->ProcessHandle();
    ASSERT_TRUE(WaitUntil([&] { return Utils->IsHostListening(std::stoi(Utils->PortText)); }));
    const pid_t elsewhere = Processes->Spawn(other, {"30"}, "");
    ASSERT_TRUE(WaitUntil([&] { return Processes->List().size() == 2; }));
    Utils->CloseHost();
    EXPECT_FALSE(Processes->IsRunning(host));
    EXPECT_TRUE(Processes->IsRunning(elsewhere));
    Utils->CloseHost();
    EXPECT_FALSE(Processes->IsRunning(elsewhere));
    EXPECT_TRUE(Log.InOrder({"Closing remote desktop server...", "Remote desktop server terminated",
                             "Closing remote desktop server...", "Remote desktop server terminated"}));

    // Still listed after the end wait.
    Processes->Spawn(other, {"30"}, "");
    ASSERT_TRUE(WaitUntil([&] { return Utils->IsHostRunning(); }));
    Processes->Pretends = true;
    Utils->ProcessEndWaitMs = 200;
    EXPECT_NO_THROW(Utils->CloseHost());
    EXPECT_TRUE(Log.Has("Unable to terminate remote desktop server"));
}

TEST_F(HostControl, RunExecutableStartsProgramsAndOpensOtherFiles)
{
    // Stand-ins that note their arguments and folder.
    const std::string program = Folder.File("tool"), opener = Folder.File("bin/xdg-open");
    fs::create_directories(Folder.File("bin"));
    for (const std::string& script : {program, opener}) {
        WriteFile(script, "#!/bin/sh\necho \"$# $1|$2 $PWD\" > \"$0.out\"\n");
        fs::permissions(script, fs::perms::owner_all);
    }
    TScopedEnv path("PATH", Folder.File("bin") + ":" + std::getenv("PATH"));
    const std::string document = Folder.File("notes.txt");
    WriteFile(document, "text");

    // The path's environment variables are expanded; unknown ones are empty.
    TScopedEnv tools("ORV_TEST_TOOLS", Folder.Path());
    EXPECT_EQ(orvExpandEnvironment("$ORV_TEST_TOOLS/a ${ORV_TEST_TOOLS}b $ORV_TEST_UNSET. $ ${x"),
              Folder.Path() + "/a " + Folder.Path() + "b . $ ${x");
    EXPECT_GT(Utils->RunExecutable("${ORV_TEST_TOOLS}/tool", "-a \"b c\""), 0);
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(program + ".out") == "2 -a|b c " + Folder.Path() + "\n"; }))
        << ReadFile(program + ".out");
    // A document is opened by the desktop's handler alone, in its own folder,
    // by its full name (so no name can pass for an option).
    EXPECT_GT(Utils->RunExecutable(Folder.Path() + "/bin/../notes.txt", "-x"), 0);
    EXPECT_TRUE(WaitUntil([&] {
        return ReadFile(opener + ".out") == "1 " + document + "| " + Folder.Path() + "\n";
    })) << ReadFile(opener + ".out");
    EXPECT_THROW(Utils->RunExecutable("", ""), EorvException);
    EXPECT_THROW(Utils->RunExecutable(Folder.File("missing.txt"), ""), EorvException);

    WriteFile(program, "#!/nonexistent/interpreter\n");
    EXPECT_THROW(Utils->RunExecutable(program, ""), EorvException);
}

// ---- the password block and the viewer's configuration

TEST(VNCPassword, BlockAndViewerConfiguration)
{
    // The block as x11vnc -storepasswd writes it.
    EXPECT_EQ(orvViewerConfigText("5902", "40271953"),
              "[connection]\r\nhost=127.0.0.1\r\nport=5902\r\npassword=085DD2A21061A8FB\r\nviewonly=0\r\n");
    EXPECT_EQ(EncryptVNCPassword("abc"), EncryptVNCPassword("abc?????"));
    EXPECT_EQ(EncryptVNCPassword("abcdefghijk"), EncryptVNCPassword("abcdefgh"));
    EXPECT_EQ(EncryptVNCPassword(""), EncryptVNCPassword("????????"));
}

TEST(VNCPassword, MatchesX11vnc)
{
    if (std::system("command -v x11vnc >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "x11vnc is not installed";
    TempDir dir;
    // x11vnc pads with zero bytes, ours with '?': compare with the padding written out.
    for (const auto& [ours, theirs] :
         std::vector<std::pair<std::string, std::string>>{{"40271953", "40271953"},
                                                          {"abc", "abc?????"},
                                                          {"abcdefghijk", "abcdefgh"},
                                                          {"P4ss-w0rd", "P4ss-w0r"}}) {
        const std::string file = dir.File(theirs);
        const std::string command =
            "x11vnc -storepasswd '" + theirs + "' '" + file + "' </dev/null >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        ASSERT_EQ(ReadFile(file).size(), 8u) << theirs;
        EXPECT_EQ(EncryptVNCPassword(ours), ReadFile(file)) << ours;
    }
}

// ---- window messages

TEST(WindowPosts, GoToTheirWindowOnlyWhenItExists)
{
    TempDir runtime;
    TScopedEnv env{"XDG_RUNTIME_DIR", runtime.Path()};
    TorvSocketWindowMessenger messenger{5000};
    TUltraVNCHostUtils host(messenger);
    TUltraVNCViewerUtils viewer(messenger);
    EXPECT_FALSE(host.PostHostViewOnly(true));
    EXPECT_FALSE(viewer.PostViewerSettings());

    TorvMessageWindow tray("WinVNC Tray Icon");
    TWindowPump trayPump(tray);
    EXPECT_TRUE(host.PostHostViewOnly(true));
    EXPECT_TRUE(host.PostHostViewOnly(false));
    EXPECT_EQ(Posts(trayPump, 2), (std::vector<TPost>{{"", 1224, 17, 0}, {"", 1224, 1, 0}}));

    // The viewer's settings need its child window.
    {
        TorvMessageWindow frame("VNCMDI_Window", {"Other"});
        TWindowPump pump(frame);
        EXPECT_FALSE(viewer.PostViewerSettings());
        // Posts arrive in order: anything the failed call had posted comes before this one.
        ASSERT_TRUE(messenger.PostMessage("VNCMDI_Window", "", {7, 8, 9}));
        EXPECT_EQ(Posts(pump, 1), (std::vector<TPost>{{"", 7, 8, 9}}));
    }
    TorvMessageWindow frame("VNCMDI_Window", {"VNCviewerwindow"});
    TWindowPump pump(frame);
    EXPECT_TRUE(viewer.PostViewerSettings());
    EXPECT_EQ(Posts(pump, 1), (std::vector<TPost>{{"VNCviewerwindow", 1225, 0x50000D36, 1}}));
}

} // namespace

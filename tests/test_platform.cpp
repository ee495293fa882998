// The Linux stand-ins: key store file, processes, window messages, temporary files.
#include "platform/orvKeyStore.h"
#include "platform/orvProcesses.h"
#include "platform/orvTempFiles.h"
#include "platform/orvWindowMessages.h"

#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Sets (or with nullptr removes) an environment variable for one test.
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

private:
    std::string FName;
    std::optional<std::string> FOld;
};

mode_t ModeOf(const std::string& path)
{
    struct stat info
    {
    };
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

std::vector<std::string> FilesIn(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    return names;
}

// ---- key store

TEST(PlatformKeyStore, ValuesRoundTripThroughAPrivateFile)
{
    orvtest::TempDir dir;
    const std::string path = dir.File("config/orvalis/software/host.keys");
    const std::string bytes("\x00\xff\x10=\n#", 6);
    {
        TorvFileKeyStore store(path);
        store.WriteInteger("port", 0x170d);
        store.WriteBinary("password", bytes);
        store.WriteInteger("max", 0xffffffffu);
        store.WriteBinary("empty", "");
        // Read back before anything is written.
        EXPECT_EQ(store.ReadInteger("port"), 0x170du);
        EXPECT_FALSE(fs::exists(path));
        store.WriteInteger("port", 5902); // the last value counts
        store.Close();
    }
    TorvFileKeyStore store(path);
    EXPECT_EQ(store.ReadInteger("port"), 5902u);
    EXPECT_EQ(store.ReadInteger("max"), 0xffffffffu);
    EXPECT_EQ(store.ReadBinary("password"), bytes);
    EXPECT_EQ(store.ReadBinary("empty"), "");
    // A value is of one type only; names are exact.
    EXPECT_EQ(store.ReadInteger("password"), std::nullopt);
    EXPECT_EQ(store.ReadBinary("port"), std::nullopt);
    EXPECT_EQ(store.ReadInteger("Port"), std::nullopt);

    EXPECT_EQ(ModeOf(path), 0600u);
    EXPECT_EQ(ModeOf(dir.File("config/orvalis")), 0700u);
    EXPECT_EQ(orvtest::ReadFile(path).front(), '#');
    EXPECT_EQ(FilesIn(dir.File("config/orvalis/software")), std::vector<std::string>{"host.keys"});
    EXPECT_THROW(store.WriteBinary("a=b", "x"), std::invalid_argument);
    EXPECT_THROW(store.WriteInteger("", 1), std::invalid_argument);
}

TEST(PlatformKeyStore, AMissingFileIsAnEmptyKeyAndIsOnlyWrittenWhenChanged)
{
    orvtest::TempDir dir;
    const std::string path = dir.File("none.keys");
    {
        TorvFileKeyStore store(path);
        EXPECT_EQ(store.ReadBinary("password"), std::nullopt);
        EXPECT_EQ(store.ReadInteger("port"), std::nullopt);
    }
    EXPECT_FALSE(fs::exists(path));

    orvtest::WriteFile(path, "# hand-written\r\n\r\nport=dword:0000170D\r\n");
    const auto before = fs::last_write_time(path);
    {
        TorvFileKeyStore store(path);
        EXPECT_EQ(store.ReadInteger("port"), 0x170du);
    }
    EXPECT_EQ(fs::last_write_time(path), before);
    EXPECT_EQ(orvtest::ReadFile(path), "# hand-written\r\n\r\nport=dword:0000170D\r\n");
}

TEST(PlatformKeyStore, AMalformedFileIsRefusedAndKept)
{
    orvtest::TempDir dir;
    const std::string path = dir.File("bad.keys");
    for (const std::string content :
         {"port=dword:170d\n", "port=dword:0000170g\n", "password=hex:0a1\n", "password=text:abc\n",
          "no equals sign\n", "=hex:00\n", "a=hex:00\na=hex:01\n"}) {
        orvtest::WriteFile(path, content);
        EXPECT_THROW(TorvFileKeyStore store(path), std::runtime_error) << content;
        EXPECT_EQ(orvtest::ReadFile(path), content);
    }
}

TEST(PlatformKeyStore, PathFollowsTheConfigFolder)
{
    {
        TScopedEnv config("XDG_CONFIG_HOME", "/x/config");
        EXPECT_EQ(orvKeyStorePath("software\\orvalis2005_host"),
                  "/x/config/orvalis/software/orvalis2005_host.keys");
    }
    TScopedEnv config("XDG_CONFIG_HOME", nullptr);
    TScopedEnv home("HOME", "/home/u");
    EXPECT_EQ(orvKeyStorePath("software\\a\\b"), "/home/u/.config/orvalis/software/a/b.keys");
}

// ---- processes

bool Listed(TorvProcessTable& table, pid_t pid, const std::string& exe)
{
    for (const auto& entry : table.List())
        if (entry.Pid == pid)
            return entry.ExePath == exe;
    return false;
}

// Our own children left as zombies.
int OurZombies()
{
    int zombies = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const std::string stat = orvtest::ReadFile(entry.path().string() + "/stat");
        const auto close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        char state = 0;
        int ppid = 0;
        if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == ::getpid() &&
            state == 'Z')
            ++zombies;
    }
    return zombies;
}

TEST(PlatformProcesses, ASpawnedProgramIsListedAndEndsOnRequest)
{
    TorvLinuxProcessTable table;
    const pid_t pid = table.Spawn("/bin/sleep", {"30"}, "");
    const std::string sleep = fs::canonical("/bin/sleep").string();
    EXPECT_TRUE(orvtest::WaitUntil([&] { return Listed(table, pid, sleep); }));
    EXPECT_TRUE(table.IsRunning(pid));
    EXPECT_TRUE(table.RequestEnd(pid, 10000));
    EXPECT_FALSE(table.IsRunning(pid));
    EXPECT_FALSE(Listed(table, pid, sleep));
    EXPECT_EQ(OurZombies(), 0);
}

TEST(PlatformProcesses, SpawnUsesTheFolderPathAndAQuietInput)
{
    orvtest::TempDir dir;
    TorvLinuxProcessTable table;
    table.Spawn("sh", {"-c", "readlink /proc/$$/fd/0 > input; pwd > where"}, dir.Path());
    EXPECT_TRUE(
        orvtest::WaitUntil([&] { return orvtest::ReadFile(dir.File("where")) == dir.Path() + "\n"; }));
    EXPECT_EQ(orvtest::ReadFile(dir.File("input")), "/dev/null\n");
}

TEST(PlatformProcesses, AProgramIgnoringTheEndRequestIsKilled)
{
    TorvLinuxProcessTable table;
    // exec: the pid we end is the program that ignores SIGTERM, not a shell above it.
    const pid_t pid = table.Spawn("sh", {"-c", "trap '' TERM; exec sleep 30"}, "");
    const std::string sleep = fs::canonical("/bin/sleep").string();
    ASSERT_TRUE(orvtest::WaitUntil([&] { return Listed(table, pid, sleep); }));
    EXPECT_FALSE(table.RequestEnd(pid, 200));
    EXPECT_TRUE(table.IsRunning(pid));
    EXPECT_TRUE(table.Kill(pid));
    EXPECT_TRUE(orvtest::WaitUntil([&] { return !table.IsRunning(pid); }));
    EXPECT_FALSE(table.Kill(999999999));
}

TEST(PlatformProcesses, AStartThatFailsRaisesAndLeavesNoZombie)
{
    orvtest::TempDir dir;
    orvtest::WriteFile(dir.File("plain"), "x");
    TorvLinuxProcessTable table;
    const auto errorOf = [&](const std::string& path, const std::string& workDir) {
        try {
            table.Spawn(path, {}, workDir);
        } catch (const std::system_error& error) {
            return error.code().value();
        }
        return 0;
    };
    EXPECT_EQ(errorOf("/nonexistent/program", ""), ENOENT);
    EXPECT_EQ(errorOf("orv-no-such-program", ""), ENOENT);
    EXPECT_EQ(errorOf(dir.File("plain"), ""), EACCES);
    EXPECT_EQ(errorOf("/bin/true", "/nonexistent-folder"), ENOENT);
    EXPECT_THROW(TorvChildProcess("/nonexistent/program", {}), std::system_error);
    table.Spawn("/bin/true", {}, "");
    EXPECT_EQ(OurZombies(), 0);
}

TEST(PlatformProcesses, AChildProcessReportsHowItEnded)
{
    TorvChildProcess fails("sh", {"-c", "exit 3"});
    ASSERT_TRUE(orvtest::WaitUntil([&] { return fails.Poll().has_value(); }));
    EXPECT_EQ(WEXITSTATUS(*fails.Poll()), 3);

    // A launcher blocks SIGTERM for its signalfd: its children must not inherit that.
    sigset_t term, old;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &term, &old);
    TorvChildProcess sleeper("sleep", {"30"});
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    const int ended = sleeper.End(10000);
    EXPECT_TRUE(WIFSIGNALED(ended) && WTERMSIG(ended) == SIGTERM) << ended;

    TorvChildProcess stubborn("sh", {"-c", "trap '' TERM; exec sleep 30"});
    ASSERT_TRUE(orvtest::WaitUntil([&] {
        return fs::read_symlink("/proc/" + std::to_string(stubborn.Pid()) + "/exe") ==
               fs::canonical("/bin/sleep");
    }));
    const int killed = stubborn.End(100);
    EXPECT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL) << killed;
}

TEST(PlatformProcesses, SplitArguments)
{
    using Args = std::vector<std::string>;
    EXPECT_EQ(orvSplitArguments("-a \"b c\""), (Args{"-a", "b c"}));
    EXPECT_EQ(orvSplitArguments("  one\ttwo   three "), (Args{"one", "two", "three"}));
    EXPECT_EQ(orvSplitArguments("/config \"/tmp/my file.ini\" -x"),
              (Args{"/config", "/tmp/my file.ini", "-x"}));
    EXPECT_EQ(orvSplitArguments("a\"b c\"d"), (Args{"ab cd"}));
    EXPECT_EQ(orvSplitArguments("\"\" x"), (Args{"", "x"}));
    EXPECT_EQ(orvSplitArguments("\"open ended"), (Args{"open ended"}));
    EXPECT_EQ(orvSplitArguments("   "), Args{});
}

TEST(PlatformProcesses, ExecutableFilesAndOurFolder)
{
    orvtest::TempDir dir;
    orvtest::WriteFile(dir.File("plain"), "x");
    EXPECT_TRUE(orvIsExecutableFile("/bin/sh"));
    EXPECT_FALSE(orvIsExecutableFile(dir.File("plain")));
    EXPECT_FALSE(orvIsExecutableFile(dir.Path()));
    EXPECT_FALSE(orvIsExecutableFile(dir.File("missing")));
    EXPECT_EQ(orvExecutableFolder(), fs::read_symlink("/proc/self/exe").parent_path().string() + "/");
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

class PlatformWindowMessages : public ::testing::Test
{
protected:
    orvtest::TempDir FRuntime;
    TScopedEnv FEnv{"XDG_RUNTIME_DIR", FRuntime.Path().c_str()};
    TorvSocketWindowMessenger FMessenger{5000};
};

TEST_F(PlatformWindowMessages, FindPostAndReceive)
{
    TorvMessageWindow window("WinVNC Tray Icon", {"VNCviewerwindow"});
    EXPECT_TRUE(fs::is_socket(FRuntime.File("orvalis-windows/WinVNC_Tray_Icon")));
    EXPECT_EQ(ModeOf(FRuntime.File("orvalis-windows")), 0700u);
    TWindowPump pump(window);

    EXPECT_TRUE(FMessenger.FindWindow("WinVNC Tray Icon"));
    EXPECT_TRUE(FMessenger.FindWindow("WinVNC Tray Icon", "VNCviewerwindow"));
    EXPECT_FALSE(FMessenger.FindWindow("WinVNC Tray Icon", "OtherChild"));
    EXPECT_FALSE(FMessenger.PostMessage("WinVNC Tray Icon", "OtherChild", {1, 2, 3}));

    EXPECT_TRUE(FMessenger.PostMessage("WinVNC Tray Icon", "", {1224, 17, -5}));
    EXPECT_TRUE(FMessenger.PostMessage("WinVNC Tray Icon", "VNCviewerwindow", {1225, 1ull << 63, INT64_MIN}));
    ASSERT_TRUE(orvtest::WaitUntil([&] { return pump.Received().size() >= 2; }));
    const auto received = pump.Received();
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].ChildClass, "");
    EXPECT_EQ(received[0].Message.Msg, 1224u);
    EXPECT_EQ(received[0].Message.WParam, 17u);
    EXPECT_EQ(received[0].Message.LParam, -5);
    EXPECT_EQ(received[1].ChildClass, "VNCviewerwindow");
    EXPECT_EQ(received[1].Message.WParam, 1ull << 63);
    EXPECT_EQ(received[1].Message.LParam, INT64_MIN);
}

TEST_F(PlatformWindowMessages, AMissingWindowIsNotFoundWithoutWaiting)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(FMessenger.FindWindow("Nobody"));
    EXPECT_FALSE(FMessenger.PostMessage("Nobody", "", {1224, 1, 0}));
    {
        TorvMessageWindow gone("Gone");
    }
    EXPECT_FALSE(fs::exists(FRuntime.File("orvalis-windows/Gone")));
    EXPECT_FALSE(FMessenger.FindWindow("Gone"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s); // far below the 5 s answer wait
}

TEST_F(PlatformWindowMessages, AStaleSocketIsReplacedALiveOneRefused)
{
    // Left behind by an owner that died: bound, then closed.
    const std::string path = orvWindowFolder() + "/VNCMDI_Window";
    {
        const int fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    EXPECT_FALSE(FMessenger.FindWindow("VNCMDI_Window"));
    auto window = std::make_unique<TorvMessageWindow>("VNCMDI_Window");
    {
        TWindowPump pump(*window);
        EXPECT_TRUE(FMessenger.FindWindow("VNCMDI_Window"));
        EXPECT_THROW(TorvMessageWindow second("VNCMDI_Window"), std::runtime_error);
    }
    // An owner that does not answer counts as gone; going later, it must not take its successor's socket.
    TorvMessageWindow successor("VNCMDI_Window");
    window.reset();
    TWindowPump pump(successor);
    EXPECT_TRUE(FMessenger.FindWindow("VNCMDI_Window"));
}

TEST_F(PlatformWindowMessages, AFolderOthersMayEnterIsRefused)
{
    ASSERT_EQ(::mkdir(FRuntime.File("orvalis-windows").c_str(), 0755), 0);
    ::chmod(FRuntime.File("orvalis-windows").c_str(), 0755);
    EXPECT_THROW(orvWindowFolder(), std::runtime_error);
    EXPECT_THROW(TorvMessageWindow("Any"), std::runtime_error);
    EXPECT_FALSE(FMessenger.FindWindow("Any"));
}

// ---- temporary files

TEST(PlatformTempFiles, PrivateUniqueFilesInTheTemporaryFolder)
{
    orvtest::TempDir dir;
    {
        TScopedEnv tmp("TMPDIR", nullptr);
        EXPECT_EQ(orvTempFolder(), "/tmp/");
    }
    TScopedEnv tmp("TMPDIR", dir.Path().c_str());
    EXPECT_EQ(orvTempFolder(), dir.Path() + "/");
    const std::string first = orvCreateTempFile("orvhostpw"), second = orvCreateTempFile("orvhostpw");
    EXPECT_NE(first, second);
    for (const auto& name : {first, second}) {
        EXPECT_TRUE(name.starts_with(dir.Path() + "/orvhostpw")) << name;
        EXPECT_TRUE(name.ends_with(".tmp")) << name;
        EXPECT_EQ(ModeOf(name), 0600u);
        EXPECT_EQ(fs::file_size(name), 0u);
    }
    std::string path;
    {
        TorvTempFile file("orvviewerpw");
        path = file.Path();
        file.Write(std::string("\x01\x00\x02", 3));
        EXPECT_EQ(orvtest::ReadFile(path), std::string("\x01\x00\x02", 3));
    }
    EXPECT_FALSE(fs::exists(path));
}

} // namespace

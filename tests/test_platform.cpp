// The Linux stand-ins: key store file, processes, window messages, temporary files.
#include "platform/orvFiles.h"
#include "platform/orvKeyStore.h"
#include "platform/orvProcesses.h"
#include "platform/orvTempFiles.h"
#include "platform/orvWindowMessages.h"

#include "tests/support/PlatformTestUtil.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace {

using namespace orvtest;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

unsigned ModeOf(const std::string& path)
{
    return static_cast<unsigned>(fs::status(path).permissions());
}

// Set when one of our children has ended and was never reaped (reaping it).
bool ZombieChildLeft()
{
    return ::waitpid(-1, nullptr, WNOHANG) > 0;
}

// ---- key store

TEST(PlatformKeyStore, ValuesRoundTripThroughAPrivateFile)
{
    TempDir dir;
    const std::string path = dir.File("config/orvalis/software/host.keys");
    const std::string bytes("\x00\xff\x10=\n#", 6);
    {
        TorvFileKeyStore store(path);
        EXPECT_EQ(store.ReadBinary("password"), std::nullopt); // a missing file is an empty key
        store.WriteInteger("port", 0x170d);
        store.WriteBinary("password", bytes);
        store.WriteInteger("max", 0xffffffffu);
        store.WriteBinary("empty", "");
        EXPECT_EQ(store.ReadInteger("port"), 0x170du);
        EXPECT_FALSE(fs::exists(path)); // written when closed
        store.WriteInteger("port", 5902);
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
    // Nothing left over from writing it.
    EXPECT_EQ(std::distance(fs::directory_iterator(fs::path(path).parent_path()), {}), 1);
    EXPECT_THROW(store.WriteBinary("a=b", "x"), std::invalid_argument);
    EXPECT_THROW(store.WriteInteger("", 1), std::invalid_argument);
}

TEST(PlatformKeyStore, AFileIsOnlyWrittenWhenChangedAndAMalformedOneIsRefusedAndKept)
{
    TempDir dir;
    const std::string path = dir.File("keys");
    {
        TorvFileKeyStore store(path);
        EXPECT_EQ(store.ReadInteger("port"), std::nullopt);
    }
    EXPECT_FALSE(fs::exists(path));

    const std::string handWritten = "# hand-written\r\n\r\nport=dword:0000170D\r\n";
    WriteFile(path, handWritten);
    const auto before = fs::last_write_time(path);
    EXPECT_EQ(TorvFileKeyStore(path).ReadInteger("port"), 0x170du);
    EXPECT_EQ(fs::last_write_time(path), before);
    EXPECT_EQ(ReadFile(path), handWritten);

    for (const std::string content :
         {"port=dword:170d\n", "port=dword:0000170g\n", "password=hex:0a1\n", "password=text:abc\n",
          "no equals sign\n", "=hex:00\n", "a=hex:00\na=hex:01\n"}) {
        WriteFile(path, content);
        EXPECT_THROW(TorvFileKeyStore store(path), std::runtime_error) << content;
        EXPECT_EQ(ReadFile(path), content);
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

TEST(PlatformStateFolder, FollowsTheXdgRulesAndStaysOutOfOtherUsersFolders)
{
    TempDir dir;
    {
        TScopedEnv state("XDG_STATE_HOME", dir.File("state"));
        EXPECT_EQ(orvUserStateFolder(), dir.File("state") + "/orvalis");
    }
    TScopedEnv home("HOME", dir.Path());
    {
        // A relative XDG_STATE_HOME is to be ignored.
        TScopedEnv state("XDG_STATE_HOME", "relative/state");
        EXPECT_EQ(orvUserStateFolder(), dir.Path() + "/.local/state/orvalis");
    }
    TScopedEnv state("XDG_STATE_HOME", nullptr);
    EXPECT_EQ(orvUserStateFolder(), dir.Path() + "/.local/state/orvalis");
    {
        TScopedEnv noHome("HOME", nullptr);
        EXPECT_EQ(orvUserStateFolder(), "");
    }

    // Root that kept another user's HOME leaves that user's home alone.
    if (::geteuid() != 0)
        GTEST_SKIP() << "only root can hand a folder to another user";
    const std::string other = dir.File("other");
    fs::create_directory(other);
    ASSERT_EQ(::chown(other.c_str(), 65534, 65534), 0);
    TScopedEnv otherHome("HOME", other);
    EXPECT_EQ(orvUserStateFolder(), "");
}

// ---- processes

bool Listed(TorvProcessTable& table, pid_t pid)
{
    const std::string sleep = fs::canonical("/bin/sleep").string();
    for (const auto& entry : table.List())
        if (entry.Pid == pid)
            return entry.ExePath == sleep;
    return false;
}

TEST(PlatformProcesses, SpawnedProgramsAreListedAndEndedOrKilled)
{
    TorvLinuxProcessTable table;
    const pid_t pid = table.Spawn("/bin/sleep", {"30"}, "");
    EXPECT_TRUE(WaitUntil([&] { return Listed(table, pid); }));
    EXPECT_TRUE(table.IsRunning(pid));
    EXPECT_TRUE(table.RequestEnd(pid, 10000));
    EXPECT_FALSE(table.IsRunning(pid));
    EXPECT_FALSE(Listed(table, pid));
    EXPECT_FALSE(ZombieChildLeft());

    // exec: the pid we end is the program that ignores SIGTERM, not a shell above it.
    const pid_t stubborn = table.Spawn("sh", {"-c", "trap '' TERM; exec sleep 30"}, "");
    ASSERT_TRUE(WaitUntil([&] { return Listed(table, stubborn); }));
    EXPECT_FALSE(table.RequestEnd(stubborn, 200));
    EXPECT_TRUE(table.IsRunning(stubborn));
    EXPECT_TRUE(table.Kill(stubborn));
    EXPECT_TRUE(WaitUntil([&] { return !table.IsRunning(stubborn); }));
    EXPECT_FALSE(table.Kill(999999999));

    // In the folder asked for, with a quiet input.
    TempDir dir;
    table.Spawn("sh", {"-c", "readlink /proc/$$/fd/0 > input; pwd > where"}, dir.Path());
    EXPECT_TRUE(WaitUntil([&] { return ReadFile(dir.File("where")) == dir.Path() + "\n"; }));
    EXPECT_EQ(ReadFile(dir.File("input")), "/dev/null\n");
}

TEST(PlatformProcesses, WhatCannotRunRaisesAndLeavesNoZombie)
{
    TempDir dir;
    WriteFile(dir.File("plain"), "x");
    EXPECT_TRUE(orvIsExecutableFile("/bin/sh"));
    EXPECT_FALSE(orvIsExecutableFile(dir.File("plain")));
    EXPECT_FALSE(orvIsExecutableFile(dir.Path()));
    EXPECT_FALSE(orvIsExecutableFile(dir.File("missing")));
    EXPECT_EQ(orvExecutableFolder(), fs::read_symlink("/proc/self/exe").parent_path().string() + "/");

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
    EXPECT_FALSE(ZombieChildLeft());
}

TEST(PlatformProcesses, AChildProcessReportsHowItEnded)
{
    TorvChildProcess fails("sh", {"-c", "exit 3"});
    ASSERT_TRUE(WaitUntil([&] { return fails.Poll().has_value(); }));
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
    TorvLinuxProcessTable table;
    ASSERT_TRUE(WaitUntil([&] { return Listed(table, stubborn.Pid()); }));
    const int killed = stubborn.End(100);
    EXPECT_TRUE(WIFSIGNALED(killed) && WTERMSIG(killed) == SIGKILL) << killed;
}

TEST(PlatformProcesses, SplitArguments)
{
    using Args = std::vector<std::string>;
    EXPECT_EQ(orvSplitArguments("/config \"/tmp/my file.ini\" -x"),
              (Args{"/config", "/tmp/my file.ini", "-x"}));
    EXPECT_EQ(orvSplitArguments("  one\ttwo   three "), (Args{"one", "two", "three"}));
    EXPECT_EQ(orvSplitArguments("a\"b c\"d"), (Args{"ab cd"}));
    EXPECT_EQ(orvSplitArguments("\"\" x"), (Args{"", "x"}));
    EXPECT_EQ(orvSplitArguments("\"open ended"), (Args{"open ended"}));
    EXPECT_EQ(orvSplitArguments("   "), Args{});
}

// ---- window messages

class PlatformWindowMessages : public ::testing::Test
{
protected:
    TempDir FRuntime;
    TScopedEnv FEnv{"XDG_RUNTIME_DIR", FRuntime.Path()};
    TorvSocketWindowMessenger FMessenger{5000};
};

TEST_F(PlatformWindowMessages, FindPostAndReceive)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(FMessenger.FindWindow("Nobody"));
    EXPECT_FALSE(FMessenger.PostMessage("Nobody", "", {1224, 1, 0}));
    {
        TorvMessageWindow gone("Gone");
    }
    EXPECT_FALSE(fs::exists(FRuntime.File("orvalis-windows/Gone")));
    EXPECT_FALSE(FMessenger.FindWindow("Gone"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s); // missing: far below the 5 s answer wait

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
    EXPECT_EQ(Posts(pump, 2),
              (std::vector<TPost>{{"", 1224, 17, -5}, {"VNCviewerwindow", 1225, 1ull << 63, INT64_MIN}}));
}

TEST_F(PlatformWindowMessages, AStaleSocketIsReplacedALiveOneRefused)
{
    // Left behind by an owner that died.
    if (const pid_t owner = ::fork(); owner == 0) {
        TorvMessageWindow dying("VNCMDI_Window");
        ::_exit(0);
    } else
        ASSERT_EQ(::waitpid(owner, nullptr, 0), owner);
    ASSERT_TRUE(fs::is_socket(orvWindowFolder() + "/VNCMDI_Window"));
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
    TempDir dir;
    {
        TScopedEnv tmp("TMPDIR", nullptr);
        EXPECT_EQ(orvTempFolder(), "/tmp/");
    }
    TScopedEnv tmp("TMPDIR", dir.Path());
    EXPECT_EQ(orvTempFolder(), dir.Path() + "/");
    const std::string first = orvCreateTempFile("orvhostpw"), second = orvCreateTempFile("orvhostpw");
    EXPECT_NE(first, second);
    for (const auto& name : {first, second}) {
        EXPECT_TRUE(name.starts_with(dir.Path() + "/orvhostpw") && name.ends_with(".tmp")) << name;
        EXPECT_EQ(ModeOf(name), 0600u);
        EXPECT_EQ(fs::file_size(name), 0u);
    }
    std::string path;
    {
        TorvTempFile file("orvviewerpw");
        path = file.Path();
        file.Write(std::string("\x01\x00\x02", 3));
        EXPECT_EQ(ReadFile(path), std::string("\x01\x00\x02", 3));
    }
    EXPECT_FALSE(fs::exists(path));
}

} // namespace

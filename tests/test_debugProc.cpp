// The diagnostic log's entries and life span, and the two lock classes.
#include "lib/debugProc.h"
#include "tests/support/PlatformTestUtil.h"
#include "tests/support/TestUtil.h"

#include "orvVersion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <spawn.h>
#include <string_view>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <vector>

using namespace std::chrono_literals;
using orvtest::ReadFile;
using orvtest::TempDir;
using orvtest::WaitUntil;

namespace {

constexpr std::size_t PrefixLength = 25; // "yyyy-mm-dd hh:nn:ss.zzz: "
const std::string Blanks(PrefixLength, ' ');

std::vector<std::string> SplitCrLf(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t crlf; (crlf = text.find("\r\n", start)) != std::string::npos; start = crlf + 2)
        lines.push_back(text.substr(start, crlf - start));
    EXPECT_EQ(start, text.size()) << "text does not end in CR LF";
    return lines;
}

// Every entry logged inside a test goes to a private file.
class DebugLogTest : public ::testing::Test
{
protected:
    void SetUp() override { FPrevious = RedirectDebugLogForTesting(Log()); }
    void TearDown() override { RedirectDebugLogForTesting(FPrevious); }
    std::string Log() const { return FDir.File("debug.log"); }
    // The file's lines without their CR LF.
    std::vector<std::string> Lines() const { return SplitCrLf(ReadFile(Log())); }

    TempDir FDir;
    std::string FPrevious;
};

TEST_F(DebugLogTest, EntryHasLocalTimePrefixAndCrLf)
{
    const std::time_t before = std::time(nullptr);
    DebugLog("Creating main form");
    const std::time_t after = std::time(nullptr);

    const std::string content = ReadFile(Log());
    std::smatch m;
    ASSERT_TRUE(std::regex_match(content, m,
                                 std::regex(R"((\d{4})-(\d{2})-(\d{2}) (\d{2}):(\d{2}):(\d{2})\.\d{3}: )"
                                            "Creating main form\r\n")))
        << content;
    std::tm stamp{};
    stamp.tm_year = std::stoi(m[1]) - 1900;
    stamp.tm_mon = std::stoi(m[2]) - 1;
    stamp.tm_mday = std::stoi(m[3]);
    stamp.tm_hour = std::stoi(m[4]);
    stamp.tm_min = std::stoi(m[5]);
    stamp.tm_sec = std::stoi(m[6]);
    stamp.tm_isdst = -1;
    const std::time_t logged = std::mktime(&stamp);
    EXPECT_GE(logged, before - 1);
    EXPECT_LE(logged, after + 1);
}

TEST_F(DebugLogTest, TextsAsGivenWithContinuationLinesIndented)
{
    DebugLog("first\r\nsecond\r\nthird");
    DebugLog("ends in a break\r\n");
    DebugLog("lone\nfeed");
    DebugLogError("x");
    DebugLogFmt("%s has %d entries", "list", 3);
    const std::string longText(5000, 'a');
    DebugLogFmt("<%s>", longText.c_str());

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_EQ(lines[0].substr(PrefixLength), "first");
    EXPECT_EQ(lines[1], Blanks + "second");
    EXPECT_EQ(lines[2], Blanks + "third");
    EXPECT_EQ(lines[3].substr(PrefixLength), "ends in a break");
    EXPECT_EQ(lines[4], Blanks);
    EXPECT_EQ(lines[5].substr(PrefixLength), "lone\nfeed");
    EXPECT_EQ(lines[6].substr(PrefixLength), "error: \"x\"");
    EXPECT_EQ(lines[7].substr(PrefixLength), "list has 3 entries");
    EXPECT_EQ(lines[8].substr(PrefixLength), "<" + longText + ">");
}

TEST_F(DebugLogTest, CreatesTheFileThenAppendsWithoutTruncating)
{
    EXPECT_EQ(DebugLogFilePath(), Log());
    ASSERT_FALSE(std::filesystem::exists(Log()));
    DebugLog("one");
    ASSERT_TRUE(std::filesystem::exists(Log()));
    DebugLog("two");
    auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].substr(PrefixLength), "two");

    // Another program may have deleted or replaced the file in between.
    orvtest::WriteFile(Log(), "kept\r\n");
    DebugLog("three");
    lines = Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "kept");
    EXPECT_EQ(lines[1].substr(PrefixLength), "three");
}

TEST_F(DebugLogTest, UnwritablePlacesDropTheEntryAndTheNextEntryTriesAgain)
{
    orvtest::WriteFile(FDir.File("plain"), "");
    std::filesystem::create_directory(FDir.File("folder"));
    for (const std::string& place :
         {FDir.File("missing/debug.log"), FDir.File("plain/debug.log"), FDir.File("folder"), std::string()}) {
        RedirectDebugLogForTesting(place);
        DebugLog("dropped");
        DebugLogError("dropped");
        DebugLogFmt("%s", "dropped");
    }
    EXPECT_FALSE(std::filesystem::exists(FDir.File("missing")));
    EXPECT_EQ(ReadFile(FDir.File("plain")), "");
    EXPECT_TRUE(std::filesystem::is_empty(FDir.File("folder")));

    RedirectDebugLogForTesting(Log());
    DebugLog("written");
    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(PrefixLength), "written");
}

TEST_F(DebugLogTest, EntriesOfConcurrentThreadsStayWhole)
{
    constexpr int Threads = 4, Entries = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < Entries; ++i)
                DebugLogFmt("thread %d entry %d\r\ncontinued %d/%d", t, i, t, i);
        });
    for (auto& th : threads)
        th.join();

    const auto lines = Lines();
    ASSERT_EQ(lines.size(), 2u * Threads * Entries);
    std::set<std::pair<int, int>> seen;
    const std::regex first(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}: thread (\d+) entry (\d+))");
    for (std::size_t k = 0; k < lines.size(); k += 2) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[k], m, first)) << lines[k];
        EXPECT_EQ(lines[k + 1], Blanks + "continued " + m[1].str() + "/" + m[2].str());
        seen.emplace(std::stoi(m[1]), std::stoi(m[2]));
    }
    EXPECT_EQ(seen.size(), std::size_t(Threads * Entries));
}

TEST(ProgramInfo, VersionLoadAddressAndSystem)
{
    const std::string block = GetProgramInfoText();
    ASSERT_GE(block.size(), 2u);
    EXPECT_NE(block.substr(block.size() - 2), "\r\n");
    const auto lines = SplitCrLf(block + "\r\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], ORV_FILE_VERSION);

    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[1], m, std::regex("Instance address: ([0-9A-F]{8,})"))) << lines[1];
    Dl_info self{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&SplitCrLf), &self), 0);
    EXPECT_EQ(std::stoull(m[1], nullptr, 16), reinterpret_cast<std::uintptr_t>(self.dli_fbase));

    utsname uts{};
    ASSERT_EQ(uname(&uts), 0);
    EXPECT_EQ(lines[2].rfind("OS version: ", 0), 0u) << lines[2];
    EXPECT_GT(lines[2].size(), std::string("OS version: ").size() + 1 + std::strlen(uts.release));
    EXPECT_EQ(lines[2].substr(lines[2].size() - std::strlen(uts.release) - 1),
              std::string(" ") + uts.release);
}

// ---- The log's life span, seen from a program of ours ----

// Runs path with environ, plus the extra "NAME=value" entries, which win.
int RunProgram(const std::string& path, const std::string& output, const std::vector<std::string>& extra = {})
{
    std::vector<char*> environment;
    for (const std::string& entry : extra)
        environment.push_back(const_cast<char*>(entry.c_str()));
    for (char** e = environ; *e; ++e) {
        const std::string_view entry(*e);
        const auto overridden = [&](const std::string& x) {
            return entry.substr(0, entry.find('=') + 1) == std::string_view(x).substr(0, x.find('=') + 1);
        };
        if (std::none_of(extra.begin(), extra.end(), overridden))
            environment.push_back(*e);
    }
    environment.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environment.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

class LogOrderProgram : public ::testing::Test
{
protected:
    void SetUp() override { std::filesystem::copy_file(ORV_BINARY_DIR "/testprograms/logorder", Program()); }
    std::string Program() const { return FDir.File("logorder"); }
    std::string Log() const { return FDir.File("debug.log"); }
    int Run(const std::vector<std::string>& environment = {})
    {
        return RunProgram(Program(), FDir.File("out.txt"), environment);
    }

    TempDir FDir;
};

TEST_F(LogOrderProgram, HeaderFirstClosingLinesLastAroundStaticObjects)
{
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(ReadFile(FDir.File("out.txt")), "log: " + Log() + "\n");

    const auto lines = SplitCrLf(ReadFile(Log()));
    std::vector<std::string> texts;
    for (const auto& line : lines) {
        ASSERT_GE(line.size(), PrefixLength);
        texts.push_back(line.substr(PrefixLength));
    }
    const std::vector<std::string> expected = {
        "Application started",
        ORV_FILE_VERSION,
        "", // instance address, checked below
        "", // operating system
        "Running from: " + Program(),
        "File static constructed",
        "Function static constructed",
        "main running",
        "TorvConnection.FTrafficCS-1",
        "TorvChannelThread.FCriticalSection-2",
        "Function static destroyed",
        "File static destroyed",
        "Finalizing debugproc",
        "Destroying DebugProc (" + Program() + ")",
        "", // the closing line's own line break
    };
    ASSERT_EQ(texts.size(), expected.size()) << ReadFile(Log());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (i == 2)
            EXPECT_EQ(texts[i].rfind("Instance address: ", 0), 0u) << texts[i];
        else if (i == 3)
            EXPECT_EQ(texts[i].rfind("OS version: ", 0), 0u) << texts[i];
        else
            EXPECT_EQ(texts[i], expected[i]) << "line " << i;
    }
    // The info block's lines sit under the header's text.
    for (std::size_t i = 1; i <= 4; ++i)
        EXPECT_EQ(lines[i].substr(0, PrefixLength), Blanks);
}

TEST_F(LogOrderProgram, SecondRunAppends)
{
    ASSERT_EQ(Run(), 0);
    const std::string first = ReadFile(Log());
    ASSERT_EQ(Run(), 0);
    const std::string both = ReadFile(Log());
    EXPECT_EQ(both.compare(0, first.size(), first), 0);
    EXPECT_EQ(both.find("Application started", first.size()), first.size() + PrefixLength);
}

TEST_F(LogOrderProgram, GoesToTheStateFolderWhereTheProgramsFolderCannotBeWritten)
{
    // Root may write into any folder; a folder in the log's place stops even root.
    std::filesystem::create_directory(Log());
    const std::string state = FDir.File("state");
    ASSERT_EQ(Run({"XDG_STATE_HOME=" + state}), 0);
    const std::string moved = state + "/orvalis/debug.log";
    EXPECT_EQ(ReadFile(FDir.File("out.txt")), "log: " + moved + "\n");
    EXPECT_TRUE(std::filesystem::is_empty(Log()));

    // It says where the program runs from and why the log is not beside it;
    // the folder is the user's alone.
    const auto lines = SplitCrLf(ReadFile(moved));
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(lines[4].substr(PrefixLength), "Running from: " + Program());
    EXPECT_EQ(lines[5].substr(PrefixLength),
              "Log kept in the user's state folder: " + Log() + " cannot be written");
    EXPECT_EQ(std::filesystem::status(state + "/orvalis").permissions(), std::filesystem::perms::owner_all);
}

TEST_F(LogOrderProgram, RunsNormallyWhereNoLogCanBeWritten)
{
    std::filesystem::create_directory(Log());
    ASSERT_EQ(Run({"XDG_STATE_HOME=", "HOME="}), 0);
    EXPECT_EQ(ReadFile(FDir.File("out.txt")), "log: \n");
}

TEST(LogPlace, BesideTheProgramOrInTheStateFolder)
{
    TempDir dir;
    const orvtest::TScopedEnv state("XDG_STATE_HOME", dir.File("state"));
    // A folder that can be written keeps the log beside the program.
    EXPECT_EQ(DebugLogPlaceFor(dir.File("prog")).Path, dir.File("debug.log"));
    EXPECT_EQ(DebugLogPlaceFor(dir.File("prog")).Fallback, "");
    // An installed program's folder is never written, even by root.
    const TDebugLogPlace installed = DebugLogPlaceFor("/usr/lib/orvalis/orvcustomer");
    EXPECT_EQ(installed.Path, dir.File("state") + "/orvalis/debug.log");
    EXPECT_EQ(installed.Fallback, "/usr/lib/orvalis/ is a system folder");
    EXPECT_FALSE(std::filesystem::exists("/usr/lib/orvalis/debug.log"));
    EXPECT_EQ(DebugLogPlaceFor("relative-name").Path, "");
}

// ---- Lock names ----

TEST(LockNames, OneCounterForAllFormats)
{
    const std::string a = NextDebugLockName("TorvConnection.FTrafficCS-%d");
    const std::string b = NextDebugLockName("TorvChannelThread.FCriticalSection-%d");
    const int n = std::stoi(a.substr(a.rfind('-') + 1));
    EXPECT_EQ(a, "TorvConnection.FTrafficCS-" + std::to_string(n));
    EXPECT_EQ(b, "TorvChannelThread.FCriticalSection-" + std::to_string(n + 1));
    // Only the first %d is a number; nothing else is read as a conversion.
    EXPECT_EQ(NextDebugLockName("%s 100%% %d %d"), "%s 100% " + std::to_string(n + 2) + " %d");

    std::vector<std::thread> threads;
    std::vector<std::vector<std::string>> names(4);
    for (auto& mine : names)
        threads.emplace_back([&mine] {
            for (int i = 0; i < 100; ++i)
                mine.push_back(NextDebugLockName("L%d"));
        });
    for (auto& th : threads)
        th.join();
    std::set<std::string> unique;
    for (const auto& mine : names)
        unique.insert(mine.begin(), mine.end());
    EXPECT_EQ(unique.size(), 400u);
}

// ---- Locks ----

TEST(DebugCriticalSection, ReentrantForItsHolderAndExcludesOthers)
{
    TDebugCriticalSection cs;
    cs.SetName("TorvConnection.FTrafficCS-7");
    EXPECT_EQ(cs.Name(), "TorvConnection.FTrafficCS-7");

    auto otherThreadGetsIt = [&cs] {
        bool got = false;
        std::thread([&] {
            got = cs.try_lock();
            if (got)
                cs.unlock();
        }).join();
        return got;
    };
    {
        TDebugLock outer(cs, "Test.Outer");
        {
            TDebugLock inner(cs, "Test.Inner");
            EXPECT_FALSE(otherThreadGetsIt());
        }
        EXPECT_FALSE(otherThreadGetsIt());
    }
    EXPECT_TRUE(otherThreadGetsIt());
}

// A thread that takes one lock operation and holds it until told to let go.
class THolder
{
public:
    enum TMode { Read, Write };
    THolder(TDebugMultiReadCriticalSection& cs, TMode mode)
        : FThread([this, &cs, mode] {
              mode == Read ? BeginReadLock(cs, "Test.Holder") : BeginWriteLock(cs, "Test.Holder");
              FHolding = true;
              while (!FRelease)
                  std::this_thread::sleep_for(1ms);
              mode == Read ? EndReadLock(cs) : EndWriteLock(cs);
          })
    {
    }
    ~THolder()
    {
        FRelease = true;
        FThread.join();
    }
    THolder(const THolder&) = delete;
    THolder& operator=(const THolder&) = delete;
    bool Holding() const { return FHolding; }
    bool WaitHolding() const
    {
        return WaitUntil([this] { return Holding(); });
    }
    // Still waiting a little while later (the lock keeps it out).
    bool StillWaiting() const
    {
        std::this_thread::sleep_for(50ms);
        return !Holding();
    }

private:
    std::atomic<bool> FHolding{false};
    std::atomic<bool> FRelease{false};
    std::thread FThread;
};

TEST(MultiReadCriticalSection, ReadersShareAndAWriterExcludesEveryone)
{
    TDebugMultiReadCriticalSection cs;
    std::optional<THolder> reader1, reader2, writer, lateReader, writer2;
    reader1.emplace(cs, THolder::Read);
    ASSERT_TRUE(reader1->WaitHolding());
    reader2.emplace(cs, THolder::Read);
    EXPECT_TRUE(reader2->WaitHolding());

    writer.emplace(cs, THolder::Write);
    EXPECT_TRUE(writer->StillWaiting());
    // A waiting writer keeps new readers out, so a stream of readers cannot starve it.
    lateReader.emplace(cs, THolder::Read);
    EXPECT_TRUE(lateReader->StillWaiting());
    reader1.reset();
    EXPECT_TRUE(writer->StillWaiting());
    reader2.reset();
    ASSERT_TRUE(writer->WaitHolding());

    EXPECT_TRUE(lateReader->StillWaiting());
    writer2.emplace(cs, THolder::Write);
    EXPECT_TRUE(writer2->StillWaiting());
    writer.reset();
    // The next writer, then the reader.
    ASSERT_TRUE(writer2->WaitHolding());
    EXPECT_TRUE(lateReader->StillWaiting());
    writer2.reset();
    EXPECT_TRUE(lateReader->WaitHolding());
}

// A holder thread must get the lock before it is destroyed, so each one that
// has to wait lives outside the scope of the locks it waits for.
TEST(MultiReadCriticalSection, ReentrantForItsHolder)
{
    TDebugMultiReadCriticalSection cs;
    std::optional<THolder> other;
    {
        // A writer reads and writes again, as SetActive reads the state it guards.
        TDebugWriteLock write(cs, "Test.Write");
        TDebugWriteLock writeAgain(cs, "Test.WriteAgain");
        TDebugReadLock read(cs, "Test.Read");
        TDebugReadLock readAgain(cs, "Test.ReadAgain");
        other.emplace(cs, THolder::Read);
        EXPECT_TRUE(other->StillWaiting());
    }
    EXPECT_TRUE(other->WaitHolding());
    other.reset();
    {
        // A reader reads again even while a writer waits; the writer waits for both.
        TDebugReadLock read(cs, "Test.Read");
        other.emplace(cs, THolder::Write);
        EXPECT_TRUE(other->StillWaiting());
        {
            TDebugReadLock readAgain(cs, "Test.ReadAgain");
        }
        EXPECT_TRUE(other->StillWaiting());
    }
    EXPECT_TRUE(other->WaitHolding());
}

TEST(MultiReadCriticalSection, ReadsTakenInsideAWriteOutliveIt)
{
    TDebugMultiReadCriticalSection cs;
    cs.BeginWrite();
    cs.BeginRead();
    cs.EndWrite();
    std::optional<THolder> reader(std::in_place, cs, THolder::Read);
    EXPECT_TRUE(reader->WaitHolding());
    THolder writer(cs, THolder::Write);
    EXPECT_TRUE(writer.StillWaiting());
    cs.EndRead();
    EXPECT_TRUE(writer.StillWaiting()); // the other reader still holds it
    reader.reset();
    EXPECT_TRUE(writer.WaitHolding());
}

TEST(MultiReadCriticalSection, MisuseAbortsWithAClearMessage)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TDebugMultiReadCriticalSection cs;
    EXPECT_DEATH(
        {
            BeginReadLock(cs, "TorvConnection.SetActive");
            BeginWriteLock(cs, "TorvConnection.SetActive");
        },
        "lib/debugProc: .*asks to write.*TorvConnection.SetActive");
    EXPECT_DEATH(cs.EndRead(), "EndRead by a thread that does not read");
    EXPECT_DEATH(cs.EndWrite(), "EndWrite by a thread that does not write");
}

TEST(MultiReadCriticalSection, GuardsDataUnderContention)
{
    TDebugMultiReadCriticalSection cs;
    long value = 0; // written by writers only, read by readers: the lock keeps them apart
    std::atomic<int> readersInside{0}, writersInside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                if ((i + t) % 4 == 0) {
                    TDebugWriteLock write(cs, "Test.Write");
                    if (writersInside++ != 0 || readersInside != 0)
                        overlap = true;
                    TDebugReadLock readInside(cs, "Test.ReadInside");
                    ++value;
                    --writersInside;
                } else {
                    TDebugReadLock read(cs, "Test.Read");
                    ++readersInside;
                    if (writersInside != 0)
                        overlap = true;
                    volatile long seen = value;
                    (void)seen;
                    --readersInside;
                }
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_FALSE(overlap);
    EXPECT_EQ(value, 2000);
}

} // namespace

// The error report without its window: the stack recorded at a throw, the
// system data and module list it reads, and the texts it is made of.
#include "lib/kelExceptReport.h"
#include "platform/orvExceptionTrace.h"
#include "platform/orvSystemInfo.h"
#include "tests/support/TestUtil.h"

#include "orvVersion.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <thread>

using orvtest::TempDir;
using orvtest::WriteFile;

namespace {

int GThrowLine = 0;

[[gnu::noinline]] void ThrowDiskFull()
{
    GThrowLine = __LINE__ + 1;
    throw std::runtime_error("Disk is full");
}

[[gnu::noinline]] void ThrowOutOfRange()
{
    throw std::out_of_range("Index out of range");
}

[[gnu::noinline]] void ThrowIntOnWorker()
{
    throw 7;
}

[[gnu::noinline]] void ThrowIntHere()
{
    throw 8;
}

std::exception_ptr Caught(void (*thrower)())
{
    try {
        thrower();
    } catch (...) {
        return std::current_exception();
    }
    return {};
}

// The function the error's recorded stack starts in.
std::string Thrower(const std::exception_ptr& error)
{
    const auto record = orvFindThrowRecord(error);
    if (!record)
        return "(no record)";
    return orvResolveStack({record->Address}).front().Function;
}

class Tracking : public ::testing::Test
{
protected:
    void SetUp() override { orvSetExceptionTracking(true); }
    void TearDown() override { orvSetExceptionTracking(false); }
};

// ---------------------------------------------------------------------------
// The stack recorded at the throw
// ---------------------------------------------------------------------------

TEST_F(Tracking, TheStackOfTheThrowNamesTheThrowerWithFileAndLine)
{
    const std::exception_ptr error = Caught(ThrowDiskFull);
    const std::optional<TorvThrowRecord> record = orvFindThrowRecord(error);
    ASSERT_TRUE(record);
    EXPECT_LT(std::chrono::abs(std::chrono::system_clock::now() - record->Time), std::chrono::minutes(1));
    ASSERT_FALSE(record->Frames.empty());
    EXPECT_EQ(record->Address, record->Frames.front());

    const std::vector<TorvStackFrame> frames = orvResolveStack(record->Frames);
    ASSERT_FALSE(frames.empty());
    const TorvStackFrame& top = frames.front();
    EXPECT_NE(top.Function.find("ThrowDiskFull"), std::string::npos) << top.Function;
    EXPECT_EQ(top.File, "test_exceptreport.cpp");
    EXPECT_EQ(top.Line, GThrowLine);
    EXPECT_EQ(top.LineOffset, 3); // from the line that opens the function
    const std::string text = orvStackFrameText(top);
    EXPECT_EQ(text.rfind(top.Function + " (Line " + std::to_string(GThrowLine) +
                             ", \"test_exceptreport.cpp\" + 3) + 0x",
                         0),
              0u)
        << text;
    // The caller comes next.
    ASSERT_GE(frames.size(), 2u);
    EXPECT_NE(frames[1].Function.find("Caught"), std::string::npos) << frames[1].Function;

    EXPECT_EQ(orvExceptionClassName(error), "std::runtime_error");
    EXPECT_EQ(orvExceptionMessage(error), "Disk is full");
}

TEST_F(Tracking, EachErrorFindsItsOwnThrowAcrossThreadsAndRethrows)
{
    const std::exception_ptr first = Caught(ThrowDiskFull);
    const std::exception_ptr second = Caught(ThrowOutOfRange);
    std::exception_ptr fromThread;
    std::thread([&] { fromThread = Caught(ThrowIntOnWorker); }).join();
    // An error of the same type thrown here later is not taken for the worker's.
    const std::exception_ptr here = Caught(ThrowIntHere);

    EXPECT_NE(Thrower(first).find("ThrowDiskFull"), std::string::npos) << Thrower(first);
    EXPECT_NE(Thrower(second).find("ThrowOutOfRange"), std::string::npos) << Thrower(second);
    EXPECT_NE(Thrower(fromThread).find("ThrowIntOnWorker"), std::string::npos) << Thrower(fromThread);
    EXPECT_NE(Thrower(here).find("ThrowIntHere"), std::string::npos) << Thrower(here);
    EXPECT_EQ(orvExceptionClassName(fromThread), "int");
    EXPECT_EQ(orvExceptionMessage(fromThread), "Unknown error");

    // Handing an error on (rethrow_exception) keeps the stack of its first throw.
    std::exception_ptr handedOn;
    try {
        std::rethrow_exception(fromThread);
    } catch (...) {
        handedOn = std::current_exception();
    }
    const auto original = orvFindThrowRecord(fromThread);
    const auto again = orvFindThrowRecord(handedOn);
    ASSERT_TRUE(original && again);
    EXPECT_EQ(again->Frames, original->Frames);
}

TEST_F(Tracking, NoRecordWithoutTrackingOrAfterManyLaterThrows)
{
    // Each time an error of the same type was recorded and freed just before,
    // so the new one may well have its address.
    (void)Caught(ThrowDiskFull);
    orvSetExceptionTracking(false);
    const std::exception_ptr untracked = Caught(ThrowDiskFull);
    orvSetExceptionTracking(true);
    EXPECT_FALSE(orvFindThrowRecord(untracked));
    (void)Caught(ThrowDiskFull);
    EXPECT_FALSE(orvFindThrowRecord(std::make_exception_ptr(std::runtime_error("never thrown"))));
    EXPECT_FALSE(orvFindThrowRecord(nullptr));

    // The ring keeps the recent throws only; a record pushed out is not
    // mistaken for another error's.
    const std::exception_ptr old = Caught(ThrowDiskFull);
    ASSERT_TRUE(orvFindThrowRecord(old));
    std::vector<std::exception_ptr> later;
    for (int i = 0; i < 100; ++i)
        later.push_back(Caught(ThrowOutOfRange));
    EXPECT_FALSE(orvFindThrowRecord(old));
    EXPECT_TRUE(orvFindThrowRecord(later.back()));
}

TEST(StackFrameText, FramesWithoutDebugInformation)
{
    TorvStackFrame frame;
    frame.Function = "QApplication::notify(QObject*, QEvent*)";
    frame.Offset = 0x2a;
    EXPECT_EQ(orvStackFrameText(frame), "QApplication::notify(QObject*, QEvent*) + 0x2a");
    frame.Function.clear();
    frame.Module = "libQt6Core.so.6";
    frame.Offset = 0x1234;
    EXPECT_EQ(orvStackFrameText(frame), "libQt6Core.so.6 + 0x1234");
    frame.Line = 7; // a line without a function says nothing more
    EXPECT_EQ(orvStackFrameText(frame), "libQt6Core.so.6 + 0x1234");
}

// ---------------------------------------------------------------------------
// Machine and modules
// ---------------------------------------------------------------------------

TEST(SystemInfo, ProcessorFromCpuInfoText)
{
    const TorvCpuInfo cpu = orvParseCpuInfo("processor\t: 0\n"
                                            "vendor_id\t: GenuineIntel\n"
                                            "model name\t: Intel(R) Xeon(R) CPU @ 2.20GHz\n"
                                            "cpu MHz\t\t: 2199.998\n"
                                            "flags\t\t: fpu vme de pse tsc msr pae mce cx8 mmx fxsr sse\n"
                                            "\n"
                                            "processor\t: 1\n"
                                            "vendor_id\t: OtherVendor\n"
                                            "cpu MHz\t\t: 800.000\n");
    EXPECT_EQ(cpu.Vendor, "GenuineIntel");
    EXPECT_EQ(cpu.Name, "Intel(R) Xeon(R) CPU @ 2.20GHz");
    EXPECT_EQ(cpu.MHz, 2200);
    EXPECT_TRUE(cpu.Mmx);

    const TorvCpuInfo other = orvParseCpuInfo("vendor_id : AuthenticAMD\nflags : mmxext sse\n");
    EXPECT_FALSE(other.Mmx); // "mmxext" is not "mmx"
    EXPECT_EQ(other.MHz, 0);
    EXPECT_EQ(orvParseCpuInfo("").Vendor, "");

#if defined(__x86_64__) || defined(__i386__)
    const TorvCpuInfo here = orvCpuInfo();
    EXPECT_FALSE(here.Vendor.empty() && here.Name.empty());
#endif
}

TEST(SystemInfo, KernelReleaseAndMemory)
{
    TorvOsInfo os;
    orvParseKernelRelease("6.1.0-18-amd64", os);
    EXPECT_EQ(std::make_tuple(os.Major, os.Minor, os.Build), std::make_tuple(6, 1, 0));
    TorvOsInfo shortRelease;
    orvParseKernelRelease("5.15", shortRelease);
    EXPECT_EQ(std::make_tuple(shortRelease.Major, shortRelease.Minor, shortRelease.Build),
              std::make_tuple(5, 15, 0));
    TorvOsInfo none;
    orvParseKernelRelease("unknown", none);
    EXPECT_EQ(none.Major, 0);

    const TorvOsInfo here = orvOsInfo();
    EXPECT_FALSE(here.Name.empty());
    EXPECT_GT(here.Major, 0);

    const TorvMemoryInfo memory = orvMemoryInfo();
    EXPECT_GT(memory.TotalPhysical, 0u);
    EXPECT_LE(memory.AvailablePhysical, memory.TotalPhysical);
    EXPECT_GT(memory.Committed, 0u);
}

TEST(SystemInfo, LoadedModulesInAddressOrderWithTheirVersions)
{
    const std::vector<TorvLoadedModule> modules = orvLoadedModules();
    ASSERT_GT(modules.size(), 3u);
    EXPECT_TRUE(std::is_sorted(modules.begin(), modules.end(),
                               [](const auto& a, const auto& b) { return a.Address < b.Address; }));
    const auto program =
        std::find_if(modules.begin(), modules.end(), [](const auto& m) { return m.MainProgram; });
    ASSERT_NE(program, modules.end());
    EXPECT_NE(program->FileName.find("test_exceptreport"), std::string::npos);
    EXPECT_EQ(std::count_if(modules.begin(), modules.end(), [](const auto& m) { return m.MainProgram; }), 1);

    const auto version = kelModuleVersion(*program, "Orvalis tests");
    ASSERT_TRUE(version);
    EXPECT_EQ(version->Version.Text, ORV_FILE_VERSION);
    EXPECT_EQ(version->Description, "Orvalis tests");

    const auto libstdcxx = std::find_if(modules.begin(), modules.end(), [](const auto& m) {
        return m.FileName.find("libstdc++.so") != std::string::npos;
    });
    ASSERT_NE(libstdcxx, modules.end());
    const auto libraryVersion = kelModuleVersion(*libstdcxx, "");
    ASSERT_TRUE(libraryVersion);
    EXPECT_EQ(libraryVersion->Version.Numbers[0], 6u);
    EXPECT_TRUE(libraryVersion->Description.empty());
}

TEST(SystemInfo, LibraryVersionsFromFileNames)
{
    const auto qt = orvParseLibraryVersion("/usr/lib/x86_64-linux-gnu/libQt6Core.so.6.4.2");
    ASSERT_TRUE(qt);
    EXPECT_EQ(qt->Numbers, (std::array<unsigned, 4>{6, 4, 2, 0}));
    EXPECT_EQ(qt->Text, "6.4.2");
    const auto many = orvParseLibraryVersion("libx.so.1.2.3.4.5");
    ASSERT_TRUE(many);
    EXPECT_EQ(many->Numbers, (std::array<unsigned, 4>{1, 2, 3, 4}));
    EXPECT_EQ(many->Text, "1.2.3.4.5");
    EXPECT_FALSE(orvParseLibraryVersion("libfoo.so"));
    EXPECT_FALSE(orvParseLibraryVersion("libfoo.so.1."));
    EXPECT_FALSE(orvParseLibraryVersion("libfoo.so.x"));
    EXPECT_FALSE(orvParseLibraryVersion("orvcustomer"));
    // Not a file: the kernel's virtual library has no version.
    EXPECT_FALSE(orvLibraryVersion("linux-vdso.so.1"));

    // The soname link's target carries the full version.
    TempDir dir;
    WriteFile(dir.File("libdemo.so.3.1.4"), "");
    std::filesystem::create_symlink("libdemo.so.3.1.4", dir.File("libdemo.so.3"));
    const auto linked = orvLibraryVersion(dir.File("libdemo.so.3"));
    ASSERT_TRUE(linked);
    EXPECT_EQ(linked->Text, "3.1.4");

    EXPECT_EQ(orvFileVersionOf("1.0.7.12").Numbers, (std::array<unsigned, 4>{1, 0, 7, 12}));
}

// ---------------------------------------------------------------------------
// The report's texts
// ---------------------------------------------------------------------------

const std::string kMessageTail = "\r\n\r\nYou can continue program with \"OK\"-button, but it is recommended "
                                 ", that you send email to program "
                                 "vendor by clicking \"Information>>\"-button and then click "
                                 "\"Send\"-button.In comments box you can add your own "
                                 "message to program vendor.i.e The situation when error occured.";

TEST(ReportTexts, MessageGetsOneFullStopAndCrLfLines)
{
    EXPECT_EQ(kelDialogMessage("Disk is full"),
              "An unexpected error occurred: \r\nDisk is full." + kMessageTail);
    EXPECT_EQ(kelDialogMessage("Disk is full."),
              "An unexpected error occurred: \r\nDisk is full." + kMessageTail);
    EXPECT_EQ(kelDialogMessage("first\nsecond\r\nthird\rfourth"),
              "An unexpected error occurred: \r\nfirst\r\nsecond\r\nthird\r\nfourth." + kMessageTail);
    EXPECT_EQ(kelDialogMessage(""), "An unexpected error occurred: \r\n." + kMessageTail);
}

TEST(ReportTexts, ExceptionAndSystemLines)
{
    EXPECT_EQ(
        kelExceptionLines("EorvException", 0x55d0c8a01abc, "1.0.0.0\r\nInstance address: 55D0C8A00000\r\nOS"),
        (std::vector<std::string>{"Exception class: EorvException", "Exception address: 55D0C8A01ABC",
                                  "1.0.0.0", "Instance address: 55D0C8A00000", "OS"}));
    EXPECT_EQ(kelExceptionLines("int", 0, ""),
              (std::vector<std::string>{"Exception class: int", "Exception address: 00000000"}));

    TorvOsInfo os{"Debian GNU/Linux 12 (bookworm)", "", 6, 1, 76, "#1 SMP PREEMPT_DYNAMIC"};
    TorvCpuInfo cpu{"GenuineIntel", "Intel(R) Core(TM) i7", 2200, true};
    TorvMemoryInfo memory{16ull * 1048576 * 1024 + 5, 3ull * 1048576 + 1023, 2048 + 1};
    EXPECT_EQ(
        kelSystemLines(os, cpu, memory, {1280, 900, 24}),
        (std::vector<std::string>{
            "System   : Debian GNU/Linux 12 (bookworm) , Version: 6.1, Build: 4c, \"#1 SMP PREEMPT_DYNAMIC\"",
            "Processor: GenuineIntel, Intel(R) Core(TM) i7, 2200 MHz MMX",
            "Total physical memory: 16384 MB, used memory: 3072 KB, free physical memory 2 KB",
            "Display  : 1280x900 pixels, 24 bpp"}));
    cpu.Mmx = false;
    EXPECT_EQ(kelSystemLines(os, cpu, memory, {})[1],
              "Processor: GenuineIntel, Intel(R) Core(TM) i7, 2200 MHz ");
}

TEST(ReportTexts, ModulesWithPrefixesVersionsAndDescriptions)
{
    std::vector<TorvLoadedModule> modules(3);
    modules[0] = {0x400000, 0x400000, "/opt/orvalis/orvcustomer", true};
    modules[1] = {0x7f0012340000, 0x10000000, "/usr/lib/libprelinked.so.2", false};
    modules[2] = {0x7fff00001000, 0x7fff00001000, "linux-vdso.so.1", false};
    const auto versionOf = [](const TorvLoadedModule& m) -> std::optional<TKelModuleVersion> {
        if (m.MainProgram)
            return TKelModuleVersion{orvFileVersionOf("1.0.0.0"), "Orvalis remote support"};
        if (m.FileName.find("prelinked") != std::string::npos)
            return TKelModuleVersion{orvFileVersionOf("2.5"), ""};
        return std::nullopt;
    };
    EXPECT_EQ(
        kelModuleLines(modules, versionOf),
        (std::vector<std::string>{"List of loaded modules:", "[00400000] /opt/orvalis/orvcustomer",
                                  "           1.0.0.0 - 1.0.0.0", "           Orvalis remote support",
                                  "[7f0012340000] /usr/lib/libprelinked.so.2", "<10000000> 2.5.0.0 - 2.5",
                                  "[7fff00001000] linux-vdso.so.1", "           (no version info)"}));
}

TEST(ReportTexts, ControlsReportTextMailAndSettings)
{
    EXPECT_EQ(
        kelControlLines({{"QLineEdit", "edtName"}, {"QWidget", ""}}),
        (std::vector<std::string>{"Active Controls hiearchy:", "QLineEdit \"edtName\"", "QWidget \"\""}));

    EXPECT_EQ(
        kelReportAsText("Message.", "It broke\r\nagain", "Exception class: int\r\n"),
        "Message.\r\n\r\nUser comments: \r\nIt broke\r\nagain\r\n\r\nDetails: \r\nException class: int\r\n");
    // A message already ending in CR LF gets no second one.
    EXPECT_EQ(kelReportAsText("Message.\r\n", "", ""),
              "Message.\r\n\r\nUser comments: \r\n\r\n\r\nDetails: \r\n");

    EXPECT_EQ(kelReportSubject("Orvalis Bugreport", "Remote support"), "Orvalis Bugreport");
    EXPECT_EQ(kelReportSubject("", "Remote support"), "Remote support Bugreport");
    EXPECT_EQ(kelMailBody("S", "D\r\n", "C"), "S\r\n\r\nD\r\n\r\n\r\nUser comments: \r\nC\r\n");
    EXPECT_EQ(kelMailBody("S", "D\r\n", "C\r\n"), "S\r\n\r\nD\r\n\r\n\r\nUser comments: \r\nC\r\n");

    TempDir dir;
    EXPECT_EQ(kelReportSettings(dir.File("missing.ini")).ErrorReportAddress, ORV_ERROR_REPORT_ADDRESS);
    WriteFile(dir.File("orvcustomer.ini"),
              "[gateway]\ngateway1=a:1\n[errorreport]\naddress = help@example.test\n");
    const TKelReportSettings settings = kelReportSettings(dir.File("orvcustomer.ini"));
    EXPECT_EQ(settings.ErrorReportAddress, "help@example.test");
    EXPECT_EQ(settings.ErrorReportSubject, "Orvalis Bugreport");
}

} // namespace

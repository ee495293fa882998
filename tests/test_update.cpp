// The update check without a window: the module, its download thread and
// libcurl against the development update server on loopback.

#include "lib/orvConnections.h"
#include "lib/orvOSUtils.h"
#include "lib/orvWWWUpdate.h"
#include "platform/orvTempFiles.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PlatformTestUtil.h"
#include "tests/support/RawPeer.h"
#include "tests/support/RecordingDesktop.h"
#include "tests/support/SessionUtil.h"
#include "tests/support/UpdateServer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

using namespace orvtest;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

constexpr const char* kOwnVersion = "3.0.8.1";
const TorvDateTime kOwnDate{2005, 12, 16, 0, 0, 0};

// The module's windows, recorded: "message <text>", "offer <text>",
// "progress <text>", "hide offer|progress", "max <n>", "position <n>", "busy 0|1".
class TRecordingWindows : public TorvUpdateWindows
{
public:
    explicit TRecordingWindows(std::vector<std::string>& events) : FEvents(events) {}

    std::function<void(TorvUpdateDialog, int)> Answer;
    std::vector<std::string>* Lines = nullptr;

    void SetAnswerHandler(std::function<void(TorvUpdateDialog, int)> handler) override
    {
        Answer = std::move(handler);
    }
    void ShowMessage(const std::string& text) override { FEvents.push_back("message " + text); }
    void ShowDownloadOffer(const std::string& text, const std::vector<std::string>& lines) override
    {
        FEvents.push_back("offer " + text);
        FOfferLines = lines;
    }
    void ShowProgressDialog(const std::string& text) override { FEvents.push_back("progress " + text); }
    void HideDialog(TorvUpdateDialog dialog) override
    {
        FEvents.push_back(dialog == TorvUpdateDialog::Offer ? "hide offer" : "hide progress");
    }
    void SetProgressMax(std::int64_t max) override { FEvents.push_back("max " + std::to_string(max)); }
    void SetProgressPosition(std::int64_t position) override
    {
        FEvents.push_back("position " + std::to_string(position));
    }
    void SetBusyCursor(bool busy) override { FEvents.push_back(busy ? "busy 1" : "busy 0"); }

    std::vector<std::string> FOfferLines;

private:
    std::vector<std::string>& FEvents;
};

class UpdateTest : public ::testing::Test
{
protected:
    void SetUp() override { orvSync::SetMainThread(); }

    // A module of the customer kind with our version 3.0.8.1, asking the server for update/update.ini.
    TdmUpdateOrvalis& Start(const std::string& host)
    {
        TorvUpdateRequest request;
        const TorvUpdateServer server = orvUpdateServerAt(host);
        request.UpdateUrl = server.UpdateUrl;
        request.WebPageAddress = server.WebPageAddress;
        request.OwnReleaseDate = kOwnDate;
        request.OwnVersion = kOwnVersion;
        request.TempFolder = FTemp.Path() + "/";
        auto windows = std::make_unique<TRecordingWindows>(FEvents);
        FWindows = windows.get();
        FModule = std::make_unique<TdmUpdateOrvalis>(request, std::move(windows), FDesktop);
        return *FModule;
    }
    // As the main window does at the end of a tick once the module is done.
    void Free()
    {
        FWindows = nullptr;
        FModule.reset();
    }
    bool Shown(const std::string& event) const { return Contains(FEvents, event); }
    std::string Joined() const
    {
        std::string text;
        for (const std::string& event : FEvents)
            text += event + "\n";
        return text;
    }
    bool WaitShown(const std::string& event)
    {
        return ServeUntil([&] { return Shown(event); });
    }
    // The check has finished when the thread has handed over its result.
    bool WaitIdle()
    {
        return ServeUntil([&] { return !FModule->Thread().Pending(); });
    }
    std::vector<std::string> TempFiles() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(FTemp.Path()))
            names.push_back(entry.path().filename().string());
        return names;
    }

    TempDir FTemp;
    std::vector<std::string> FEvents;
    std::vector<std::string> FOpened;
    std::vector<std::string> FRan;
    int FEnded = 0;
    TorvUpdateDesktop FDesktop{[this](const std::string& address) { FOpened.push_back(address); },
                               [this](const std::string& path) { FRan.push_back(path); },
                               [this] { ++FEnded; }};
    TRecordingWindows* FWindows = nullptr;
    std::unique_ptr<TdmUpdateOrvalis> FModule;
};

// ---------------------------------------------------------------------------
// Dates, versions, the server's address
// ---------------------------------------------------------------------------

TEST(UpdateValues, DateTextsDecodeOrGiveTheZeroDate)
{
    EXPECT_EQ(orvDecodeDateText("2006-01-31"), (TorvDateTime{2006, 1, 31, 0, 0, 0}));
    EXPECT_EQ(orvDecodeDateText("2006-01-31 13:14:15"), (TorvDateTime{2006, 1, 31, 13, 14, 15}));
    EXPECT_EQ(orvDecodeDateText("2004-02-29"), (TorvDateTime{2004, 2, 29, 0, 0, 0}));
    for (const char* bad : {"", "2006-02-29", "2006-13-01", "2006-01-31 24:00:00", "31.01.2006", "2006-1-31",
                            "2006-01-31T13:14:15", "2006-01-31 13:14"})
        EXPECT_EQ(orvDecodeDateText(bad), TorvDateTime{}) << bad;

    TScopedEnv locale("LC_ALL", "C");
    EXPECT_EQ(orvFormatReleaseDate(kOwnDate), "2005-12-16");
    EXPECT_EQ(orvFormatReleaseDate({2006, 1, 2, 3, 4, 5}), "2006-01-02 03:04:05");
    TScopedEnv utf8("LC_ALL", "C.UTF-8");
    EXPECT_EQ(orvFormatReleaseDate(kOwnDate), "2005-12-16");
}

TEST(UpdateValues, OnlyTheFirstThreeNumbersCountAndAMissingDotReadsAsZero)
{
    EXPECT_TRUE(orvIsNewerVersion("3.0.8.1", "3.0.9"));
    EXPECT_TRUE(orvIsNewerVersion("3.0.8.1", "3.0.10.0"));
    EXPECT_FALSE(orvIsNewerVersion("3.0.8.1", "3.0.8.7"));
    EXPECT_FALSE(orvIsNewerVersion("3.0.8.1", "3.0.8"));
    EXPECT_FALSE(orvIsNewerVersion("3.0.8.1", "3.1"));
    EXPECT_FALSE(orvIsNewerVersion("3.0.8.1", "4"));
    EXPECT_FALSE(orvIsNewerVersion("3.0.8.1", "3.0"));
    EXPECT_THROW(orvIsNewerVersion("3.0.8.1", "3.x.1"), EorvException);
    EXPECT_THROW(orvIsNewerVersion("3.0.8.1", "3..1"), EorvException);
}

TEST(UpdateValues, TheServerComesFromTheSettingsFileOrTheBuild)
{
    TempDir dir;
    const std::string ini = dir.File("orvcustomer.ini");
    WriteFile(ini, "[gateway]\ngateway1=127.0.0.1:7000\n");
    const TorvUpdateServer built = orvUpdateServer(ini);
    EXPECT_THAT(built.UpdateUrl, ::testing::StartsWith("http://"));
    EXPECT_THAT(built.UpdateUrl, ::testing::EndsWith("/update/update.ini"));

    WriteFile(ini, "[update]\nurl=127.0.0.1:8080\n");
    EXPECT_EQ(orvUpdateServer(ini).UpdateUrl, "http://127.0.0.1:8080/update/update.ini");
    EXPECT_EQ(orvUpdateServer(ini).WebPageAddress, "127.0.0.1:8080/update");
    WriteFile(ini, "[update]\nurl = \"http://updates.example.org/\"\n");
    EXPECT_EQ(orvUpdateServer(ini).UpdateUrl, "http://updates.example.org/update/update.ini");
    EXPECT_EQ(orvUpdateServer(ini).WebPageAddress, "updates.example.org/update");
    EXPECT_EQ(orvWebPageUrl("updates.example.org/update"), "http://updates.example.org/update");
}

TEST(UpdateValues, TheDownloadFolderIsTheUsersOwn)
{
    TempDir dir;
    TScopedEnv tmp("TMPDIR", dir.Path().c_str());
    const std::string folder = orvPrivateTempFolder("orvalis-update");
    EXPECT_EQ(folder, dir.Path() + "/orvalis-update-" + std::to_string(::getuid()) + "/");
    EXPECT_EQ(std::filesystem::status(folder).permissions(), std::filesystem::perms::owner_all);
    EXPECT_EQ(orvPrivateTempFolder("orvalis-update"), folder);
    // Opened to others, or replaced by a link, it is not ours any more.
    std::filesystem::permissions(folder, std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::add);
    EXPECT_THROW(orvPrivateTempFolder("orvalis-update"), std::system_error);
    std::filesystem::create_directory(dir.File("elsewhere"));
    std::filesystem::create_directory_symlink(dir.File("elsewhere"),
                                              dir.File("linked-" + std::to_string(::getuid())));
    EXPECT_THROW(orvPrivateTempFolder("linked"), std::system_error);
}

// ---------------------------------------------------------------------------
// The INI file from the server
// ---------------------------------------------------------------------------

TEST_F(UpdateTest, TheVersionTableDecidesBetweenOfferAndUpToDate)
{
    TLogCapture log;
    TUpdateServer server;
    const std::string upToDate = UpdateText(orvUpdateText::UpToDate, "2005-12-16");
    const std::string offer = UpdateText(orvUpdateText::NewVersion, "2006-03-01 12:30:00");
    TScopedEnv locale("LC_ALL", "C");
    struct TRow
    {
        const char* announced;
        const char* shown; // empty: nothing shown
    };
    const TRow rows[] = {{"3.0.9", offer.c_str()},      {"3.0.8", upToDate.c_str()},
                         {"3.0.8.7", upToDate.c_str()}, {"3.1", upToDate.c_str()},
                         {"4", upToDate.c_str()},       {"3.x.1", ""}};
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.announced);
        server.Put("update/update.ini",
                   UpdateIni(row.announced, "2006-03-01 12:30:00", server.Url("pkg.sh")));
        FEvents.clear();
        Start(server.Host());
        ASSERT_TRUE(WaitIdle());
        const bool offered = std::string(row.shown) == offer;
        if (*row.shown == '\0') {
            for (const std::string& event : FEvents)
                EXPECT_FALSE(event.starts_with("message") || event.starts_with("offer")) << event;
            EXPECT_TRUE(log.Has("Error in TLoadFileFromWWW.CallFileLoadedProc: Unable to compare versions"));
            EXPECT_FALSE(FModule->Done()); // stays, like after a failed download
        } else {
            EXPECT_EQ(FEvents.back(), std::string(offered ? "offer " : "message ") + row.shown);
            EXPECT_EQ(FModule->Done(), !offered);
            // Read, compared and gone.
            EXPECT_FALSE(std::filesystem::exists(FTemp.File("update.ini")));
        }
        EXPECT_TRUE(FOpened.empty());
        Free();
    }
}

TEST_F(UpdateTest, AnIniWithoutItsDateIsAnErrorAndThenUpToDate)
{
    TScopedEnv locale("LC_ALL", "C");
    TUpdateServer server;
    server.Put("update/update.ini", UpdateIni("3.0.9", "", server.Url("pkg.sh")));
    Start(server.Host());
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(Shown("message " + UpdateText(orvUpdateText::IniError, "update.ini")));
    EXPECT_TRUE(Shown("message " + UpdateText(orvUpdateText::UpToDate, "2005-12-16")));
    EXPECT_TRUE(FModule->Done());
}

TEST_F(UpdateTest, ReleaseNotesEndAtTheFirstMissingKeyAndLongLinesArriveWhole)
{
    TScopedEnv locale("LC_ALL", "C");
    TUpdateServer server;
    // Signed download addresses and long notes run past the usual INI line limits.
    const std::string packageName = std::string(220, 'p') + ".sh";
    const std::string longNote(400, 'n');
    server.Put("update/update.ini", "; announced by the build server\r\n[eng]\r\nCustomerVersion = 3.0.9\r\n"
                                    "CustomerVersionDate=2006-02-30\r\n"
                                    "CustomerVersionDescriptionLine1=Faster start\r\n"
                                    "CustomerVersionDescriptionLine2=" +
                                        longNote +
                                        "\r\n"
                                        "CustomerVersionDescriptionLine4=Never shown\r\n"
                                        "UpdateFileForCustomer=" +
                                        server.Url("update/" + packageName) + "\r\n");
    Start(server.Host());
    // A date that is no date reads as the zero date.
    ASSERT_TRUE(WaitShown("offer " + UpdateText(orvUpdateText::NewVersion, "1899-12-30")));
    EXPECT_THAT(FWindows->FOfferLines, ElementsAre("Faster start", longNote));
    EXPECT_EQ(FModule->PackageFileName(), packageName);
    EXPECT_FALSE(FModule->Done());
}

TEST_F(UpdateTest, TheServerSeesTheRequestHeadersOfThePlainGet)
{
    TUpdateServer server;
    server.Put("update/update.ini", UpdateIni("3.0.8", "2006-03-01", server.Url("pkg.sh")));
    Start(server.Host());
    ASSERT_TRUE(WaitIdle());
    const std::string seen = server.HeadersSeen();
    EXPECT_THAT(seen, HasSubstr("GET /update/update.ini\n"));
    EXPECT_THAT(seen, HasSubstr("Accept: text/html, */*\n"));
    EXPECT_THAT(seen, HasSubstr("Content-Type: text/html\n"));
    EXPECT_THAT(seen, HasSubstr("User-Agent: Mozilla/3.0 (compatible; Indy Library)\n"));
}

TEST_F(UpdateTest, AnIniThatCannotBeHadOpensTheWebPageAndTheModuleStays)
{
    TLogCapture log;
    {
        SCOPED_TRACE("nobody listening");
        const std::string host = "127.0.0.1:" + std::to_string(FreePort());
        Start(host);
        ASSERT_TRUE(ServeUntil([&] { return !FOpened.empty(); }));
        ASSERT_TRUE(WaitIdle());
        EXPECT_THAT(FOpened, ElementsAre(host + "/update"));
        EXPECT_FALSE(FModule->Done());
        EXPECT_TRUE(log.InOrder({"Executing  TLoadFileFromWWW thread", "Unable to load http://" + host}));
        Free();
        EXPECT_TRUE(log.InOrder({"Destroying Update module", "End of TLoadFileFromWWW thread execution",
                                 "Update module destroyed"}));
    }
    {
        SCOPED_TRACE("an error status");
        FOpened.clear();
        TUpdateServer server({"--status", "update.ini=500"});
        server.Put("update/update.ini", UpdateIni("3.0.9", "2006-03-01", server.Url("pkg.sh")));
        Start(server.Host());
        ASSERT_TRUE(ServeUntil([&] { return !FOpened.empty(); }));
        EXPECT_THAT(FOpened, ElementsAre(server.Host() + "/update"));
        EXPECT_FALSE(FModule->Done());
        EXPECT_FALSE(std::filesystem::exists(FTemp.File("update.ini")));
    }
}

TEST_F(UpdateTest, FreeingTheModuleWhileTheIniLoadsOpensNoWebPage)
{
    TUpdateServer server({"--stall", "update.ini"});
    server.Put("update/update.ini",
               UpdateIni("3.0.9", "2006-03-01", server.Url("pkg.sh")) + std::string(4096, ';'));
    Start(server.Host());
    ASSERT_TRUE(WaitShown("busy 1"));
    Free();
    EXPECT_TRUE(FOpened.empty());
    EXPECT_TRUE(TempFiles().empty());
}

// ---------------------------------------------------------------------------
// The package
// ---------------------------------------------------------------------------

class UpdatePackageTest : public UpdateTest
{
protected:
    // Serves an INI announcing 3.0.9 with the package at update/<name> and
    // waits for the offer.
    void Offer(TUpdateServer& server, const std::string& name, const std::string& package)
    {
        server.Put("update/" + name, package);
        server.Put("update/update.ini", UpdateIni("3.0.9", "2006-03-01", server.Url("update/" + name)));
        Start(server.Host());
        ASSERT_TRUE(ServeUntil([&] { return FModule->Thread().Loaded() && !FModule->Thread().Pending(); }));
        ASSERT_TRUE(FEvents.back().starts_with("offer ")) << FEvents.back();
        FEvents.clear();
    }
};

TEST_F(UpdatePackageTest, ADownloadedPackageRunsAndTheProgramEnds)
{
    TUpdateServer server;
    const std::string package = "#!/bin/sh\n# " + std::string(200000, 'x') + "\n";
    Offer(server, "orvalis-update.sh", package);
    FWindows->Answer(TorvUpdateDialog::Offer, 4);
    ASSERT_TRUE(ServeUntil([&] { return FEnded == 1; }));
    const std::string path = FTemp.File("orvalis-update.sh");
    EXPECT_THAT(FRan, ElementsAre(path));
    EXPECT_EQ(ReadFile(path), package);
    EXPECT_TRUE(FModule->Done());
    ASSERT_GE(FEvents.size(), 6u);
    EXPECT_EQ(FEvents[0], "hide offer");
    EXPECT_EQ(FEvents[1], std::string("progress ") + orvUpdateText::Loading);
    EXPECT_TRUE(Shown("max " + std::to_string(package.size())));
    EXPECT_TRUE(Shown("position " + std::to_string(package.size())));
    // The cursor is back and the bar hidden once the bytes are in.
    EXPECT_TRUE(LinesInOrder(Joined(), {"busy 1", "max ", "position ", "hide progress", "busy 0"}));
}

TEST_F(UpdatePackageTest, APackageThatCannotBeHadOrStoredIsReportedAndTheModuleIsDone)
{
    {
        SCOPED_TRACE("an error status");
        TUpdateServer server({"--status", "gone.sh=404"});
        Offer(server, "gone.sh", "#!/bin/sh\n");
        FWindows->Answer(TorvUpdateDialog::Offer, 4);
        ASSERT_TRUE(ServeUntil([&] { return FModule->Done(); }));
        EXPECT_TRUE(Shown("message " + UpdateText(orvUpdateText::CannotLoad, server.Url("update/gone.sh"))));
        EXPECT_TRUE(FRan.empty());
        Free();
    }
    {
        SCOPED_TRACE("the name taken by a folder");
        FEvents.clear();
        TUpdateServer server;
        std::filesystem::create_directories(FTemp.File("busy.sh/inside"));
        Offer(server, "busy.sh", "#!/bin/sh\n");
        FWindows->Answer(TorvUpdateDialog::Offer, 4);
        ASSERT_TRUE(ServeUntil([&] { return FModule->Done(); }));
        EXPECT_TRUE(Shown("message " + UpdateText(orvUpdateText::CannotSave, FTemp.File("busy.sh"))));
        EXPECT_TRUE(FRan.empty());
        EXPECT_EQ(FEnded, 0);
        Free();
        EXPECT_THAT(TempFiles(), ElementsAre("busy.sh"));
    }
    {
        SCOPED_TRACE("a package that does not start");
        FEvents.clear();
        TLogCapture log;
        TUpdateServer server;
        FDesktop.RunPackage = [](const std::string& path) {
            throw EorvException(UpdateText(orvUpdateText::CannotExecute, path));
        };
        Offer(server, "broken.sh", "#!/bin/sh\n");
        FWindows->Answer(TorvUpdateDialog::Offer, 4);
        ASSERT_TRUE(WaitIdle());
        EXPECT_TRUE(log.Has("Error in TLoadFileFromWWW.CallFileLoadedProc: " +
                            UpdateText(orvUpdateText::CannotExecute, FTemp.File("broken.sh"))));
        // Nothing is said and the module stays, as after a failed check.
        EXPECT_FALSE(FModule->Done());
        EXPECT_EQ(FEnded, 0);
        for (const std::string& event : FEvents)
            EXPECT_FALSE(event.starts_with("message")) << event;
    }
}

TEST_F(UpdatePackageTest, CancelStopsASlowDownloadAndLeavesNoFileBehind)
{
    TUpdateServer server({"--stall", "big.sh"});
    const std::string package(1 << 20, 'x');
    Offer(server, "big.sh", package);
    FWindows->Answer(TorvUpdateDialog::Offer, 4);
    // Half of it arrives, then the server holds the rest back.
    ASSERT_TRUE(ServeUntil([&] { return Shown("position " + std::to_string(package.size() / 2)); }));
    FWindows->Answer(TorvUpdateDialog::Progress, 3);
    EXPECT_TRUE(FModule->Done());
    const std::string failed =
        "message " + UpdateText(orvUpdateText::CannotLoad, server.Url("update/big.sh"));
    ASSERT_TRUE(WaitShown(failed));
    EXPECT_TRUE(Shown("hide progress"));
    Free();
    EXPECT_TRUE(TempFiles().empty());
    EXPECT_TRUE(FRan.empty());
}

TEST_F(UpdatePackageTest, FreeingTheModuleMidDownloadStillReportsIt)
{
    // Closing the progress dialog only ends the module; freeing it stops the transfer.
    TUpdateServer server({"--stall", "big.sh"});
    Offer(server, "big.sh", std::string(1 << 20, 'x'));
    FWindows->Answer(TorvUpdateDialog::Offer, 4);
    ASSERT_TRUE(WaitShown("position " + std::to_string((1 << 20) / 2)));
    FWindows->Answer(TorvUpdateDialog::Progress, 5);
    EXPECT_TRUE(FModule->Done());
    Free();
    EXPECT_TRUE(Shown("message " + UpdateText(orvUpdateText::CannotLoad, server.Url("update/big.sh"))));
    EXPECT_TRUE(TempFiles().empty());
}

// ---------------------------------------------------------------------------
// Running the package on the desktop
// ---------------------------------------------------------------------------

TEST(UpdateRunPackage, AProgramIsStartedAndAnythingElseGoesToTheDesktopsHandler)
{
    TempDir dir;
    const std::string marker = dir.File("ran");
    const std::string script = dir.File("update.sh");
    WriteFile(script, "#!/bin/sh\necho \"$0\" > '" + marker + "'\n");
    const std::string deb = dir.File("orvalis.deb");
    WriteFile(deb, "!<arch>\ndebian-binary");
    {
        // A real start for the script.
        TorvOSUtilsScope scope(std::make_unique<TorvWDefaultUtils>());
        orvRunPackage(script);
        ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(marker) && !ReadFile(marker).empty(); }));
        EXPECT_EQ(ReadFile(marker), script + "\n");
    }
    auto desktop = std::make_shared<TRecordingDesktop>();
    TorvOSUtilsScope scope(std::make_unique<TorvWDefaultUtils>(RecordedPlatform(desktop)));
    orvRunPackage(deb);
    EXPECT_THAT(desktop->Events(), ElementsAre(::testing::StartsWith("spawn xdg-open " + deb)));
    try {
        orvRunPackage(dir.File("missing.sh"));
        ADD_FAILURE() << "a missing package ran";
    } catch (const EorvException& e) {
        EXPECT_EQ(std::string(e.what()), UpdateText(orvUpdateText::CannotExecute, dir.File("missing.sh")));
    }
}

} // namespace

// The session's receipt: its words, its exports, and the copy kept on disk.

#include "lib/orvSessionReceipt.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace orvtest;
using namespace std::chrono_literals;
using TJson = nlohmann::json;
using TOrderedJson = nlohmann::ordered_json;
namespace fs = std::filesystem;

// 2026-12-10 09:00:00 UTC, then one second further at every entry.
TorvSessionReceipt::TClock Ticking()
{
    auto now = std::make_shared<std::chrono::system_clock::time_point>(
        std::chrono::sys_days{std::chrono::year{2026} / 12 / 10} + 9h);
    return [now] { return *now += 1s; };
}

std::vector<std::string> Texts(const TorvSessionReceipt& receipt)
{
    std::vector<std::string> texts;
    for (const TorvReceiptEntry& entry : receipt.Entries())
        texts.push_back(entry.Text);
    return texts;
}

std::vector<std::string> Events(const TJson& json)
{
    std::vector<std::string> events;
    for (const TJson& entry : json.at("entries"))
        events.push_back(entry.at("event").get<std::string>());
    return events;
}

// The exported text is the whole receipt, laid out as one dump of it would
// be, and says of each entry what the receipt holds now.
void ExpectExportMatches(const TorvSessionReceipt& receipt)
{
    const std::string text = receipt.AsJson();
    const TOrderedJson json = TOrderedJson::parse(text);
    EXPECT_EQ(json.dump(2, ' ', false) + "\n", text);
    const auto entries = receipt.Entries();
    ASSERT_EQ(json.at("entries").size(), entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(json.at("entries").at(i).at("event"), entries[i].Event) << i;
        // As the export has it: bytes that are not UTF-8 replaced.
        const std::string words = TOrderedJson::parse(
            TOrderedJson(entries[i].Text).dump(-1, ' ', false, TOrderedJson::error_handler_t::replace));
        EXPECT_EQ(json.at("entries").at(i).at("text").get<std::string>(), words) << i;
    }
}

unsigned Mode(const std::string& path)
{
    struct stat status
    {
    };
    return ::stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

std::vector<std::string> SessionFiles(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void ASession(TorvSessionReceipt& receipt)
{
    receipt.Connected("127.0.0.1", 7000, 4321, std::chrono::sys_days{std::chrono::year{2026} / 12 / 10} + 9h);
    receipt.Permission(0, "the program's default");
    receipt.HelpdeskJoined();
    receipt.Action(TorvHelpdeskAction::View, TorvActionOutcome::Asked, {}, "May they see?");
    receipt.Action(TorvHelpdeskAction::View, TorvActionOutcome::GrantedByAnswer);
    receipt.Permission(1, "you answered Yes to \u201CMay they see?\u201D");
    receipt.DesktopStarted(true);
    receipt.ViewOnly(false);
    receipt.Transfer({false, "report.pdf", "/home/u/report.pdf", 1234567, 1234567, "ab12",
                      TorvTransferOutcome::Completed});
    receipt.Transfer(
        {true, "/home/u/log.txt", "/home/u/log.txt", 5000, 2048, "cd34", TorvTransferOutcome::Cancelled});
    receipt.Action(TorvHelpdeskAction::Open, TorvActionOutcome::Done, "/etc/hosts");
    receipt.Action(TorvHelpdeskAction::Restart, TorvActionOutcome::Refused);
    receipt.ChatLine(true);
    receipt.ChatLine(true);
    receipt.ChatLine(false);
    receipt.Ended(TorvEndReason::Disconnect);
}

TEST(SessionReceipt, TheTimelineInPlainWordsAndItsExports)
{
    TorvSessionReceipt receipt("", "Orvalis, customer's program beta4", Ticking());
    ASession(receipt);
    const std::vector<std::string> expected = {
        "You connected to the gateway 127.0.0.1:7000 and got the session code 4321.",
        "At the start, the helpdesk had to ask before viewing or controlling your desktop and before "
        "restarting it "
        "(level 0, the program's default).",
        "The helpdesk joined the session.",
        "The helpdesk asked to view your desktop. You were asked: \u201CMay they see?\u201D",
        "You allowed the helpdesk to view your desktop (you answered Yes).",
        "Permission raised to level 1: the helpdesk could view your desktop without asking, but had to ask "
        "before "
        "controlling it, because you answered Yes to \u201CMay they see?\u201D",
        "Your desktop started being shown to the helpdesk.",
        "View only was switched off: the helpdesk could use your mouse and keyboard.",
        "Received \u201Creport.pdf\u201D from the helpdesk and saved it as \u201C/home/u/report.pdf\u201D: "
        "1,234,567 "
        "bytes, SHA-256 ab12.",
        "The file \u201C/home/u/log.txt\u201D to the helpdesk was cancelled after 2,048 of 5,000 bytes. "
        "SHA-256 of "
        "those bytes: cd34.",
        "The helpdesk opened \u201C/etc/hosts\u201D on your computer.",
        "You refused to let the helpdesk restart your computer (you answered No).",
        "You ended the session with Disconnect.",
    };
    EXPECT_EQ(Texts(receipt), expected);
    EXPECT_EQ(receipt.ChatLines(), std::make_pair(2, 1));
    EXPECT_TRUE(receipt.FilePath().empty()) << "no folder, no file";

    const TJson json = TJson::parse(receipt.AsJson());
    EXPECT_EQ(json.at("gateway"), "127.0.0.1:7000");
    EXPECT_EQ(json.at("sessionCode"), 4321);
    EXPECT_EQ(json.at("chatLines").at("fromHelpdesk"), 2);
    EXPECT_EQ(json.at("chatLines").at("toHelpdesk"), 1);
    ASSERT_EQ(json.at("entries").size(), expected.size());
    const TJson& received = json.at("entries").at(8);
    EXPECT_EQ(received.at("event"), "file");
    EXPECT_EQ(received.at("details").at("direction"), "from-helpdesk");
    EXPECT_EQ(received.at("details").at("size"), 1234567);
    EXPECT_EQ(received.at("details").at("sha256"), "ab12");
    EXPECT_EQ(received.at("details").at("state"), "completed");
    EXPECT_EQ(json.at("entries").at(11).at("details").at("outcome"), "refused");
    EXPECT_EQ(json.at("entries").back().at("details").at("reason"), "disconnect");
    EXPECT_FALSE(json.at("ended").is_null());

    const std::string html = receipt.AsHtml();
    EXPECT_NE(html.find("<td>You refused to let the helpdesk restart your computer (you answered No).</td>"),
              std::string::npos);
    EXPECT_NE(html.find("Chat: 2 lines from the helpdesk and 1 line from you. Their text is not kept."),
              std::string::npos);
}

// Names come from the helpdesk: they may hold markup or bytes that are not text.
TEST(SessionReceipt, ForeignNamesCannotBreakTheExports)
{
    TorvSessionReceipt receipt("", "p", Ticking());
    receipt.Connected("gw", 1, 1, std::chrono::system_clock::now());
    receipt.Transfer(
        {false, "<script>alert('x')</script>&\"\xFF\xFE.txt", "", 9, 0, "", TorvTransferOutcome::Offered});
    const std::string html = receipt.AsHtml();
    EXPECT_EQ(html.find("<script>"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&amp;&quot;"), std::string::npos);
    TJson json;
    ASSERT_NO_THROW(json = TJson::parse(receipt.AsJson()));
    const std::string name = json.at("entries").at(1).at("details").at("name");
    EXPECT_TRUE(name.starts_with("<script>")) << name;
    EXPECT_NE(name.find("\uFFFD"), std::string::npos) << "bytes that are not UTF-8 are replaced";

    // In plain words, a name cannot reorder itself or break its line.
    receipt.Transfer({false, "invoice\u202Efdp.exe\nline", "", 9, 0, "", TorvTransferOutcome::Offered});
    EXPECT_EQ(receipt.Entries().back().Text,
              "The helpdesk offered you the file \u201Cinvoice\uFFFDfdp.exe\uFFFDline\u201D (9 bytes).");
    ExpectExportMatches(receipt);
}

TEST(SessionReceipt, TheEndStaysLastAndLearnsTheRealReasonOfALostConnection)
{
    TorvSessionReceipt nothing("", "p", Ticking());
    nothing.Ended(TorvEndReason::Lost);
    EXPECT_TRUE(nothing.Entries().empty()) << "no session, nothing to end";
    EXPECT_FALSE(nothing.HasEnded());
    ExpectExportMatches(nothing);

    TorvSessionReceipt receipt("", "p", Ticking());
    receipt.Connected("gw", 1, 1, std::chrono::system_clock::now());
    receipt.Ended(TorvEndReason::Lost);
    receipt.Ended(TorvEndReason::Gateway, 1000, "Session was terminated");
    receipt.Ended(TorvEndReason::Disconnect);
    ExpectExportMatches(receipt);
    // What the end brought with it comes before it.
    receipt.DesktopStopped(false);
    const auto entries = receipt.Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].Text, "You stopped watching the helpdesk's desktop.");
    EXPECT_EQ(entries[2].Text, "The gateway ended the session: Session was terminated (code 1000).");
    EXPECT_LE(entries[1].Time, entries[2].Time);
    ExpectExportMatches(receipt);
    const TOrderedJson json = TOrderedJson::parse(receipt.AsJson());
    EXPECT_EQ(json.at("entries").at(2).at("details").at("code"), 1000);
    EXPECT_EQ(json.at("entries").at(1).at("time"), json.at("entries").at(2).at("time"));
    EXPECT_EQ(json.at("ended"), json.at("entries").at(2).at("time"));

    TorvSessionReceipt closed("", "p", Ticking());
    closed.Connected("gw", 1, 1, std::chrono::system_clock::now());
    closed.Ended(TorvEndReason::Closed);
    closed.Ended(TorvEndReason::Disconnect);
    closed.Ended(TorvEndReason::Gateway, 7, "x");
    EXPECT_EQ(closed.Entries().back().Text, "The program was closed during the session.");
}

TEST(SessionReceipt, EachEntryIsOnDiskPrivatelyAndOnlyTheLastFiftyAreKept)
{
    const TempDir dir;
    const std::string folder = dir.File("state/orvalis/sessions");
    fs::create_directories(folder);
    // Fifty-five older receipts and a file that is not one.
    for (int i = 0; i < 55; ++i)
        WriteFile(folder + "/session-20250101-0000" + (i < 10 ? "0" : "") + std::to_string(i) + "-1.json",
                  "{}");
    WriteFile(folder + "/notes.txt", "mine");

    TorvSessionReceipt receipt(folder, "p", Ticking());
    receipt.Connected("gw", 1, 777, std::chrono::sys_days{std::chrono::year{2026} / 12 / 10} + 9h);
    const std::string path = receipt.FilePath();
    EXPECT_EQ(fs::path(path).parent_path(), fs::path(folder));
    EXPECT_TRUE(fs::path(path).filename().string().starts_with("session-20261210-")) << path;
    EXPECT_EQ(Mode(path), 0600u);
    EXPECT_EQ(Mode(folder), 0700u);
    std::vector<std::string> names = SessionFiles(folder);
    EXPECT_EQ(names.size(), 51u) << "fifty receipts and notes.txt";
    EXPECT_EQ(std::count(names.begin(), names.end(), "notes.txt"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), "session-20250101-000004-1.json"), 0) << "the oldest go";
    EXPECT_EQ(std::count(names.begin(), names.end(), "session-20250101-000005-1.json"), 0);
    EXPECT_EQ(std::count(names.begin(), names.end(), "session-20250101-000006-1.json"), 1);

    // Every entry is written at once.
    receipt.HelpdeskJoined();
    EXPECT_EQ(Events(TJson::parse(ReadFile(path))),
              (std::vector<std::string>{"connected", "helpdesk-joined"}));
    // Chat lines right after a write go out with the next entry.
    receipt.ChatLine(false);
    receipt.Ended(TorvEndReason::Disconnect);
    EXPECT_EQ(TJson::parse(ReadFile(path)).at("chatLines").at("toHelpdesk"), 1);
    EXPECT_EQ(TJson::parse(ReadFile(path)), TJson::parse(receipt.AsJson()));
    EXPECT_TRUE(receipt.WriteError().empty());

    // A second session in the same second gets a file of its own.
    TorvSessionReceipt again(folder, "p", Ticking());
    again.Connected("gw", 1, 777, std::chrono::sys_days{std::chrono::year{2026} / 12 / 10} + 9h);
    EXPECT_NE(again.FilePath(), path);
    EXPECT_EQ(SessionFiles(folder).size(), 51u);
}

TEST(SessionReceipt, AReceiptWrittenBeforeACrashIsReadable)
{
    const TempDir dir;
    const std::string folder = dir.File("sessions");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // No destructor, no flush at exit: only what each entry wrote survives.
        TorvSessionReceipt receipt(folder, "p");
        receipt.Connected("gw", 1, 55, std::chrono::system_clock::now());
        receipt.HelpdeskJoined();
        receipt.Action(TorvHelpdeskAction::Restart, TorvActionOutcome::Done);
        ::raise(SIGKILL);
        ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    const std::vector<std::string> names = SessionFiles(folder);
    ASSERT_EQ(names.size(), 1u) << "no half-written copy is left beside it";
    const TJson json = TJson::parse(ReadFile(folder + "/" + names[0]));
    EXPECT_EQ(Events(json), (std::vector<std::string>{"connected", "helpdesk-joined", "action"}));
    EXPECT_EQ(json.at("entries").at(2).at("text"), "The helpdesk restarted your computer.");
    EXPECT_TRUE(json.at("ended").is_null());
}

TEST(SessionReceipt, AFolderThatCannotBeWrittenKeepsTheReceiptInMemory)
{
    const TempDir dir;
    WriteFile(dir.File("blocked"), "a file where the folder should be");
    TorvSessionReceipt receipt(dir.File("blocked/sessions"), "p");
    receipt.Connected("gw", 1, 1, std::chrono::system_clock::now());
    receipt.HelpdeskJoined();
    EXPECT_FALSE(receipt.WriteError().empty());
    EXPECT_EQ(receipt.Entries().size(), 2u);

    // Nor is a receipt written through a link put where the folder should be.
    fs::create_directories(dir.File("elsewhere"));
    fs::create_directory_symlink(dir.File("elsewhere"), dir.File("linked"));
    TorvSessionReceipt linked(dir.File("linked"), "p");
    linked.Connected("gw", 1, 1, std::chrono::system_clock::now());
    EXPECT_FALSE(linked.WriteError().empty());
    EXPECT_TRUE(fs::is_empty(dir.File("elsewhere")));
}

} // namespace

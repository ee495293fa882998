// "What happened in this session": a whole session with the helpdesk console
// through the development gateway, recorded as it happens; the link on the
// session-ended page; the receipt's window and its exports; and the copy on
// disk when the program is closed in the middle of a session. With
// ORV_RENDER_DIR set, ReceiptRender saves a picture of the window there
// (scripts/render-pages).

#include "lib/orvFileTransfer.h"
#include "lib/orvFileTransferFeature.h"
#include "lib/orvFileTransferForm.h"
#include "lib/orvReceiptForm.h"
#include "lib/orvRemoteDesktopFeature.h"
#include "lib/orvSessionReceipt.h"
#include "lib/orvSha256.h"
#include "tests/support/FakeRelays.h"
#include "tests/support_qt/SessionFixture.h"

#include "customer/Widgets.h"

#include <QCheckBox>
#include <QDateTime>
#include <QDir>
#include <QTextBrowser>
#include <QTreeWidget>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <sys/stat.h>

namespace {

using namespace orvtest;
using TJson = nlohmann::json;

class ReceiptSession : public SessionTest
{
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        FEnv.ReceiptFolder = FDir.File("receipts");
        FEnv.RemoteDesktopParts = [this] {
            TorvRemoteDesktopParts parts = FRelays.Parts();
            parts.PendingMessages = TorvRemoteDesktopParts::Default().PendingMessages;
            return parts;
        };
    }

    TFileTransferUI& Panel()
    {
        auto* feature =
            dynamic_cast<TorvFileTransferFeature*>(Form().Features().Find(TorvFeatureKind::FileTransfer));
        if (!feature)
            throw std::runtime_error("no file-transfer feature");
        return feature->Panel();
    }

    // The receipt on disk, read whole.
    TJson OnDisk()
    {
        const auto receipt = Form().SessionReceipt();
        return receipt ? TJson::parse(ReadFile(receipt->FilePath())) : TJson();
    }

    static bool Has(const TorvSessionReceipt& receipt, const std::string& text)
    {
        for (const TorvReceiptEntry& entry : receipt.Entries())
            if (entry.Text == text)
                return true;
        return false;
    }

    FakeRelays FRelays;
};

// The entry of the first entry whose event and details match, from `from` on; -1 when none.
int Find(const TJson& json, const std::string& event, const TJson& details, int from = 0)
{
    const TJson& entries = json.at("entries");
    for (int i = from; i < static_cast<int>(entries.size()); ++i) {
        const TJson& entry = entries.at(static_cast<std::size_t>(i));
        if (entry.at("event") != event)
            continue;
        bool matches = true;
        for (const auto& [key, value] : details.items())
            matches = matches && entry.at("details").contains(key) && entry.at("details").at(key) == value;
        if (matches)
            return i;
    }
    return -1;
}

TEST_F(ReceiptSession, AWholeSessionWithTheConsoleIsRecordedWithHashesAndCauses)
{
    const QString program = BuiltProgram("orvhelpdesk");
    if (program.isEmpty())
        GTEST_SKIP() << "orvhelpdesk is not built";
    TfrmCustomer& form = Open();
    const int code = ConnectAndRegister();
    // Without a display the console's viewer cannot start, so the desktop ends on its own.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    TConsole console(program, FEnv.SettingsFile, code, environment);
    ASSERT_TRUE(WaitFor([&] { return OnPage(form.sbStep3); }, 60000)) << console.Output();
    const auto receipt = form.SessionReceipt();
    ASSERT_NE(receipt, nullptr);
    TFileTransferUI& panel = Panel();

    // A file from the helpdesk, saved where the customer chose.
    const std::string down = RandomBytes(5000, 1);
    WriteFile(FDir.File("from helpdesk.bin"), down);
    console.Type("send " + FDir.File("from helpdesk.bin") + "\n");
    ASSERT_TRUE(WaitFor([&] { return panel.RowCount() == 1; })) << console.Output();
    const std::string saved = FDir.File("saved.bin");
    panel.ChooseTargetPath = [&](const QString&) { return QString::fromStdString(saved); };
    panel.lvFiles->topLevelItem(0)->setSelected(true);
    panel.RefreshTransfers();
    panel.aAcceptRequest->trigger();
    ASSERT_TRUE(WaitFor([&] { return ReadFile(saved) == down; })) << console.Output();

    // A file to the helpdesk, accepted in the console.
    const std::string up = RandomBytes(3000, 2);
    WriteFile(FDir.File("for helpdesk.bin"), up);
    panel.ChooseFilesToSend = [&] {
        return QStringList{QString::fromStdString(FDir.File("for helpdesk.bin"))};
    };
    panel.aSendFile->trigger();
    std::string number;
    ASSERT_TRUE(WaitFor([&] {
        console.Count("");
        std::smatch offer;
        if (!std::regex_search(console.Output(), offer, std::regex("file offer: (\\d+) ")))
            return false;
        number = offer[1].str();
        return true;
    })) << console.Output();
    const std::string arrived = FDir.File("at helpdesk.bin");
    console.Type("accept " + number + " " + arrived + "\n");
    ASSERT_TRUE(WaitFor([&] { return ReadFile(arrived) == up; })) << console.Output();
    ASSERT_TRUE(WaitFor([&] {
        const auto entries = receipt->Entries();
        return std::any_of(entries.begin(), entries.end(), [](const TorvReceiptEntry& e) {
            return e.Text.starts_with("Sent \u201C") && e.Text.find("for helpdesk.bin") != std::string::npos;
        });
    }));

    // The desktop shown on request, then the mouse and keyboard refused.
    console.Type("view\n");
    ASSERT_TRUE(WaitFor([] { return DialogShown(orvRemoteDesktopText::AskViewing); })) << console.Output();
    DialogWith(orvRemoteDesktopText::AskViewing)->btnYes->click();
    ASSERT_TRUE(WaitFor([&] { return FRelays.HostStarts.load() >= 1; })) << console.Output();
    console.Type("control ask\n");
    ASSERT_TRUE(WaitFor([] { return DialogShown(orvRemoteDesktopText::AskControl); })) << console.Output();
    DialogWith(orvRemoteDesktopText::AskControl)->btnNo->click();
    EXPECT_TRUE(
        Has(*receipt, "You refused to let the helpdesk control your mouse and keyboard (you answered No)."));
    console.Type("stop\n");

    // A restart asked for and refused; a chat line counted.
    console.Type("restart\n");
    ASSERT_TRUE(WaitFor([] { return DialogShown(orvCustomerText::AskRestart); })) << console.Output();
    DialogWith(orvCustomerText::AskRestart)->btnNo->click();
    console.Type("chat a private word\n");
    ASSERT_TRUE(WaitFor([&] { return receipt->ChatLines().first == 1; })) << console.Output();
    ASSERT_TRUE(WaitFor([&] {
        const auto entries = receipt->Entries();
        return std::any_of(entries.begin(), entries.end(),
                           [](const TorvReceiptEntry& e) { return e.Event == "desktop-stopped"; });
    })) << console.Output();
    HideAllTopLevels(&form);

    form.btnDisconnect->click();
    ASSERT_TRUE(WaitFor([&] { return OnPage(form.sbStep5); }));
    EXPECT_TRUE(form.lblReceipt->isVisible());

    // The copy on disk: private, and everything in the order it happened.
    const TJson json = OnDisk();
    struct stat status
    {
    };
    ASSERT_EQ(::stat(receipt->FilePath().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_TRUE(receipt->FilePath().starts_with(FEnv.ReceiptFolder + "/")) << receipt->FilePath();
    EXPECT_EQ(json.at("gateway"), "127.0.0.1:" + std::to_string(FGateway->Port()));
    EXPECT_EQ(json.at("sessionCode"), code);
    EXPECT_EQ(json.at("chatLines").at("fromHelpdesk"), 1);
    EXPECT_EQ(ReadFile(receipt->FilePath()).find("private word"), std::string::npos)
        << "chat is only counted";
    const std::string dump = json.dump(1);
    const int connected = Find(json, "connected", {});
    const int start = Find(json, "permission", {{"level", 0}, {"atStart", true}});
    const int joined = Find(json, "helpdesk-joined", {});
    const int offered = Find(json, "file", {{"direction", "from-helpdesk"}, {"state", "offered"}});
    const int received = Find(json, "file",
                              {{"direction", "from-helpdesk"},
                               {"state", "completed"},
                               {"path", saved},
                               {"name", "from helpdesk.bin"},
                               {"size", 5000},
                               {"sha256", TorvSha256::Of(down)}});
    const int sent = Find(json, "file",
                          {{"direction", "to-helpdesk"},
                           {"state", "completed"},
                           {"path", FDir.File("for helpdesk.bin")},
                           {"sha256", TorvSha256::Of(up)}});
    const int viewAsked = Find(json, "action", {{"action", "view"}, {"outcome", "asked"}});
    const int viewGranted = Find(json, "action", {{"action", "view"}, {"outcome", "granted"}});
    const int raised = Find(json, "permission", {{"level", 1}, {"atStart", false}});
    const int shown = Find(json, "desktop-started", {{"role", "showing"}});
    const int controlAsked = Find(json, "action", {{"action", "control"}, {"outcome", "asked"}});
    const int controlRefused = Find(json, "action", {{"action", "control"}, {"outcome", "refused"}});
    const int stopped = Find(json, "desktop-stopped", {{"role", "showing"}});
    const int restartAsked = Find(json, "action", {{"action", "restart"}, {"outcome", "asked"}});
    const int restartRefused = Find(json, "action", {{"action", "restart"}, {"outcome", "refused"}});
    const int ended = Find(json, "ended", {{"reason", "disconnect"}});
    for (int index : {connected, start, joined, offered, received, sent, viewAsked, viewGranted, raised,
                      shown, controlAsked, controlRefused, stopped, restartAsked, restartRefused, ended})
        ASSERT_GE(index, 0) << dump;
    EXPECT_EQ(connected, 0);
    EXPECT_EQ(start, 1);
    EXPECT_LT(joined, offered);
    EXPECT_LT(offered, received);
    EXPECT_LT(received, sent);
    EXPECT_LT(sent, viewAsked);
    EXPECT_LT(viewAsked, viewGranted);
    EXPECT_LT(viewGranted, shown);
    EXPECT_LT(controlAsked, controlRefused);
    EXPECT_LT(restartAsked, restartRefused);
    EXPECT_EQ(ended, static_cast<int>(json.at("entries").size()) - 1);
    EXPECT_EQ(Find(json, "action", {{"action", "control"}, {"outcome", "granted"}}), -1) << dump;
    EXPECT_EQ(Find(json, "action", {{"action", "restart"}, {"outcome", "done"}}), -1) << dump;
    EXPECT_EQ(Find(json, "permission", {{"level", 2}}), -1) << dump;
    EXPECT_EQ(json.at("entries").at(static_cast<std::size_t>(raised)).at("details").at("cause"),
              std::string("you answered Yes to \u201C") + orvRemoteDesktopText::AskViewing + "\u201D");
    EXPECT_EQ(json.at("entries").at(static_cast<std::size_t>(restartAsked)).at("details").at("question"),
              orvCustomerText::AskRestart);

    // The link opens the window; Save writes either kind.
    form.lblReceiptClick();
    TReceiptForm* window = form.ReceiptWindow();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(WaitFor([&] { return window->isVisible(); }));
    EXPECT_TRUE(window->txtReceipt->isReadOnly());
    const std::string shownText = window->txtReceipt->toPlainText().toStdString();
    EXPECT_NE(shownText.find("SHA-256 " + TorvSha256::Of(down)), std::string::npos) << shownText;
    EXPECT_NE(
        shownText.find("You refused to let the helpdesk control your mouse and keyboard (you answered No)."),
        std::string::npos)
        << shownText;
    for (const auto& [name, format] : {std::pair{"receipt.html", TorvReceiptFormat::Html},
                                       std::pair{"receipt.json", TorvReceiptFormat::Json}}) {
        const QString path = QString::fromStdString(FDir.File(name));
        window->OnPickFile = [&](const QString&) { return std::pair{path, format}; };
        window->btnSave->click();
        ASSERT_TRUE(QFile::exists(path)) << name;
    }
    EXPECT_EQ(TJson::parse(ReadFile(FDir.File("receipt.json"))), TJson::parse(receipt->AsJson()));
    const std::string html = ReadFile(FDir.File("receipt.html"));
    EXPECT_TRUE(html.starts_with("<!DOCTYPE html>"));
    EXPECT_NE(html.find("SHA-256 " + TorvSha256::Of(up)), std::string::npos);

    // A save that cannot be written says so, and loses nothing.
    window->OnPickFile = [&](const QString&) {
        return std::pair{QString::fromStdString(FDir.File("no such folder/receipt.html")),
                         TorvReceiptFormat::Html};
    };
    window->btnSave->click();
    ASSERT_TRUE(WaitFor([] {
        const auto texts = DialogTexts();
        return std::any_of(texts.begin(), texts.end(), [](const std::string& t) {
            return t.starts_with("Unable to save the record of this session: ");
        });
    }));
    window->close();
}

TEST_F(ReceiptSession, ViewOnlyChangesAndAProgramClosedMidSessionAreOnDisk)
{
    TfrmCustomer& form = Open();
    JoinHelpdesk(ConnectAndRegister());
    // Before a session ends there is nothing to link to.
    EXPECT_FALSE(form.lblReceipt->isVisible());
    const auto receipt = form.SessionReceipt();
    ASSERT_NE(receipt, nullptr);

    form.OpenVNCAsServer->trigger();
    ASSERT_TRUE(WaitFor([&] { return form.cbViewOnly->isVisible() && form.cbViewOnly->isEnabled(); }));
    ASSERT_TRUE(WaitFor([&] { return Has(*receipt, "Your desktop started being shown to the helpdesk."); }));
    form.cbViewOnly->click();
    ASSERT_TRUE(WaitFor([&] {
        return Has(*receipt, "View only was switched off: the helpdesk could use your mouse and keyboard.");
    }));
    form.cbViewOnly->click();
    ASSERT_TRUE(WaitFor([&] {
        return Has(*receipt,
                   "View only was switched on: the helpdesk could watch, but not use your mouse and "
                   "keyboard.");
    }));

    const std::string path = receipt->FilePath();
    form.close();
    const TJson json = TJson::parse(ReadFile(path));
    EXPECT_EQ(json.at("entries").back().at("details").at("reason"), "program-closed") << json.dump(1);
    EXPECT_EQ(Find(json, "view-only", {{"on", false}}) + 1, Find(json, "view-only", {{"on", true}}));
    EXPECT_FALSE(json.at("ended").is_null());
}

// ---------------------------------------------------------------------------
// Picture for scripts/render-pages
// ---------------------------------------------------------------------------

// A time of day on a fixed date in this computer's zone: the receipt shows
// local times, so these read the same wherever the picture is made.
std::chrono::system_clock::time_point At(int hour, int minute, int second)
{
    const QDateTime local(QDate(2025, 3, 14), QTime(hour, minute, second));
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(local.toMSecsSinceEpoch()));
}

TEST(ReceiptRender, SavesPicture)
{
    const char* folder = std::getenv("ORV_RENDER_DIR");
    if (!folder || !*folder)
        GTEST_SKIP() << "ORV_RENDER_DIR is not set";
    const QDir dir(QString::fromLocal8Bit(folder));
    ASSERT_TRUE(dir.mkpath(QStringLiteral(".")));

    // A short session on a fixed clock; without a folder nothing goes to disk.
    auto now = At(10, 2, 14);
    const auto receipt = std::make_shared<TorvSessionReceipt>(
        std::string(), std::string(orvCustomerText::Caption) + " beta4", [&now] { return now; });
    receipt->Connected("gateway.orvalis.example", 443, 482913, now);
    receipt->Permission(0, "the program's default");
    now = At(10, 3, 5);
    receipt->HelpdeskJoined();
    for (bool fromHelpdesk : {true, false, true, false, true})
        receipt->ChatLine(fromHelpdesk);

    // A guide from the helpdesk, reported as the transfer feature reports it.
    const std::string guide = RandomBytes(180 * 1024, 7);
    TTransferSummary summary;
    summary.TransferId = NewTransferId();
    summary.Name = "vpn-guide.pdf";
    summary.Size = static_cast<std::int32_t>(guide.size());
    summary.State = TTransferState::ConfirmWanted;
    now = At(10, 4, 40);
    receipt->Transfer(orvReceiptTransfer(summary));
    summary.Path = "/home/anna/Downloads/vpn-guide.pdf";
    summary.Bytes = summary.Size;
    summary.Sha256 = TorvSha256::Of(guide);
    summary.State = TTransferState::Finished;
    summary.Ended = true;
    now = At(10, 4, 52);
    receipt->Transfer(orvReceiptTransfer(summary));
    for (bool fromHelpdesk : {true, false, true})
        receipt->ChatLine(fromHelpdesk);
    now = At(10, 11, 48);
    receipt->Ended(TorvEndReason::Disconnect);

    TReceiptForm window;
    window.SetReceipt(receipt);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    // What the picture is for: the timeline, the file's hash and the chat counts.
    const std::string shown = window.txtReceipt->toPlainText().toStdString();
    const std::string expected[] = {
        "Session code 482913 through the gateway gateway.orvalis.example:443",
        "The helpdesk joined the session.",
        "SHA-256 " + summary.Sha256,
        "Chat: 5 lines from the helpdesk and 3 lines from you.",
        "You ended the session with Disconnect.",
    };
    for (const std::string& text : expected)
        EXPECT_NE(shown.find(text), std::string::npos) << text << "\n" << shown;
    QTest::qWait(50);
    const QString path = dir.filePath(QStringLiteral("receipt-window.png"));
    EXPECT_TRUE(window.grab().save(path)) << path.toStdString();
}

} // namespace

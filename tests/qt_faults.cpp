// What the main window shows when the link to the gateway fails: the gateway
// killed in a session, restarted while the customer waits, and the link cut
// in the middle of a file from the helpdesk (through FaultProxy). The
// helpdesk reaches the gateway directly.
#include "customer/Mainform.h"
#include "customer/Widgets.h"
#include "lib/orvCommandThread.h"
#include "lib/orvConnections.h"
#include "lib/orvFileTransfer.h"
#include "lib/orvFileTransferFeature.h"
#include "lib/orvFileTransferForm.h"
#include "lib/orvSessionReceipt.h"
#include "lib/orvSha256.h"
#include "tests/support/FaultProxy.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/RawPeer.h"
#include "tests/support/TestUtil.h"
#include "tests/support_qt/SessionFixture.h"

#include <QLabel>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using orvtest::DialogTexts;
using orvtest::FaultProxy;
using orvtest::GatewayProcess;
using orvtest::SessionTest;
using orvtest::TFlow;
using orvtest::THelpdesk;
using orvtest::VisibleDialogs;
using orvtest::WaitFor;

using Clock = std::chrono::steady_clock;

std::string SessionCodeText(int code)
{
    char text[160];
    std::snprintf(text, sizeof text, orvCustomerText::SessionCode, code);
    return text;
}

bool HasLabel(QWidget* page, const QString& text)
{
    for (const QLabel* label : page->findChildren<QLabel*>())
        if (label->text() == text)
            return true;
    return false;
}

// A detail of a receipt entry as text; empty when missing or not text.
std::string Detail(const TorvReceiptEntry& entry, const std::string& key)
{
    for (const auto& [name, value] : entry.Details)
        if (name == key) {
            if (const auto* text = std::get_if<std::string>(&value))
                return *text;
            if (const auto* number = std::get_if<std::int64_t>(&value))
                return std::to_string(*number);
        }
    return {};
}

std::vector<TorvReceiptEntry> EntriesOf(const TorvSessionReceipt& receipt, const std::string& event)
{
    std::vector<TorvReceiptEntry> found;
    for (const TorvReceiptEntry& entry : receipt.Entries())
        if (entry.Event == event)
            found.push_back(entry);
    return found;
}

class LinkFaultWindow : public SessionTest
{
protected:
    void TearDown() override
    {
        FPeer.reset();
        SessionTest::TearDown();
        FProxy.reset();
    }

    // A gateway on a port of its own, as a link that comes back goes to the
    // port the gateway announces; the customer's settings name it.
    void GatewayOnPort(std::uint16_t port)
    {
        FGateway.reset();
        FGateway = std::make_unique<GatewayProcess>(
            std::vector<std::string>{"--listen", "127.0.0.1:" + std::to_string(port)});
        UseGateway(FGateway->Port());
    }

    // The waiting page with its code, and the status that goes with it.
    bool Waiting(int code)
    {
        return OnPage(Form().sbStep2) && Form().lblConnID->text().toStdString() == SessionCodeText(code) &&
               Form().pnlStatus->text() == QStringLiteral("Connected to Server");
    }

    // A helpdesk with a file-transfer thread, joining straight at the gateway.
    THelpdesk& JoinFileHelpdesk(int code)
    {
        FPeer.reset();
        FPeer = std::make_unique<THelpdesk>(FDir.File("helpdesk.ini"), code);
        EXPECT_TRUE(WaitFor([&] { return FPeer->Joined(); }));
        if (TorvConnection* connection = FPeer->Connection())
            FPeerFiles = &orvStartChannelThread(
                *connection, orvFileTransferChannel,
                std::make_unique<TFileTransferControlThread>(*connection, 1'000'000'000));
        EXPECT_TRUE(WaitFor([&] { return OnPage(Form().sbStep3); }));
        return *FPeer;
    }

    // The helpdesk offers the bytes; the customer accepts them in the panel into target.
    TTransferPtr SendToCustomer(const std::string& bytes, const std::string& name, const std::string& target)
    {
        const std::string source = FDir.File(name);
        orvtest::WriteFile(source, bytes);
        auto sent = FPeerFiles->NewSentFile(source);
        FPeerFiles->SendFileRequestCommand(*sent);
        auto* feature =
            dynamic_cast<TorvFileTransferFeature*>(Form().Features().Find(TorvFeatureKind::FileTransfer));
        TFileTransferUI& panel = feature->Panel();
        panel.ChooseTargetPath = [target](const QString&) { return QString::fromStdString(target); };
        EXPECT_TRUE(WaitFor([&] {
            return panel.lvFiles->topLevelItemCount() == 1 &&
                   panel.lvFiles->topLevelItem(0)->text(0) == QString::fromStdString(name);
        }));
        if (QTreeWidgetItem* row = panel.lvFiles->topLevelItem(0))
            row->setSelected(true);
        panel.RefreshTransfers();
        EXPECT_TRUE(panel.aAcceptRequest->isEnabled());
        panel.aAcceptRequest->trigger();
        return sent;
    }

    TFileTransferUI& Panel()
    {
        return dynamic_cast<TorvFileTransferFeature*>(Form().Features().Find(TorvFeatureKind::FileTransfer))
            ->Panel();
    }

    std::unique_ptr<FaultProxy> FProxy;
    std::unique_ptr<THelpdesk> FPeer;
    TFileTransferControlThread* FPeerFiles = nullptr;
};

TEST_F(LinkFaultWindow, AGatewayKilledInASessionShowsTheEndPageAndConnectWorksWithAnother)
{
    TfrmCustomer& form = Open();
    JoinHelpdesk(ConnectAndRegister());
    ASSERT_TRUE(OnPage(form.sbStep3));

    const Clock::time_point killed = Clock::now();
    FGateway->Stop(0ms, SIGKILL);
    ASSERT_TRUE(WaitFor([&] { return OnPage(form.sbStep5); }, 40000));
    const Clock::duration shown = Clock::now() - killed;
    EXPECT_LE(shown, 20s) << std::chrono::duration<double>(shown).count() << " s";
    EXPECT_TRUE(HasLabel(form.sbStep5, QStringLiteral("Connection is closed")));
    EXPECT_EQ(form.pnlStatus->text(), QStringLiteral("No connection"));
    EXPECT_EQ(form.pnlStatus->palette().color(QPalette::Window), QColor(128, 128, 128));
    EXPECT_TRUE(form.btConnect->isEnabled());
    EXPECT_FALSE(form.btnDisconnect->isEnabled());
    EXPECT_TRUE(form.lblReceipt->isVisible());
    EXPECT_TRUE(VisibleDialogs().empty()) << ::testing::PrintToString(DialogTexts());
    const auto ends = EntriesOf(*form.SessionReceipt(), "ended");
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(Detail(ends[0], "reason"), "connection-lost");
    EXPECT_EQ(ends[0].Text, "The connection to the gateway was lost.");

    // New session against another gateway: the window is as good as new.
    FHelpdesk.reset();
    GatewayOnPort(0);
    form.btNewSession->click();
    ASSERT_TRUE(OnPage(form.sbStep1));
    EXPECT_TRUE(form.btConnect->isEnabled());
    const int code = ConnectAndRegister();
    ASSERT_GT(code, 0);
    EXPECT_TRUE(Waiting(code));
    THelpdesk& helpdesk = JoinHelpdesk(code);
    helpdesk.Send("999:");
    EXPECT_TRUE(WaitFor([&] { return helpdesk.HasReceived("20:999:"); }));
    EXPECT_EQ(form.pnlStatus->text(), QStringLiteral("Connected"));
}

TEST_F(LinkFaultWindow, AGatewayRestartedWhileTheCustomerWaitsShowsTheNewCodeTheHelpdeskCanUse)
{
    const std::uint16_t port = orvtest::FreePort();
    GatewayOnPort(port);
    TfrmCustomer& form = Open();
    const int code = ConnectAndRegister();
    ASSERT_TRUE(Waiting(code));

    FGateway->Stop(0ms, SIGKILL);
    GatewayOnPort(port);
    // The link comes back to the new gateway, which knows no code: the customer registers anew.
    bool ended = false;
    ASSERT_TRUE(WaitFor([&] {
        ended = ended || OnPage(form.sbStep5);
        return form.Connection() && SessionCode() != code && Waiting(SessionCode());
    })) << form.lblConnID->text().toStdString();
    EXPECT_FALSE(ended);
    EXPECT_FALSE(form.btConnect->isEnabled());
    EXPECT_TRUE(form.btnDisconnect->isEnabled());
    EXPECT_TRUE(VisibleDialogs().empty()) << ::testing::PrintToString(DialogTexts());

    // The code shown is the one the helpdesk joins with.
    THelpdesk& helpdesk = JoinHelpdesk(SessionCode());
    EXPECT_EQ(form.pnlStatus->text(), QStringLiteral("Connected"));
    helpdesk.Send("999:");
    EXPECT_TRUE(WaitFor([&] { return helpdesk.HasReceived("20:999:"); }));
}

TEST_F(LinkFaultWindow, ACutInTheMiddleOfAFileShowsTheWaitingPageWithANewCodeAndTheReceiptKeepsTheTruth)
{
    GatewayOnPort(orvtest::FreePort());
    FProxy = std::make_unique<FaultProxy>(FGateway->Port());
    UseGateway(FProxy->Port());
    FGateway->WriteClientSettings(FDir.File("helpdesk.ini"));
    TfrmCustomer& form = Open();
    const int code = ConnectAndRegister();
    JoinFileHelpdesk(code);

    const std::string bytes = orvtest::RandomBytes(4 << 20, 11);
    const std::string target = FDir.File("cut.bin");
    const TTransferPtr sent = SendToCustomer(bytes, "cut.src", target);
    ASSERT_TRUE(WaitFor([&] {
        return Panel().lvFiles->topLevelItemCount() == 1 &&
               Panel().lvFiles->topLevelItem(0)->text(1) == QStringLiteral("receiving") &&
               sent->BytesTransferred() > (512 << 10);
    }));

    // A number of bytes that ends inside a TLS record: half a frame reaches the customer.
    FProxy->Cut(2500, TFlow::Down);
    ASSERT_TRUE(WaitFor([&] { return form.Connection() && SessionCode() != code && Waiting(SessionCode()); }))
        << form.lblConnID->text().toStdString();
    EXPECT_TRUE(WaitFor([&] { return FPeer->HasReceived("106:1000"); }));
    EXPECT_TRUE(VisibleDialogs().empty()) << ::testing::PrintToString(DialogTexts());

    // The receipt: the helpdesk left, the file was interrupted, its hash that of the bytes on disk.
    const TorvSessionReceipt& receipt = *form.SessionReceipt();
    std::vector<TorvReceiptEntry> files;
    ASSERT_TRUE(WaitFor([&] {
        files = EntriesOf(receipt, "file");
        return !files.empty() && Detail(files.back(), "state") != "offered";
    }));
    EXPECT_EQ(Detail(files.back(), "state"), "interrupted");
    const std::string written = orvtest::ReadFile(target);
    EXPECT_GT(written.size(), 0u);
    EXPECT_LT(written.size(), bytes.size());
    EXPECT_TRUE(written == bytes.substr(0, written.size())) << "not the start of the file";
    EXPECT_EQ(Detail(files.back(), "bytes"), std::to_string(written.size()));
    EXPECT_EQ(Detail(files.back(), "sha256"), TorvSha256::Of(written));
    EXPECT_EQ(EntriesOf(receipt, "helpdesk-left").size(), 1u);
    EXPECT_TRUE(EntriesOf(receipt, "ended").empty());

    // The next helpdesk joins the code shown, and the file comes whole.
    JoinFileHelpdesk(SessionCode());
    const std::string again = orvtest::RandomBytes(1 << 20, 12);
    const std::string whole = FDir.File("whole.bin");
    SendToCustomer(again, "whole.src", whole);
    ASSERT_TRUE(WaitFor(
        [&] {
            return Panel().lvFiles->topLevelItemCount() == 1 &&
                   Panel().lvFiles->topLevelItem(0)->text(1) == QStringLiteral("receiving completed");
        },
        60000));
    EXPECT_EQ(TorvSha256::Of(orvtest::ReadFile(whole)), TorvSha256::Of(again));
    ASSERT_TRUE(WaitFor([&] {
        files = EntriesOf(receipt, "file");
        return Detail(files.back(), "state") == "completed";
    }));
    EXPECT_EQ(Detail(files.back(), "sha256"), TorvSha256::Of(again));
}

} // namespace

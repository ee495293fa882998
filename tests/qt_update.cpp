// "Check for update" in the main window: the link, the dialogs, the
// progress bar and the freeing at the end of a tick, against the
// development update server.

#include "customer/Widgets.h"
#include "lib/orvUpdateFeature.h"
#include "tests/support/LogCapture.h"
#include "tests/support/PlatformTestUtil.h"
#include "tests/support/RawPeer.h"
#include "tests/support/UpdateServer.h"
#include "tests/support_qt/SessionFixture.h"

#include <QPlainTextEdit>
#include <QProgressBar>

#include <gmock/gmock.h>

using namespace orvtest;

namespace {

// The running program's file version.
std::string OwnVersion()
{
    const std::string info = GetProgramInfoText();
    return info.substr(0, info.find('\r'));
}

class UpdateLinkTest : public MainformTest
{
protected:
    TfrmCustomer& OpenWith(const TUpdateServer& server) { return OpenAt(server.Host()); }
    TfrmCustomer& OpenAt(const std::string& host)
    {
        WriteFile(FEnv.SettingsFile, "[update]\nurl=" + host + "\n");
        FEnv.EndProgram = [this] { ++FEnded; };
        return Open();
    }
    TorvUpdateFeature& Update() const
    {
        return *static_cast<TorvUpdateFeature*>(FForm->Features().Find(TorvFeatureKind::Update));
    }
    void Click() { QTest::mouseClick(FForm->lblUpdate, Qt::LeftButton); }

    TScopedEnv FTemp{"TMPDIR", FDir.Path().c_str()};
    int FEnded = 0;
};

TEST_F(UpdateLinkTest, UpToDateIsSaidOnceAndTheLinkComesBackAfterTheModuleIsFreed)
{
    TLogCapture log;
    TUpdateServer server;
    server.Put("update/update.ini", UpdateIni(OwnVersion(), "2005-12-16", server.Url("pkg.sh")));
    TfrmCustomer& form = OpenWith(server);
    Click();
    TdmUpdateOrvalis* module = Update().Module();
    ASSERT_NE(module, nullptr);
    EXPECT_FALSE(form.lblUpdate->isEnabled());
    // A second click while the check runs changes nothing.
    Update().lblUpdateClick();
    EXPECT_EQ(Update().Module(), module);

    const std::string upToDate =
        UpdateText(orvUpdateText::UpToDate, orvFormatReleaseDate({2005, 12, 16, 0, 0, 0}));
    ASSERT_TRUE(WaitFor([&] { return DialogShown(upToDate); })) << ::testing::PrintToString(DialogTexts());
    ASSERT_TRUE(WaitFor([&] { return Update().Module() == nullptr; }));
    EXPECT_TRUE(form.lblUpdate->isEnabled());
    EXPECT_TRUE(log.InOrder({"executing TdmUpdateOrvalis.OnFileLoadedProc",
                             "TdmUpdateOrvalis.OnFileLoadedProc executed", "Freeing update module",
                             "Destroying Update module", "Update module destroyed"}));
    EXPECT_EQ(DialogTexts(), std::vector<std::string>{upToDate});
}

TEST_F(UpdateLinkTest, TheOfferListsTheNotesAndCancelStopsTheDownloadOnTheProgressDialog)
{
    TUpdateServer server({"--stall", "orvalis-update.sh"});
    const std::string package(1 << 20, '#');
    server.Put("update/orvalis-update.sh", package);
    server.Put("update/update.ini", UpdateIni("999.0.0", "2031-05-04", server.Url("update/orvalis-update.sh"),
                                              {"Faster start", "Files keep their dates"}));
    TfrmCustomer& form = OpenWith(server);
    Click();
    ASSERT_TRUE(WaitFor([&] { return Update().Dialogs() && Update().Dialogs()->Offer().isVisible(); }));
    TMessageDlg& offer = Update().Dialogs()->Offer();
    EXPECT_EQ(offer.lblMessage->text().toStdString(),
              UpdateText(orvUpdateText::NewVersion, orvFormatReleaseDate({2031, 5, 4, 0, 0, 0})));
    EXPECT_EQ(offer.Memo1->toPlainText().toStdString(), "Faster start\nFiles keep their dates");
    EXPECT_TRUE(offer.btnDownload->isVisible());

    offer.btnDownload->click();
    TMessageDlg& progress = Update().Dialogs()->Progress();
    EXPECT_FALSE(offer.isVisible());
    EXPECT_TRUE(progress.isVisible());
    EXPECT_EQ(progress.lblMessage->text().toStdString(), orvUpdateText::Loading);
    // The bar follows the bytes: half of them come, then the server holds back.
    ASSERT_TRUE(WaitFor([&] {
        return progress.ProgressBar1->value() == static_cast<int>(package.size() / 2);
    })) << progress.ProgressBar1->value();
    EXPECT_EQ(progress.ProgressBar1->maximum(), static_cast<int>(package.size()));

    progress.btnCancel->click();
    EXPECT_FALSE(progress.isVisible());
    const std::string failed = UpdateText(orvUpdateText::CannotLoad, server.Url("update/orvalis-update.sh"));
    ASSERT_TRUE(WaitFor([&] { return DialogShown(failed); })) << ::testing::PrintToString(DialogTexts());
    ASSERT_TRUE(WaitFor([&] { return Update().Module() == nullptr; }));
    EXPECT_TRUE(form.lblUpdate->isEnabled());
    EXPECT_FALSE(std::filesystem::exists(FDir.File("orvalis-update.sh")));
    EXPECT_EQ(FEnded, 0);
}

TEST_F(UpdateLinkTest, WithoutTheServerTheWebPageOpensAndTheLinkStaysDisabled)
{
    const std::string host = "127.0.0.1:" + std::to_string(FreePort());
    TfrmCustomer& form = OpenAt(host);
    Click();
    ASSERT_TRUE(WaitFor([&] {
        return Contains(FDesktop->Events(), "spawn xdg-open http://" + host + "/update");
    })) << ::testing::PrintToString(FDesktop->Events());
    // Ticks go by; the module stays and so does the disabled link.
    ASSERT_TRUE(WaitFor([&] { return !Update().Module()->Thread().Pending(); }));
    form.MainTimerTimer();
    form.MainTimerTimer();
    EXPECT_NE(Update().Module(), nullptr);
    EXPECT_FALSE(form.lblUpdate->isEnabled());
    Click();
    EXPECT_EQ(FDesktop->Events().size(), 1u);
    EXPECT_TRUE(DialogTexts().empty());
}

} // namespace

// The main window's remote-desktop controls against a real gateway: the
// helpdesk peer sends channel-2 texts and reads the customer's, and the
// relays to the host and viewer programs are fakes that note what they are
// asked to do.
#include "customer/Mainform.h"
#include "lib/orvMessageDlg.h"
#include "lib/orvRemoteDesktopFeature.h"
#include "lib/orvVNCThread.h"
#include "tests/support/FakeRelays.h"
#include "tests/support_qt/SessionFixture.h"

#include <QAction>
#include <QCheckBox>
#include <QPushButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace orvtest;
namespace text = orvRemoteDesktopText;

constexpr const char* kHostGreeting = "RFB 003.008";

TMessageDlg* WaitForDialog(const char* shown)
{
    EXPECT_TRUE(WaitFor([&] { return DialogShown(shown); })) << ::testing::PrintToString(DialogTexts());
    return DialogWith(shown);
}

class RemoteDesktopTest : public SessionTest
{
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        FEnv.RemoteDesktopParts = [this] {
            TorvRemoteDesktopParts parts = FRelays.Parts();
            parts.PendingMessages = TorvRemoteDesktopParts::Default().PendingMessages;
            // The thread makes its relays on its own thread just before it waits for
            // the programs: the place to shorten those waits without a race.
            parts.NewHostRelay = [make = parts.NewHostRelay](TorvVNCThread& owner) {
                owner.HostStartWaitMs = 0;
                return make(owner);
            };
            parts.NewViewerRelay = [make = parts.NewViewerRelay](TorvVNCThread& owner) {
                owner.ViewerStartWaitMs = 0;
                owner.ViewerPollMs = 1;
                return make(owner);
            };
            return parts;
        };
    }

    // The window (with the command line's switches) in session with the helpdesk.
    TfrmCustomer& Session(std::vector<std::string> args = {})
    {
        Open(std::move(args));
        JoinHelpdesk(ConnectAndRegister());
        return Form();
    }
    TorvRemoteDesktopFeature& Feature()
    {
        return dynamic_cast<TorvRemoteDesktopFeature&>(
            *Form().Features().Find(TorvFeatureKind::RemoteDesktop));
    }
    TorvVNCThread& Thread()
    {
        return dynamic_cast<TorvVNCThread&>(*Form().SessionChannelThread(orvRemoteDesktopChannel));
    }
    bool Reaches(TVNCState state)
    {
        return WaitFor([&] { return Thread().GetState() == state; });
    }

    // The helpdesk's channel-2 text to the customer, and the customer's to it, oldest first.
    void Tell(const std::string& text) { FHelpdesk->SendOn(orvRemoteDesktopChannel, text); }
    std::vector<std::string> Heard() { return FHelpdesk->Desktop().Texts(); }
    std::size_t TimesHeard(const std::string& text)
    {
        const std::vector<std::string> heard = Heard();
        return static_cast<std::size_t>(std::count(heard.begin(), heard.end(), text));
    }
    bool Hears(const std::string& text, std::size_t times = 1)
    {
        return WaitFor([&] { return TimesHeard(text) >= times; });
    }
    bool HeardInOrder(const std::string& first, const std::string& second)
    {
        const std::vector<std::string> heard = Heard();
        return std::find(heard.begin(), heard.end(), first) < std::find(heard.begin(), heard.end(), second);
    }
    // Channel 2 is handled in order: once the answer to an unknown text has
    // come, everything the helpdesk sent before it has been dealt with.
    bool Settled(const std::string& marker)
    {
        Tell(marker);
        return Hears("200:" + marker);
    }

    // The helpdesk's part of a handshake in which the customer shows its desktop.
    void HelpdeskWatches()
    {
        ASSERT_TRUE(Hears("1:40271953")) << ::testing::PrintToString(Heard());
        FRelays.HostSays(kHostGreeting);
        Tell("2:");
        ASSERT_TRUE(Reaches(vsConnectingAsViewer2));
        // One tick in this state: the feature keeps any promise of control here.
        Form().MainTimerTimer();
        Tell("3:");
        ASSERT_TRUE(Hears("4:")) << ::testing::PrintToString(Heard());
        ASSERT_TRUE(Reaches(vsCustomerAsViewer));
        ASSERT_TRUE(Hears(std::string("7:") + kHostGreeting));
    }

    // The start actions and button all enabled (or all disabled), the stop ones enabled.
    bool StartEnabled(bool enabled = true)
    {
        return Form().OpenVNCAsViewer->isEnabled() == enabled &&
               Form().OpenVNCAsServer->isEnabled() == enabled &&
               Form().btnShowDesktop->isEnabled() == enabled;
    }
    bool StopEnabled() { return Form().CloseVNC->isEnabled() && Form().btnHideDesktop->isEnabled(); }
    bool ViewOnlyOffered(bool offered = true)
    {
        return Form().cbViewOnly->isVisible() == offered && Form().cbViewOnly->isEnabled() == offered;
    }

    FakeRelays FRelays;
};

TEST_F(RemoteDesktopTest, TheCustomerAsksToWatchIsRefusedAsksAgainWatchesAndStops)
{
    TfrmCustomer& form = Open();
    EXPECT_TRUE(ViewOnlyOffered(false));
    EXPECT_FALSE(form.btnShowDesktop->isEnabled());
    JoinHelpdesk(ConnectAndRegister());
    ASSERT_TRUE(WaitFor([&] { return StartEnabled(); }));
    EXPECT_FALSE(StopEnabled());
    EXPECT_TRUE(ViewOnlyOffered(false));

    // Stopping outside a remote desktop sends nothing.
    Feature().CloseVNCExecute();
    form.cbViewOnly->setChecked(false);
    form.OpenVNCAsViewer->trigger();
    ASSERT_TRUE(Hears("11:0:VNCSERVER")) << ::testing::PrintToString(Heard());
    EXPECT_EQ(Heard().front(), "11:0:VNCSERVER");
    EXPECT_TRUE(form.cbViewOnly->isChecked());
    EXPECT_TRUE(Feature().RemoteDesktopRequestPending());
    ASSERT_TRUE(WaitFor([&] { return StartEnabled(false); }));
    EXPECT_FALSE(StopEnabled());

    Tell("12:17");
    ASSERT_NE(WaitForDialog(text::ViewingRefused), nullptr);
    EXPECT_TRUE(WaitFor([&] { return StartEnabled(); }));
    EXPECT_FALSE(Feature().RemoteDesktopRequestPending());

    // The same at the highest level: the user's own request is never granted by the level.
    form.RaisePermissionLevel(3, "a test");
    form.OpenVNCAsViewer->trigger();
    ASSERT_TRUE(Hears("11:0:VNCSERVER", 2));
    EXPECT_TRUE(WaitFor([&] { return StartEnabled(false); }));

    // This time the helpdesk agrees and shows its desktop.
    Tell("0:VNCCLIENT");
    ASSERT_TRUE(Reaches(vsConnectingAsViewer1));
    EXPECT_FALSE(Thread().IsServer());
    Tell("1:40271953");
    ASSERT_TRUE(Hears("3:")) << ::testing::PrintToString(Heard());
    EXPECT_TRUE(HeardInOrder("2:", "3:"));
    EXPECT_GT(FRelays.ViewerStarts, 0);
    Tell("4:");
    ASSERT_TRUE(Reaches(vsCustomerAsViewer));
    // Without a promise of control the customer hears that it can only watch.
    EXPECT_TRUE(WaitFor([] {
        const auto shown = DialogTexts();
        return std::any_of(shown.begin(), shown.end(), [](const std::string& s) {
            return s.starts_with("You can now only view remote desktop");
        });
    })) << ::testing::PrintToString(DialogTexts());
    EXPECT_TRUE(WaitFor([&] { return FRelays.ViewerSettingsPosts > 0; }));
    ASSERT_TRUE(WaitFor([&] { return StopEnabled() && StartEnabled(false); }));
    EXPECT_TRUE(ViewOnlyOffered(false));

    // View only belongs to the desktop we show: while watching, a click changes nothing.
    form.cbViewOnly->setChecked(false);
    Feature().cbViewOnlyClick();
    // A swap is no text for a running remote desktop.
    ASSERT_TRUE(Settled("8:"));
    EXPECT_TRUE(FRelays.ViewOnlyPosts().empty());
    Tell("7:picture");
    EXPECT_TRUE(WaitFor([&] { return FRelays.ToViewer() == "picture"; }));

    form.CloseVNC->trigger();
    ASSERT_TRUE(Hears("5:REMOTELYCLOSED"));
    ASSERT_TRUE(Reaches(vsConnected));
    EXPECT_TRUE(WaitFor([&] { return StartEnabled() && !StopEnabled(); }));
    EXPECT_FALSE(Feature().RemoteDesktopRequestPending());
}

// ---- the helpdesk asks to watch, by level

TEST_F(RemoteDesktopTest, LevelZeroAsksForTheDesktopAndThenForTheMouse)
{
    TfrmCustomer& form = Session();
    ASSERT_TRUE(WaitFor([&] { return StartEnabled(); }));

    // Not showing yet: a request for the mouse asks nothing; an unknown request is returned.
    Tell("11:10");
    Tell("11:0:SOMETHING");
    ASSERT_TRUE(Hears("200:11:0:SOMETHING"));
    EXPECT_FALSE(DialogShown(text::AskControl));

    Tell("11:0:VNCSERVER");
    TMessageDlg* question = WaitForDialog(text::AskViewing);
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->Kind, TorvRemoteDesktopFeature::QuestionKind);
    EXPECT_EQ(question->Command, "0:VNCSERVER");
    EXPECT_TRUE(WaitFor([&] { return StartEnabled(false); }));
    question->btnNo->click();
    EXPECT_FALSE(question->isVisible());
    ASSERT_TRUE(Hears("12:17"));
    EXPECT_TRUE(WaitFor([&] { return StartEnabled(); }));
    // Closing the question refuses as well.
    Tell("11:0:VNCSERVER");
    ASSERT_NE(question = WaitForDialog(text::AskViewing), nullptr);
    question->close();
    ASSERT_TRUE(Hears("12:17", 2));
    EXPECT_EQ(form.PermissionLevel(), 0);
    EXPECT_EQ(TimesHeard("0:VNCCLIENT"), 0u);

    Tell("11:0:VNCSERVER");
    ASSERT_NE(question = WaitForDialog(text::AskViewing), nullptr);
    question->btnYes->click();
    ASSERT_TRUE(Hears("1:40271953")) << ::testing::PrintToString(Heard());
    EXPECT_TRUE(HeardInOrder("0:VNCCLIENT", "1:40271953"));
    EXPECT_EQ(form.PermissionLevel(), 1);
    EXPECT_TRUE(Thread().IsServer());
    EXPECT_EQ(FRelays.HostStarts, 1);
    EXPECT_TRUE(form.cbViewOnly->isChecked());
    ASSERT_TRUE(WaitFor([&] { return ViewOnlyOffered() && StopEnabled() && StartEnabled(false); }));

    // Now the mouse: No keeps view-only, Yes gives the mouse and raises the level.
    Tell("11:10");
    ASSERT_NE(question = WaitForDialog(text::AskControl), nullptr);
    EXPECT_EQ(question->Command, "10");
    question->btnNo->click();
    ASSERT_TRUE(Hears("12:16"));
    EXPECT_TRUE(form.cbViewOnly->isChecked());
    Tell("11:10");
    ASSERT_NE(question = WaitForDialog(text::AskControl), nullptr);
    question->btnYes->click();
    ASSERT_TRUE(Hears("12:15"));
    EXPECT_FALSE(form.cbViewOnly->isChecked());
    EXPECT_EQ(form.PermissionLevel(), 2);
    // From remote control on there is no view-only to offer.
    EXPECT_TRUE(WaitFor([&] { return ViewOnlyOffered(false); }));

    HelpdeskWatches();
    form.btnHideDesktop->click();
    ASSERT_TRUE(Hears("5:REMOTELYCLOSED"));
    ASSERT_TRUE(Reaches(vsConnected));
    EXPECT_TRUE(WaitFor([&] { return FRelays.HostCloses > 0; }));
    EXPECT_TRUE(WaitFor([&] { return StartEnabled() && !StopEnabled(); }));
}

TEST_F(RemoteDesktopTest, LevelOneShowsWithoutAskingAndViewOnlyFollowsTheBox)
{
    TfrmCustomer& form = Session({"/ALLOWVIEWING"});
    Tell("11:0:VNCSERVER");
    ASSERT_TRUE(Hears("1:40271953")) << ::testing::PrintToString(Heard());
    EXPECT_EQ(Heard().front(), "0:VNCCLIENT");
    EXPECT_TRUE(DialogTexts().empty()) << ::testing::PrintToString(DialogTexts());
    EXPECT_EQ(form.PermissionLevel(), 1);
    HelpdeskWatches();
    EXPECT_EQ(TimesHeard("19:"), 0u);
    ASSERT_TRUE(WaitFor([&] { return ViewOnlyOffered(); }));
    EXPECT_TRUE(form.cbViewOnly->isChecked());

    // The user's clicks reach the host program.
    form.cbViewOnly->click();
    EXPECT_EQ(FRelays.ViewOnlyPosts().back(), false);
    form.cbViewOnly->click();
    EXPECT_EQ(FRelays.ViewOnlyPosts().back(), true);

    // Showing again while showing changes nothing, and neither does a second request.
    Feature().OpenVNCAsServerExecute();
    Tell("11:0:VNCSERVER");
    ASSERT_TRUE(Settled("999:x"));
    EXPECT_EQ(TimesHeard("0:VNCCLIENT"), 1u);
    EXPECT_EQ(Thread().GetState(), vsCustomerAsViewer);
    EXPECT_EQ(FRelays.HostStarts, 1);
}

TEST_F(RemoteDesktopTest, LevelTwoPromisesTheMouseAndGivesItWithoutAsking)
{
    TfrmCustomer& form = Session({"/ALLOWREMOTECONTROL"});
    Tell("11:0:VNCSERVER");
    ASSERT_TRUE(Hears("19:")) << ::testing::PrintToString(Heard());
    EXPECT_TRUE(HeardInOrder("0:VNCCLIENT", "19:"));
    EXPECT_TRUE(Feature().ControlGrantPending());
    HelpdeskWatches();
    EXPECT_TRUE(ViewOnlyOffered(false));

    // The promise holds once the host's picture runs: the next text switches view-only off.
    Tell("7:hello");
    ASSERT_TRUE(WaitFor([&] { return FRelays.ToHost() == "hello"; }));
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<bool> posts = FRelays.ViewOnlyPosts();
        return !posts.empty() && !posts.back();
    })) << ::testing::PrintToString(FRelays.ViewOnlyPosts());

    // The mouse without a question.
    form.cbViewOnly->setChecked(true);
    Tell("11:10");
    ASSERT_TRUE(Hears("12:15"));
    EXPECT_FALSE(form.cbViewOnly->isChecked());
    EXPECT_TRUE(DialogTexts().empty()) << ::testing::PrintToString(DialogTexts());
}

// ---- texts that show nothing of this desktop

TEST_F(RemoteDesktopTest, OffersToShowNoticesAndUnknownTexts)
{
    // An offer to show is taken silently at level 0 and answered from level 1.
    TfrmCustomer& form = Session();
    Tell("11:0:VNCCLIENT");
    ASSERT_TRUE(Settled("999:"));
    EXPECT_EQ(Heard(), std::vector<std::string>{"200:999:"});
    EXPECT_EQ(Thread().GetState(), vsConnectingAsViewer1);
    EXPECT_FALSE(Thread().IsServer());
    Tell("6:"); // the helpdesk gives up
    ASSERT_TRUE(Reaches(vsConnected));
    form.RaisePermissionLevel(1, "a test");
    Tell("11:0:VNCCLIENT");
    ASSERT_TRUE(Hears("0:VNCSERVER"));
    ASSERT_TRUE(Reaches(vsConnectingAsViewer1));
    EXPECT_FALSE(Thread().IsServer());
    Tell("6:");
    ASSERT_TRUE(Reaches(vsConnected));

    // Notices are shown; unknown texts returned, unless they have no code.
    Tell("12:15");
    EXPECT_NE(WaitForDialog(text::ControlGranted), nullptr);
    Tell("12:16");
    EXPECT_NE(WaitForDialog(text::ControlRefused), nullptr);
    Tell("12:The helpdesk will be back in five minutes.");
    EXPECT_NE(WaitForDialog("The helpdesk will be back in five minutes."), nullptr);
    ASSERT_TRUE(Settled("998:a:b"));
    Tell("998");
    ASSERT_TRUE(Settled("997:"));
    EXPECT_EQ(TimesHeard("200:998"), 0u);
}

TEST_F(RemoteDesktopTest, AnswersOutliveTheirSessionButDoNothingThere)
{
    TfrmCustomer& form = Session();
    Tell("11:0:VNCSERVER");
    TMessageDlg* old = WaitForDialog(text::AskViewing);
    ASSERT_NE(old, nullptr);

    // A new session: the earlier question's Yes must not show this one's desktop.
    form.btnDisconnectClick();
    FHelpdesk.reset();
    form.btNewSessionClick();
    JoinHelpdesk(ConnectAndRegister());
    Tell("11:0:VNCSERVER");
    ASSERT_TRUE(WaitFor([] { return VisibleDialogs().size() == 2; }));
    old->btnYes->click();
    EXPECT_FALSE(old->isVisible());
    ASSERT_TRUE(Settled("999:"));
    EXPECT_EQ(TimesHeard("0:VNCCLIENT"), 0u);
    EXPECT_EQ(form.PermissionLevel(), 0);
    EXPECT_EQ(Thread().GetState(), vsConnected);

    // Neither does an answer after the window has gone.
    TMessageDlg* current = DialogWith(text::AskViewing);
    ASSERT_NE(current, nullptr);
    FForm.reset();
    current->btnYes->click();
    EXPECT_FALSE(current->isVisible());
}

} // namespace

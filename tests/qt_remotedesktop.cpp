// The main window's remote-desktop controls against a real gateway: the
// helpdesk peer sends channel-2 texts and reads the customer's, and the
// relays to the host and viewer programs are fakes that note what they are
// asked to do.
#include "customer/Mainform.h"
#include "lib/orvMessageDlg.h"
#include "lib/orvRemoteDesktopFeature.h"
#include "lib/orvVNCThread.h"
#include "tests/support_qt/SessionFixture.h"

#include <QAction>
#include <QCheckBox>
#include <QPushButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using orvtest::DialogShown;
using orvtest::DialogTexts;
using orvtest::DialogWith;
using orvtest::THelpdesk;
using orvtest::WaitFor;
namespace text = orvRemoteDesktopText;

constexpr const char* kPassword = "40271953";
constexpr const char* kHostGreeting = "RFB 003.008";

// What the fake relays and program windows were asked to do. They run on the
// channel thread (view-only also on the GUI thread); the test reads on the GUI thread.
class TDesktopLog
{
public:
    void Add(std::string event)
    {
        std::lock_guard lock(FMutex);
        FEvents.push_back(std::move(event));
    }
    std::vector<std::string> Events()
    {
        std::lock_guard lock(FMutex);
        return FEvents;
    }
    bool Has(const std::string& event)
    {
        const std::vector<std::string> events = Events();
        return std::find(events.begin(), events.end(), event) != events.end();
    }
    // The host's view-only messages, oldest first.
    std::vector<std::string> HostViewOnly()
    {
        std::vector<std::string> calls;
        for (const std::string& event : Events())
            if (event.starts_with("host view only"))
                calls.push_back(event);
        return calls;
    }

private:
    std::mutex FMutex;
    std::vector<std::string> FEvents;
};

class TFakeHost : public TorvHostRelay
{
public:
    explicit TFakeHost(std::shared_ptr<TDesktopLog> log) : FLog(std::move(log)) {}
    void StartVNCServer() override { FLog->Add("host started"); }
    std::string HostPassword() const override { return kPassword; }
    void ConnectToVNCServer() override { FConnected = true; }
    bool IsConnected() override { return FConnected; }
    // A connected host greets once: the thread counts the picture as running from then on.
    std::string ReadFromServer() override
    {
        if (!FConnected || FGreeted)
            return {};
        FGreeted = true;
        return kHostGreeting;
    }
    void SendToServer(const std::string& bytes) override { FLog->Add("to host " + bytes); }
    void SetConnected(bool) override {}
    void CloseVNCServer() override { FLog->Add("host closed"); }

private:
    std::shared_ptr<TDesktopLog> FLog;
    bool FConnected = false;
    bool FGreeted = false;
};

class TFakeViewer : public TorvViewerRelay
{
public:
    explicit TFakeViewer(std::shared_ptr<TDesktopLog> log) : FLog(std::move(log)) {}
    void StartVNCViewer() override { FLog->Add("viewer started"); }
    bool IsViewerConnected() override { return true; }
    std::string ReadFromViewer() override { return {}; }
    void SendToViewer(const std::string& bytes) override { FLog->Add("to viewer " + bytes); }
    void SetActive(bool) override {}

private:
    std::shared_ptr<TDesktopLog> FLog;
};

TorvRemoteDesktopParts FakeParts(const std::shared_ptr<TDesktopLog>& log)
{
    // Whatever is not faked here stays real.
    TorvRemoteDesktopParts parts = TorvRemoteDesktopParts::Default();
    // The thread makes its relays on its own thread just before it waits for
    // the programs: the place to shorten those waits without a race.
    parts.NewHostRelay = [log](TorvVNCThread& owner) -> std::unique_ptr<TorvHostRelay> {
        owner.HostStartWaitMs = 0;
        return std::make_unique<TFakeHost>(log);
    };
    parts.NewViewerRelay = [log](TorvVNCThread& owner) -> std::unique_ptr<TorvViewerRelay> {
        owner.ViewerStartWaitMs = 0;
        owner.ViewerPollMs = 1;
        return std::make_unique<TFakeViewer>(log);
    };
    parts.PostHostViewOnly = [log](bool on) {
        log->Add(on ? "host view only on" : "host view only off");
        return true;
    };
    parts.PostViewerSettings = [log] {
        log->Add("viewer settings");
        return true;
    };
    return parts;
}

class RemoteDesktopTest : public orvtest::SessionTest
{
protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        FEnv.RemoteDesktopParts = [log = FLog] { return FakeParts(log); };
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
        auto* feature =
            dynamic_cast<TorvRemoteDesktopFeature*>(Form().Features().Find(TorvFeatureKind::RemoteDesktop));
        EXPECT_NE(feature, nullptr);
        return *feature;
    }

    TorvVNCThread& Thread()
    {
        auto* thread = dynamic_cast<TorvVNCThread*>(Form().SessionChannelThread(orvRemoteDesktopChannel));
        EXPECT_NE(thread, nullptr);
        return *thread;
    }

    bool Reaches(TVNCState state)
    {
        return WaitFor([&] { return Thread().GetState() == state; });
    }

    // The helpdesk's channel-2 text to the customer.
    void Tell(const std::string& text) { FHelpdesk->SendOn(orvRemoteDesktopChannel, text); }

    // The customer's channel-2 texts to the helpdesk, oldest first.
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
    std::ptrdiff_t Position(const std::string& text)
    {
        const std::vector<std::string> heard = Heard();
        return std::find(heard.begin(), heard.end(), text) - heard.begin();
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
        ASSERT_TRUE(Hears(std::string("1:") + kPassword)) << ::testing::PrintToString(Heard());
        Tell("2:");
        ASSERT_TRUE(Reaches(vsConnectingAsViewer2));
        // One tick in this state: the feature keeps any promise of control here.
        Form().MainTimerTimer();
        Tell("3:");
        ASSERT_TRUE(Hears("4:")) << ::testing::PrintToString(Heard());
        ASSERT_TRUE(Reaches(vsCustomerAsViewer));
        ASSERT_TRUE(Hears(std::string("7:") + kHostGreeting)) << ::testing::PrintToString(FLog->Events());
    }

    bool StartEnabled()
    {
        return Form().OpenVNCAsViewer->isEnabled() && Form().OpenVNCAsServer->isEnabled() &&
               Form().btnShowDesktop->isEnabled();
    }
    bool StartDisabled()
    {
        return !Form().OpenVNCAsViewer->isEnabled() && !Form().OpenVNCAsServer->isEnabled() &&
               !Form().btnShowDesktop->isEnabled();
    }
    bool StopEnabled() { return Form().CloseVNC->isEnabled() && Form().btnHideDesktop->isEnabled(); }
    bool ViewOnlyOffered() { return Form().cbViewOnly->isVisible() && Form().cbViewOnly->isEnabled(); }
    bool ViewOnlyHidden() { return !Form().cbViewOnly->isVisible() && !Form().cbViewOnly->isEnabled(); }

    std::shared_ptr<TDesktopLog> FLog = std::make_shared<TDesktopLog>();
};

TMessageDlg* WaitForDialog(const char* shown)
{
    EXPECT_TRUE(WaitFor([&] { return DialogShown(shown); })) << ::testing::PrintToString(DialogTexts());
    return DialogWith(shown);
}

// ---------------------------------------------------------------------------
// The customer asks to watch
// ---------------------------------------------------------------------------

TEST_F(RemoteDesktopTest, ViewingRequestHoldsTheStartButtonsUntilAnswered)
{
    TfrmCustomer& form = Open();
    EXPECT_TRUE(ViewOnlyHidden());
    EXPECT_FALSE(form.btnShowDesktop->isEnabled());
    JoinHelpdesk(ConnectAndRegister());
    ASSERT_TRUE(WaitFor([&] { return StartEnabled(); }));
    EXPECT_FALSE(StopEnabled());
    EXPECT_TRUE(ViewOnlyHidden());

    // Stopping outside a remote desktop sends nothing.
    Feature().CloseVNCExecute();
    form.cbViewOnly->setChecked(false);
    form.OpenVNCAsViewer->trigger();
    ASSERT_TRUE(Hears("11:0:VNCSERVER")) << ::testing::PrintToString(Heard());
    EXPECT_EQ(Heard().front(), "11:0:VNCSERVER");
    EXPECT_TRUE(form.cbViewOnly->isChecked());
    EXPECT_TRUE(Feature().RemoteDesktopRequestPending());
    ASSERT_TRUE(WaitFor([&] { return StartDisabled(); }));
    EXPECT_FALSE(StopEnabled());

    Tell("12:17");
    ASSERT_NE(WaitForDialog(text::ViewingRefused), nullptr);
    EXPECT_TRUE(WaitFor([&] { return StartEnabled(); }));
    EXPECT_FALSE(Feature().RemoteDesktopRequestPending());

    // The same at the highest level: the user's own request is never granted by the level.
    form.RaisePermissionLevel(3);
    form.OpenVNCAsViewer->trigger();
    ASSERT_TRUE(Hears("11:0:VNCSERVER", 2));
    EXPECT_TRUE(WaitFor([&] { return StartDisabled(); }));
}

TEST_F(RemoteDesktopTest, WatchingTheHelpdeskThenStopping)
{
    TfrmCustomer& form = Open();
    JoinHelpdesk(ConnectAndRegister());
    form.OpenVNCAsViewer->trigger();
    ASSERT_TRUE(Hears("11:0:VNCSERVER"));

    // The helpdesk agrees and shows its desktop.
    Tell("0:VNCCLIENT");
    ASSERT_TRUE(Reaches(vsConnectingAsViewer1));
    EXPECT_FALSE(Thread().IsServer());
    Tell(std::string("1:") + kPassword);
    ASSERT_TRUE(Hears("3:")) << ::testing::PrintToString(Heard());
    EXPECT_LT(Position("2:"), Position("3:"));
    EXPECT_TRUE(FLog->Has("viewer started"));
    Tell("4:");
    ASSERT_TRUE(Reaches(vsCustomerAsViewer));
    // Without a promise of control the customer hears that it can only watch.
    EXPECT_TRUE(WaitFor([] {
        for (const std::string& shown : DialogTexts())
            if (shown.starts_with("You can now only view remote desktop"))
                return true;
        return false;
    })) << ::testing::PrintToString(DialogTexts());
    EXPECT_TRUE(WaitFor([&] { return FLog->Has("viewer settings"); }));
    ASSERT_TRUE(WaitFor([&] { return StopEnabled() && StartDisabled(); }));
    EXPECT_TRUE(ViewOnlyHidden());

    // View only belongs to the desktop we show: while watching, a click changes nothing.
    form.cbViewOnly->setChecked(false);
    Feature().cbViewOnlyClick();
    // A swap is no text for a running remote desktop.
    ASSERT_TRUE(Settled("8:"));
    EXPECT_TRUE(FLog->HostViewOnly().empty()) << ::testing::PrintToString(FLog->Events());
    Tell("7:picture");
    EXPECT_TRUE(WaitFor([&] { return FLog->Has("to viewer picture"); }));

    form.CloseVNC->trigger();
    ASSERT_TRUE(Hears("5:REMOTELYCLOSED"));
    ASSERT_TRUE(Reaches(vsConnected));
    EXPECT_TRUE(WaitFor([&] { return StartEnabled() && !StopEnabled(); }));
    EXPECT_FALSE(Feature().RemoteDesktopRequestPending());
}

// ---------------------------------------------------------------------------
// The helpdesk asks to watch, by level
// ---------------------------------------------------------------------------

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
    EXPECT_TRUE(WaitFor([&] { return StartDisabled(); }));
    question->btnNo->click();
    EXPECT_FALSE(question->isVisible());
    ASSERT_TRUE(Hears("12:17"));
    EXPECT_TRUE(WaitFor([&] { return StartEnabled(); }));

    // Closing the question refuses as well.
    Tell("11:0:VNCSERVER");
    question = WaitForDialog(text::AskViewing);
    ASSERT_NE(question, nullptr);
    question->close();
    ASSERT_TRUE(Hears("12:17", 2));
    EXPECT_EQ(form.PermissionLevel(), 0);
    EXPECT_EQ(TimesHeard("0:VNCCLIENT"), 0u);

    Tell("11:0:VNCSERVER");
    question = WaitForDialog(text::AskViewing);
    ASSERT_NE(question, nullptr);
    question->btnYes->click();
    ASSERT_TRUE(Hears(std::string("1:") + kPassword)) << ::testing::PrintToString(Heard());
    EXPECT_LT(Position("0:VNCCLIENT"), Position(std::string("1:") + kPassword));
    EXPECT_EQ(form.PermissionLevel(), 1);
    EXPECT_TRUE(Thread().IsServer());
    EXPECT_TRUE(FLog->Has("host started"));
    EXPECT_TRUE(form.cbViewOnly->isChecked());
    ASSERT_TRUE(WaitFor([&] { return ViewOnlyOffered() && StopEnabled() && StartDisabled(); }));

    // Now the mouse: No keeps view-only, Yes gives the mouse and raises the level.
    Tell("11:10");
    question = WaitForDialog(text::AskControl);
    ASSERT_NE(question, nullptr);
    EXPECT_EQ(question->Command, "10");
    question->btnNo->click();
    ASSERT_TRUE(Hears("12:16"));
    EXPECT_TRUE(form.cbViewOnly->isChecked());
    Tell("11:10");
    question = WaitForDialog(text::AskControl);
    ASSERT_NE(question, nullptr);
    question->btnYes->click();
    ASSERT_TRUE(Hears("12:15"));
    EXPECT_FALSE(form.cbViewOnly->isChecked());
    EXPECT_EQ(form.PermissionLevel(), 2);
    // From remote control on there is no view-only to offer.
    EXPECT_TRUE(WaitFor([&] { return ViewOnlyHidden(); }));

    HelpdeskWatches();
    form.btnHideDesktop->click();
    ASSERT_TRUE(Hears("5:REMOTELYCLOSED"));
    ASSERT_TRUE(Reaches(vsConnected));
    EXPECT_TRUE(WaitFor([&] { return FLog->Has("host closed"); }));
    EXPECT_TRUE(WaitFor([&] { return StartEnabled() && !StopEnabled(); }));
}

TEST_F(RemoteDesktopTest, LevelOneShowsWithoutAskingAndViewOnlyFollowsTheBox)
{
    TfrmCustomer& form = Session({"/ALLOWVIEWING"});
    Tell("11:0:VNCSERVER");
    ASSERT_TRUE(Hears(std::string("1:") + kPassword)) << ::testing::PrintToString(Heard());
    EXPECT_EQ(Heard().front(), "0:VNCCLIENT");
    EXPECT_TRUE(DialogTexts().empty()) << ::testing::PrintToString(DialogTexts());
    EXPECT_EQ(form.PermissionLevel(), 1);
    HelpdeskWatches();
    EXPECT_EQ(TimesHeard("19:"), 0u);
    ASSERT_TRUE(WaitFor([&] { return ViewOnlyOffered(); }));
    EXPECT_TRUE(form.cbViewOnly->isChecked());

    // The user's clicks reach the host program.
    form.cbViewOnly->click();
    EXPECT_EQ(FLog->HostViewOnly().back(), "host view only off");
    form.cbViewOnly->click();
    EXPECT_EQ(FLog->HostViewOnly().back(), "host view only on");

    // Showing again while showing changes nothing, and neither does a second request.
    Feature().OpenVNCAsServerExecute();
    Tell("11:0:VNCSERVER");
    ASSERT_TRUE(Settled("999:x"));
    EXPECT_EQ(TimesHeard("0:VNCCLIENT"), 1u);
    EXPECT_EQ(Thread().GetState(), vsCustomerAsViewer);
    const std::vector<std::string> events = FLog->Events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "host started"), 1);
}

TEST_F(RemoteDesktopTest, LevelTwoPromisesTheMouseAndGivesItWithoutAsking)
{
    TfrmCustomer& form = Session({"/ALLOWREMOTECONTROL"});
    Tell("11:0:VNCSERVER");
    ASSERT_TRUE(Hears("19:")) << ::testing::PrintToString(Heard());
    EXPECT_LT(Position("0:VNCCLIENT"), Position("19:"));
    EXPECT_TRUE(Feature().ControlGrantPending());
    HelpdeskWatches();
    EXPECT_TRUE(ViewOnlyHidden());

    // The promise holds once the host's picture runs: the next text switches view-only off.
    Tell("7:hello");
    ASSERT_TRUE(WaitFor([&] { return FLog->Has("to host hello"); }));
    ASSERT_TRUE(WaitFor([&] {
        const std::vector<std::string> calls = FLog->HostViewOnly();
        return !calls.empty() && calls.back() == "host view only off";
    })) << ::testing::PrintToString(FLog->Events());

    // The mouse without a question.
    form.cbViewOnly->setChecked(true);
    Tell("11:10");
    ASSERT_TRUE(Hears("12:15"));
    EXPECT_FALSE(form.cbViewOnly->isChecked());
    EXPECT_TRUE(DialogTexts().empty()) << ::testing::PrintToString(DialogTexts());
}

// ---------------------------------------------------------------------------
// The helpdesk offers to show
// ---------------------------------------------------------------------------

TEST_F(RemoteDesktopTest, OfferToShowIsTakenSilentlyAtLevelZeroAndAnsweredFromLevelOne)
{
    TfrmCustomer& form = Session();
    Tell("11:0:VNCCLIENT");
    ASSERT_TRUE(Settled("999:"));
    EXPECT_EQ(Heard(), std::vector<std::string>{"200:999:"});
    EXPECT_EQ(Thread().GetState(), vsConnectingAsViewer1);
    EXPECT_FALSE(Thread().IsServer());

    // The helpdesk gives up; then, one level up, the customer says it will watch.
    Tell("6:");
    ASSERT_TRUE(Reaches(vsConnected));
    form.RaisePermissionLevel(1);
    Tell("11:0:VNCCLIENT");
    ASSERT_TRUE(Hears("0:VNCSERVER"));
    ASSERT_TRUE(Reaches(vsConnectingAsViewer1));
    EXPECT_FALSE(Thread().IsServer());
}

// ---------------------------------------------------------------------------
// Other texts of the channel
// ---------------------------------------------------------------------------

TEST_F(RemoteDesktopTest, NoticesAreShownAndUnknownTextsReturned)
{
    Session();
    Tell("12:15");
    EXPECT_NE(WaitForDialog(text::ControlGranted), nullptr);
    Tell("12:16");
    EXPECT_NE(WaitForDialog(text::ControlRefused), nullptr);
    Tell("12:The helpdesk will be back in five minutes.");
    EXPECT_NE(WaitForDialog("The helpdesk will be back in five minutes."), nullptr);
    ASSERT_TRUE(Settled("998:a:b"));
    // A text without a colon has no code: nothing to answer.
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
    ASSERT_TRUE(WaitFor([] { return orvtest::VisibleDialogs().size() == 2; }));
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

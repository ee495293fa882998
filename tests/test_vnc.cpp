// The remote-desktop channel between the customer's and the helpdesk's
// channel threads through the development gateway. Relays without programs
// behind them stand in for the host and the viewer, so these tests are about
// the handshake, the batching and the failures, not about RFB.
#include "lib/debugProc.h"
#include "lib/orvAppUtils.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvOSUtils.h"
#include "lib/orvThreads.h"
#include "lib/orvVNCThread.h"
#include "tests/support/ChannelCollector.h"
#include "tests/support/FakeRelays.h"
#include "tests/support/GatewaySuite.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SessionUtil.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>

using namespace orvtest;
using namespace std::chrono_literals;

namespace {

constexpr const char* kOnlyView =
    "12:You can now only view remote desktop but you can\u00B4t use the remote mouse or "
    "keyboard. Remote user can enable mouse and keyboard for you.";

// Short handshake waits: the fakes are there at once.
std::unique_ptr<TorvVNCThread> NewThread(FakeRelays& relays)
{
    auto thread = std::make_unique<TorvVNCThread>(relays.Parts());
    thread->HostStartWaitMs = 0;
    thread->ViewerStartWaitMs = 0;
    thread->ViewerPollMs = 10;
    thread->ViewerPollCount = 5;
    return thread;
}

// The thread's entries for its main window, taken; waits until count have come.
std::vector<std::string> TakeUnhandled(TorvVNCThread& thread, std::size_t count = 0)
{
    std::vector<std::string> entries;
    ServeUntil([&] {
        for (std::string e = thread.GetUnhandledCommand(); !e.empty(); e = thread.GetUnhandledCommand())
            entries.push_back(std::move(e));
        return entries.size() >= count;
    });
    return entries;
}

bool Contains(const std::vector<std::string>& list, const std::string& text)
{
    return std::find(list.begin(), list.end(), text) != list.end();
}

class RemoteDesktop : public GatewaySuite
{
protected:
    // The customer registered with its remote-desktop thread.
    void SetUp() override
    {
        FSettings = FDir.File("orvcustomer.ini");
        Gateway->WriteClientSettings(FSettings);
        FCustomer = JoinSession(FSettings, 0, orvKindCustomer);
        ASSERT_TRUE(FCustomer);
        Thread = &orvStartChannelThread(*FCustomer, orvRemoteDesktopChannel, NewThread(Relays));
    }

    // The helpdesk joins with a thread of its own on channel 2: a collector of
    // raw texts, or a remote-desktop thread of its own.
    void JoinHelpdesk(std::unique_ptr<TorvChannelThread> thread)
    {
        FHelpdesk = JoinSession(FSettings, FCustomer->SessionIdentifier(), orvKindHelpdesk);
        ASSERT_TRUE(FHelpdesk);
        FHelpdesk->AddChannelThread(std::move(thread));
        FHelpdesk->FindChannelThread(orvRemoteDesktopChannel)->Start();
        ASSERT_TRUE(ServeUntil([&] { return Thread->GetState() != vsDisconnected; }));
    }

    void JoinRawHelpdesk()
    {
        auto peer = std::make_unique<ChannelCollector>();
        peer->SetChannel(orvRemoteDesktopChannel);
        Peer = peer.get();
        JoinHelpdesk(std::move(peer));
    }

    void TearDown() override
    {
        FHelpdesk.reset();
        FCustomer.reset();
    }

    void PeerSays(const std::string& text) { FHelpdesk->Send(orvRemoteDesktopChannel, text); }

    // Waits until the peer has got the text; true when it came.
    bool PeerGets(const std::string& text)
    {
        return ServeUntil([&] { return Peer->HasReceived(text); });
    }

    bool StateBecomes(TorvVNCThread& thread, TVNCState state)
    {
        return ServeUntil([&] { return thread.GetState() == state; });
    }

    // "Show your desktop", as the main window starts it.
    void ShowDesktop()
    {
        Thread->SetIsServer(true);
        ASSERT_TRUE(Thread->Send("0:VNCCLIENT"));
        Thread->AddMessage("0:VNCSERVER");
    }

    // The customer shows its desktop, the raw peer plays the watching side.
    void RunAsShower()
    {
        ShowDesktop();
        ASSERT_TRUE(PeerGets("0:VNCCLIENT"));
        ASSERT_TRUE(PeerGets("1:40271953"));
        PeerSays("2:");
        PeerSays("3:");
        ASSERT_TRUE(PeerGets("4:"));
        ASSERT_TRUE(StateBecomes(*Thread, vsCustomerAsViewer));
    }

    // The "7:" texts the peer got, their data only.
    std::vector<std::string> PeerData()
    {
        std::vector<std::string> data;
        for (const std::string& t : Peer->Texts())
            if (t.rfind("7:", 0) == 0)
                data.push_back(t.substr(2));
        return data;
    }

    TempDir FDir;
    std::string FSettings;
    FakeRelays Relays;
    FakeRelays HelpdeskRelays; // for a helpdesk with a remote-desktop thread of its own
    std::unique_ptr<TorvConnection> FCustomer;
    std::unique_ptr<TorvConnection> FHelpdesk;
    TorvVNCThread* Thread = nullptr;
    ChannelCollector* Peer = nullptr;
};

TEST_F(RemoteDesktop, BothRolesRunBetweenTwoThreadsCarryBytesAndEndOnFive)
{
    auto helpdesk = NewThread(HelpdeskRelays);
    TorvVNCThread& other = *helpdesk;
    helpdesk->SetChannel(orvRemoteDesktopChannel);
    JoinHelpdesk(std::move(helpdesk));
    ASSERT_TRUE(StateBecomes(other, vsConnected));
    TakeUnhandled(*Thread);
    TakeUnhandled(other);

    ShowDesktop();
    ASSERT_TRUE(StateBecomes(*Thread, vsCustomerAsViewer));
    ASSERT_TRUE(StateBecomes(other, vsCustomerAsViewer));
    EXPECT_FALSE(other.IsServer());
    EXPECT_EQ(Relays.HostStarts, 1);
    EXPECT_EQ(HelpdeskRelays.ViewerStarts, 1);
    EXPECT_TRUE(Contains(TakeUnhandled(*Thread), "13:"));
    ASSERT_TRUE(ServeUntil([&] { return Contains(TakeUnhandled(other), kOnlyView); }));
    // Once running, "0" is refused and "5" is not.
    EXPECT_FALSE(Thread->Send("0:VNCCLIENT"));

    // Bytes of every value, both ways.
    const std::string greeting("RFB 003.006\n\x00\xFF", 14);
    Relays.HostSays(greeting);
    ASSERT_TRUE(ServeUntil([&] { return HelpdeskRelays.ToViewer() == greeting; }));
    HelpdeskRelays.ViewerSays(std::string("\x00\x01 pointer", 10));
    ASSERT_TRUE(ServeUntil([&] { return Relays.ToHost() == std::string("\x00\x01 pointer", 10); }));

    // The watching side stops.
    ASSERT_TRUE(other.Send("5:REMOTELYCLOSED"));
    other.AddMessage("5:");
    ASSERT_TRUE(StateBecomes(*Thread, vsConnected));
    ASSERT_TRUE(StateBecomes(other, vsConnected));
    EXPECT_TRUE(ServeUntil([&] { return Relays.LiveRelays == 0 && HelpdeskRelays.LiveRelays == 0; }));
    EXPECT_GE(Relays.HostCloses, 1);
    EXPECT_FALSE(Thread->Send("5:REMOTELYCLOSED"));

    // The other way round; control promised beforehand suppresses the notice.
    TakeUnhandled(*Thread);
    other.SetIsServer(true);
    ASSERT_TRUE(other.Send("19:"));
    ASSERT_TRUE(other.Send("0:VNCCLIENT"));
    other.AddMessage("0:VNCSERVER");
    ASSERT_TRUE(StateBecomes(other, vsCustomerAsViewer));
    ASSERT_TRUE(StateBecomes(*Thread, vsCustomerAsViewer));
    EXPECT_FALSE(Thread->IsServer());
    HelpdeskRelays.HostSays("frame");
    ASSERT_TRUE(ServeUntil([&] { return Relays.ToViewer() == "frame"; }));
    EXPECT_FALSE(Contains(TakeUnhandled(*Thread), kOnlyView));
    EXPECT_GE(Relays.ViewerSettingsPosts, 1); // the viewer's window was looked for once running
}

TEST_F(RemoteDesktop, ATextInTheWrongStateFailsTheHandshakeWithTheExactText)
{
    JoinRawHelpdesk();
    TakeUnhandled(*Thread);

    ShowDesktop();
    ASSERT_TRUE(PeerGets("1:40271953"));
    EXPECT_TRUE(Thread->IsServer());
    EXPECT_FALSE(Thread->Send("0:VNCCLIENT")); // not "Connected" any more
    Thread->AddMessage("0:VNCSERVER");
    ASSERT_TRUE(PeerGets("6:Received 0:VNCSERVER message. State was ConnectingAsViewer1"));
    // Failed for one pass, then back at "Connected" without relays.
    ASSERT_TRUE(StateBecomes(*Thread, vsConnected));
    EXPECT_EQ(Relays.LiveRelays, 0);
    const std::vector<std::string> notices = TakeUnhandled(*Thread);
    EXPECT_TRUE(Contains(notices, "12:Failed to show your desktop to remote user.")) << notices.size();
    EXPECT_TRUE(Contains(notices, "18:"));

    // In "Connected" an unexpected text costs only itself.
    PeerSays("3:");
    PeerSays("9:");
    ASSERT_TRUE(PeerGets("9:OK"));
    EXPECT_EQ(Thread->GetState(), vsConnected);
    EXPECT_FALSE(Peer->HasReceived("6:Received 3: message. State was Connected"));
}

TEST_F(RemoteDesktop, SwapsControlAnswersAndNoticesOfTheOtherSide)
{
    JoinRawHelpdesk();

    PeerSays("8:");
    ASSERT_TRUE(PeerGets("8:OK"));
    EXPECT_FALSE(Thread->IsServer());
    PeerSays("9:");
    ASSERT_TRUE(PeerGets("9:OK"));
    EXPECT_TRUE(Thread->IsServer());
    PeerSays("9:OK");
    PeerSays("8:later");
    PeerSays("10:14");
    ASSERT_TRUE(PeerGets("12:16"));
    EXPECT_FALSE(Thread->IsServer()); // "9:OK": this side watches; "8:later" changed nothing
    Thread->AddMessage("10:13");      // the user's grant
    ASSERT_TRUE(PeerGets("12:15"));
    PeerSays("10:99");

    TakeUnhandled(*Thread);
    PeerSays("200:11:10");
    PeerSays("200:8:");
    PeerSays("11:0:VNCSERVER");
    PeerSays("12:15");
    PeerSays("44");
    EXPECT_EQ(
        TakeUnhandled(*Thread, 5),
        (std::vector<std::string>{
            "12:The application was unable to ask permission to enable you the usage of remote desktops "
            "mouse and keyboard. Only remote user can change this setting (view only) in remote "
            "computers application.",
            "12:The remote computer's program was unable to respond to command 8:",
            "11:0:VNCSERVER",
            "12:15",
            "44",
        }));
    EXPECT_FALSE(Peer->HasReceived("12:15:") || Peer->HasReceived("12:16:"));
}

TEST_F(RemoteDesktop, ARequestSentAtOnceAfterTheHelpdeskJoinsIsNotLost)
{
    // Arrived before the customer's command thread has seen the helpdesk join.
    Thread->AddMessage("0:VNCCLIENT");
    JoinRawHelpdesk();
    ASSERT_TRUE(StateBecomes(*Thread, vsConnectingAsViewer1));
    EXPECT_FALSE(Thread->IsServer());
    PeerSays("1:40271953");
    EXPECT_TRUE(PeerGets("2:"));
    EXPECT_TRUE(PeerGets("3:"));
}

TEST_F(RemoteDesktop, HostBytesLeaveInPiecesOfAtMost1024AfterTheFlushRules)
{
    JoinRawHelpdesk();
    RunAsShower();
    ASSERT_FALSE(HasFatalFailure());

    const std::string burst(2500, 'b');
    Relays.HostSays(burst);
    ASSERT_TRUE(ServeUntil([&] { return PeerData().size() == 3; }));
    EXPECT_EQ(PeerData(),
              (std::vector<std::string>{burst.substr(0, 1024), burst.substr(0, 1024), burst.substr(0, 452)}));

    // A small chunk into an empty buffer waits for its deadline.
    const auto put = std::chrono::steady_clock::now();
    Relays.HostSays("0123456789");
    ASSERT_TRUE(ServeUntil([&] { return PeerData().size() == 4; }));
    EXPECT_GE(std::chrono::steady_clock::now() - put, 95ms);
    EXPECT_EQ(PeerData().back(), "0123456789");
    Relays.HostSays(std::string(60, 's'));
    ASSERT_TRUE(ServeUntil([&] { return PeerData().size() == 5; }));
    EXPECT_EQ(PeerData().back(), std::string(60, 's'));

    // While the transport holds messages nothing leaves; then all of it does.
    Relays.Pending = 3;
    std::string held;
    for (int i = 0; i < 6; ++i) {
        const std::string chunk(500, static_cast<char>('A' + i));
        held += chunk;
        const int reads = Relays.HostReads;
        Relays.HostSays(chunk);
        ASSERT_TRUE(ServeUntil([&] { return Relays.HostReads >= reads + 2; })); // read, and forwarded again
    }
    EXPECT_EQ(PeerData().size(), 5u);
    Relays.Pending = 0;
    ASSERT_TRUE(ServeUntil([&] { return PeerData().size() == 8; }));
    const std::vector<std::string> data = PeerData();
    EXPECT_EQ(data[5] + data[6] + data[7], held);
    EXPECT_EQ(data[5].size(), 1024u);
    EXPECT_EQ(data[6].size(), 1024u);
    EXPECT_EQ(data[7].size(), 952u);
}

TEST_F(RemoteDesktop, BytesHeldBackWhenADesktopEndsNeverReachTheNextOne)
{
    JoinRawHelpdesk();
    RunAsShower();
    ASSERT_FALSE(HasFatalFailure());

    // The transport holds messages, so the host's last bytes wait here...
    Relays.Pending = 1;
    const int reads = Relays.HostReads;
    Relays.HostSays(std::string(80, 'x'));
    ASSERT_TRUE(ServeUntil([&] { return Relays.HostReads >= reads + 2; }));
    // ...when the helpdesk ends the desktop.
    PeerSays("5:REMOTELYCLOSED");
    ASSERT_TRUE(StateBecomes(*Thread, vsConnected));
    Relays.Pending = 0;

    // The next desktop, the other way round, starts with the new stream only.
    PeerSays("0:VNCCLIENT");
    PeerSays("1:40271953");
    ASSERT_TRUE(PeerGets("3:"));
    PeerSays("4:");
    ASSERT_TRUE(StateBecomes(*Thread, vsCustomerAsViewer));
    Relays.ViewerSays("RFB 003.003\n");
    ASSERT_TRUE(PeerGets("7:RFB 003.003\n"));
    EXPECT_EQ(PeerData(), std::vector<std::string>{"RFB 003.003\n"});
}

TEST_F(RemoteDesktop, MissingProgramsFailTheHandshakeAndTheChannelRecovers)
{
    JoinRawHelpdesk();

    // A viewer that never connects.
    Relays.ViewerConnects = false;
    PeerSays("0:VNCCLIENT");
    PeerSays("1:whatever");
    ASSERT_TRUE(PeerGets("2:"));
    ASSERT_TRUE(PeerGets("6:Unable to execute orvviewer.exe"));
    ASSERT_TRUE(PeerGets("3:"));
    ASSERT_TRUE(StateBecomes(*Thread, vsConnected));
    EXPECT_EQ(Relays.LiveRelays, 0);
    EXPECT_TRUE(Contains(TakeUnhandled(*Thread), "12:Failed to view remote desktop."));

    // A host that does not answer: no "4:" that would leave the viewer waiting.
    Relays.HostConnects = false;
    ShowDesktop();
    ASSERT_TRUE(PeerGets("1:40271953"));
    PeerSays("2:");
    PeerSays("3:");
    ASSERT_TRUE(PeerGets("6:Unable to execute orvserver.exe"));
    ASSERT_TRUE(StateBecomes(*Thread, vsConnected));
    EXPECT_FALSE(Peer->HasReceived("4:"));

    // A host that cannot even be started still sends "1:", with no password.
    Relays.HostStartFails = true;
    ShowDesktop();
    EXPECT_TRUE(PeerGets("1:"));
}

TEST_F(RemoteDesktop, AMissingProgramFailsAtOnceAndTellsTheUserWhatToInstall)
{
    JoinRawHelpdesk();
    Relays.ProgramsMissing = true;

    // Showing: the other side hears of the failure before any password.
    ShowDesktop();
    ASSERT_TRUE(PeerGets("6:Unable to execute orvserver.exe"));
    ASSERT_TRUE(StateBecomes(*Thread, vsConnected));
    for (const std::string& t : Peer->Texts())
        EXPECT_NE(t.rfind("1:", 0), 0u) << "a host password after the failure: " << t;
    EXPECT_TRUE(Contains(TakeUnhandled(*Thread, 1),
                         "12:Failed to show your desktop to remote user.\n\nx11vnc is not installed"));
    EXPECT_EQ(Thread->RunsStarted(), 0u); // the desktop was never shown

    // Watching: the same, with the viewer's program named.
    PeerSays("0:VNCCLIENT");
    PeerSays("1:whatever");
    ASSERT_TRUE(PeerGets("6:Unable to execute orvviewer.exe"));
    ASSERT_TRUE(StateBecomes(*Thread, vsConnected));
    EXPECT_TRUE(Contains(TakeUnhandled(*Thread, 1),
                         "12:Failed to view remote desktop.\n\nxtigervncviewer is not installed"));
}

TEST_F(RemoteDesktop, TheOtherSideCanOnlyAskToSeeThisDesktopOrToUseIt)
{
    JoinRawHelpdesk();
    TakeUnhandled(*Thread);

    // Texts that would show this desktop or hand over its control become
    // requests for the main window, whatever the role or the state.
    PeerSays("0:VNCSERVER");
    PeerSays("9:");
    ASSERT_TRUE(PeerGets("9:OK"));
    PeerSays("0:");
    PeerSays("10:13");
    EXPECT_EQ(TakeUnhandled(*Thread, 3),
              (std::vector<std::string>{"11:0:VNCSERVER", "11:0:VNCSERVER", "11:10"}));
    EXPECT_EQ(Relays.HostStarts, 0);
    EXPECT_EQ(Thread->GetState(), vsConnected);
    EXPECT_FALSE(Peer->HasReceived("12:15"));

    // Asked to watch is fine: that shows nothing of this computer.
    PeerSays("0:VNCCLIENT");
    ASSERT_TRUE(StateBecomes(*Thread, vsConnectingAsViewer1));
    EXPECT_FALSE(Thread->IsServer());
}

TEST_F(RemoteDesktop, AnErrorWhileHandlingOneTextIsLoggedAndTheNextIsHandled)
{
    JoinRawHelpdesk();
    TLogCapture log;
    // Looking for the host's window fails after every text once the desktop runs.
    Relays.WindowPostFails = true;
    RunAsShower();
    Thread->AddMessage("10:13");
    EXPECT_TRUE(PeerGets("12:15"));
    EXPECT_NE(log.Text().find("Error in TorvVNCThread.Execute: window gone"), std::string::npos);
}

TEST(RemoteDesktopLists, TheUnhandledListKeepsTheLatestHundred)
{
    FakeRelays relays;
    TorvVNCThread thread(relays.Parts());
    EXPECT_EQ(thread.GetUnhandledCommand(), "18:"); // from the constructor's tear-down
    for (int i = 0; i <= 100; ++i)
        thread.AddUnhandledCommand("12:" + std::to_string(i));
    EXPECT_EQ(thread.GetUnhandledCommand(), "12:1");
    EXPECT_EQ(SplitCommand("1").Code, "1"); // all code, unlike the command channel's splitter
    EXPECT_EQ(SplitCommand("7:a:b").Data, "a:b");
}

} // namespace

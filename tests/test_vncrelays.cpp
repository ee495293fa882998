// The two relays of the remote-desktop channel against plain TCP peers: the
// viewer relay as the server a viewer program connects to, the host relay
// as the client of a host program. Their owner is an unstarted channel
// thread on a connection that is not up, so what they report stays queued.
#include "lib/debugProc.h"
#include "lib/orvConnections.h"
#include "lib/orvOSUtils.h"
#include "lib/orvThreads.h"
#include "lib/orvVNCModule.h"
#include "lib/orvVNCThread.h"
#include "lib/orvVNCViewerModule.h"
#include "platform/orvKeyStore.h"
#include "platform/orvProcesses.h"
#include "platform/orvWindowMessages.h"
#include "tests/support/FakeRelays.h"
#include "tests/support/LogCapture.h"
#include "tests/support/RawPeer.h"
#include "tests/support/RecordingDesktop.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

using namespace orvtest;
using namespace std::chrono_literals;

namespace {

// Everything read until count bytes or the deadline.
template <typename TRead> std::string Gather(TRead read, std::size_t count)
{
    std::string bytes;
    WaitUntil([&] {
        bytes += read();
        return bytes.size() >= count;
    });
    return bytes;
}

// A viewer program: a plain TCP client; not Valid() when refused.
RawConnection Connect(const std::string& host, int port)
{
    RawConnection client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const timeval deadline{5, 0}; // for connecting as well
    ::setsockopt(client.Fd(), SOL_SOCKET, SO_SNDTIMEO, &deadline, sizeof deadline);
    sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port)), {}, {}};
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (::connect(client.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        client.Close();
    return client;
}

// A host program on a free loopback port: greets every client and keeps it.
class TFakeHost
{
public:
    explicit TFakeHost(const std::string& greeting)
        : FThread([this, greeting](const std::stop_token& stop) {
              while (!stop.stop_requested())
                  if (RawConnection client(FListener.Accept(10ms)); client.Valid()) {
                      client.Write(greeting);
                      std::lock_guard lock(FMutex);
                      FClients.push_back(std::move(client));
                  }
          })
    {
    }
    int Port() const { return FListener.Port(); }
    // The index'th client (0: the first), once it has come.
    RawConnection* Client(std::size_t index)
    {
        RawConnection* client = nullptr;
        WaitUntil([&] {
            std::lock_guard lock(FMutex);
            client = index < FClients.size() ? &FClients[index] : nullptr;
            return client != nullptr;
        });
        return client;
    }

private:
    RawListener FListener;
    std::mutex FMutex;
    std::deque<RawConnection> FClients; // guarded by FMutex; a push keeps the others where they are
    std::jthread FThread;               // the first to go
};

// Made-up processes: the host "runs" while listed. The host relay asks on the test's thread.
class TFakeProcessTable : public TorvProcessTable
{
public:
    std::vector<TorvProcessEntry> List() override { return Entries; }
    pid_t Spawn(const std::string&, const std::vector<std::string>&, const std::string&) override
    {
        throw std::system_error(ENOENT, std::generic_category(), "no programs here");
    }
    bool IsRunning(pid_t pid) override
    {
        return std::any_of(Entries.begin(), Entries.end(), [&](const auto& e) { return e.Pid == pid; });
    }
    bool RequestEnd(pid_t pid, int) override
    {
        Ended.push_back(pid);
        std::erase_if(Entries, [&](const auto& e) { return e.Pid == pid; });
        return true;
    }
    bool Kill(pid_t pid) override { return RequestEnd(pid, 0); }

    std::vector<TorvProcessEntry> Entries;
    std::vector<pid_t> Ended;
};

// The relays' owner, keeping what they try to send.
class TRecordingOwner : public TorvVNCThread
{
public:
    explicit TRecordingOwner(FakeRelays& relays) : TorvVNCThread(relays.Parts()) {}
    bool Send(const std::string& text) override
    {
        {
            std::lock_guard lock(FMutex);
            FSent.push_back(text);
        }
        return TorvVNCThread::Send(text);
    }
    std::vector<std::string> Sent()
    {
        std::lock_guard lock(FMutex);
        return FSent;
    }

private:
    std::mutex FMutex;
    std::vector<std::string> FSent;
};

class RelayTest : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        orvSync::SetMainThread();
        orvStartConnectionCore();
    }
    static void TearDownTestSuite() { orvShutdownConnectionCore(); }

    RelayTest() { Owner.SetConnection(&Connection); }

    std::unique_ptr<TorvOSUtils> MakeUtils()
    {
        TorvOSPlatform platform;
        platform.OpenHostKey = [this] {
            return std::make_unique<TorvFileKeyStore>(Folder.File("host.keys"));
        };
        platform.Processes = Processes;
        platform.Windows = std::make_shared<TorvSocketWindowMessenger>();
        platform.ProgramFolder = Folder.Path() + "/";
        const auto desktop = std::make_shared<orvtest::TRecordingDesktop>();
        desktop->Plug(platform);
        desktop->Install("x11vnc"); // and no viewer program
        auto utils = std::make_unique<TorvWDefaultUtils>(std::move(platform));
        utils->ProcessEndWaitMs = 200;
        utils->HostAppearWaitMs = 200;
        return utils;
    }
    // The owner's one message, once it has come.
    std::string OwnerMessage()
    {
        return WaitUntil([&] { return Owner.MessageCount() > 0; }) ? Owner.GetMessage() : "";
    }

    TLogCapture Log;
    TempDir Folder;
    std::shared_ptr<TFakeProcessTable> Processes = std::make_shared<TFakeProcessTable>();
    TorvOSUtilsScope Scope{MakeUtils()};
    FakeRelays Relays;
    TorvConnection Connection; // never active: the owner's sends fail
    TRecordingOwner Owner{Relays};
};

// ---- the viewer relay

using ViewerRelay = RelayTest;

TEST_F(ViewerRelay, CarriesOneViewerAtATimeAndReportsItsLeaving)
{
    const int port = FreePort();
    TdmVncViewer relay(Owner, port);
    EXPECT_EQ(OSUtils().PortText, std::to_string(port));
    relay.SetActive(true);
    EXPECT_FALSE(relay.IsViewerConnected());
    const auto fromViewer = [&](std::size_t count) {
        return Gather([&] { return relay.ReadFromViewer(); }, count);
    };

    RawConnection viewer = Connect("127.0.0.1", port);
    ASSERT_TRUE(viewer.Valid());
    ASSERT_TRUE(WaitUntil([&] { return relay.IsViewerConnected(); }));
    EXPECT_TRUE(WaitUntil([&] { return Log.Has("Remote desktop viewer connected"); }));
    relay.SendToViewer("to viewer");
    EXPECT_EQ(viewer.ReadExactly(9), "to viewer");
    EXPECT_TRUE(viewer.Write("from viewer"));
    EXPECT_EQ(fromViewer(11), "from viewer");

    // A second viewer meanwhile is turned away; the first goes on.
    RawConnection second = Connect("127.0.0.1", port);
    ASSERT_TRUE(second.Valid());
    EXPECT_TRUE(second.WaitClosed());
    relay.SendToViewer("still yours");
    EXPECT_EQ(viewer.ReadExactly(11), "still yours");
    EXPECT_EQ(Owner.MessageCount(), 0u);

    viewer.Close();
    EXPECT_EQ(OwnerMessage(), "5:");
    EXPECT_EQ(Owner.Sent(), std::vector<std::string>{"5:REMOTELYCLOSED"});
    EXPECT_TRUE(WaitUntil([&] { return Log.Has("Remote desktop viewer disconnected"); }));
    EXPECT_FALSE(relay.IsViewerConnected());

    // The next viewer is welcome.
    viewer = Connect("127.0.0.1", port);
    ASSERT_TRUE(viewer.Valid());
    ASSERT_TRUE(WaitUntil([&] { return relay.IsViewerConnected(); }));
    EXPECT_TRUE(viewer.Write("again"));
    EXPECT_EQ(fromViewer(5), "again");

    // Switched off (twice): the connection is gone and forgotten.
    EXPECT_TRUE(viewer.Write("unread"));
    relay.SetActive(false);
    relay.SetActive(false);
    EXPECT_FALSE(relay.Active());
    EXPECT_FALSE(relay.IsViewerConnected());
    EXPECT_EQ(relay.ReadFromViewer(), "");
    relay.SendToViewer("lost");
    EXPECT_TRUE(Log.Has("Data was not sent : remote desktop viewer is not connected"));
    EXPECT_TRUE(viewer.WaitClosed());
    EXPECT_FALSE(Connect("127.0.0.1", port).Valid());

    // And on again.
    relay.SetActive(true);
    viewer = Connect("127.0.0.1", port);
    ASSERT_TRUE(viewer.Valid());
    EXPECT_TRUE(WaitUntil([&] { return relay.IsViewerConnected(); }));
}

TEST_F(ViewerRelay, AMissingViewerProgramReachesTheUserByName)
{
    // Our launcher is there, the viewer it would run is not.
    WriteFile(Folder.File("orvviewer"), "#!/bin/sh\n");
    std::filesystem::permissions(Folder.File("orvviewer"), std::filesystem::perms::owner_all);
    TdmVncViewer relay(Owner, FreePort());
    try {
        relay.StartVNCViewer();
        ADD_FAILURE() << "the viewer started";
    } catch (const EorvProgramMissing& e) {
        EXPECT_NE(std::string(e.what()).find("sudo apt install tigervnc-viewer"), std::string::npos)
            << e.what();
    }
}

TEST_F(ViewerRelay, ListensOnLoopbackOnly)
{
    std::string outside;
    ifaddrs* list = nullptr;
    ASSERT_EQ(::getifaddrs(&list), 0);
    for (ifaddrs* a = list; a && outside.empty(); a = a->ifa_next)
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET) {
            char text[INET_ADDRSTRLEN];
            ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr, text, sizeof text);
            if (!std::string(text).starts_with("127."))
                outside = text;
        }
    ::freeifaddrs(list);
    if (outside.empty())
        GTEST_SKIP() << "this machine has no IPv4 address besides loopback";

    const int port = FreePort();
    TdmVncViewer relay(Owner, port);
    relay.SetActive(true);
    EXPECT_FALSE(Connect(outside, port).Valid()) << outside;
    EXPECT_TRUE(Connect("127.0.0.1", port).Valid());
}

TEST_F(ViewerRelay, ListensOnPort5902ByDefault)
{
    TdmVncViewer relay(Owner);
    EXPECT_EQ(OSUtils().PortText, "5902");
    try {
        relay.SetActive(true);
    } catch (const EorvException&) {
        // The lock only keeps our own tests apart, not other programs on this machine.
        if (Connect("127.0.0.1", 5902).Valid())
            GTEST_SKIP() << "another program listens on port 5902";
        FAIL() << "the relay cannot listen on the free port 5902";
    }
    const RawConnection viewer = Connect("127.0.0.1", 5902);
    ASSERT_TRUE(viewer.Valid());
    EXPECT_TRUE(WaitUntil([&] { return relay.IsViewerConnected(); }));
}

// ---- the host relay

class HostRelay : public RelayTest
{
protected:
    static constexpr pid_t kHostPid = 4242;
    void HostRuns() { Processes->Entries.push_back({kHostPid, Folder.File("orvhost")}); }
};

TEST_F(HostRelay, ConnectsOnlyToARunningHostThatGreetsWithRfb36)
{
    TdmVNC relay(Owner);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(relay.ReadFromServer(), "");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    relay.SendToServer("nowhere");
    EXPECT_TRUE(Log.Has("Local remote desktop server lost data: nowhere"));

    TFakeHost host("RFB 003.006\n");
    OSUtils().PortText = std::to_string(host.Port());
    relay.ConnectToVNCServer();
    EXPECT_FALSE(relay.IsConnected());
    EXPECT_TRUE(Log.Has("Remote desktop server process is not running"));

    HostRuns();
    TFakeHost other("RFB 003.008\n");
    OSUtils().PortText = std::to_string(other.Port());
    relay.ConnectToVNCServer();
    EXPECT_FALSE(relay.IsConnected());
    EXPECT_TRUE(Log.Has("Remote desktop server not found at port " + OSUtils().PortText + " "));
    EXPECT_EQ(Owner.MessageCount(), 0u);
    EXPECT_TRUE(Processes->Ended.empty());
}

TEST_F(HostRelay, CarriesBytesAndClosesTheHostWhenItHangsUp)
{
    HostRuns();
    TFakeHost host("RFB 003.006\n");
    OSUtils().PortText = std::to_string(host.Port());
    TdmVNC relay(Owner);
    relay.ConnectToVNCServer();
    ASSERT_TRUE(relay.IsConnected());
    EXPECT_TRUE(Log.Has("Remote desktop server connected"));
    // The first client was the greeting check.
    RawConnection* link = host.Client(1);
    ASSERT_NE(link, nullptr);
    const auto fromHost = [&](std::size_t count) {
        return Gather([&] { return relay.ReadFromServer(); }, count);
    };
    EXPECT_EQ(fromHost(12), "RFB 003.006\n");
    EXPECT_TRUE(link->Write("from host"));
    EXPECT_EQ(fromHost(9), "from host");
    relay.SendToServer("to host");
    EXPECT_EQ(link->ReadExactly(7), "to host");
    EXPECT_EQ(Owner.MessageCount(), 0u);

    link->Close();
    ASSERT_TRUE(WaitUntil([&] { return relay.ReadFromServer().empty() && Owner.MessageCount() > 0; }));
    EXPECT_EQ(Owner.GetMessage(), "5:");
    EXPECT_EQ(Owner.Sent(), std::vector<std::string>{"5:REMOTELYCLOSED"});
    EXPECT_FALSE(relay.IsConnected());
    EXPECT_EQ(Processes->Ended, std::vector<pid_t>{kHostPid});
    EXPECT_TRUE(Log.InOrder({"Closing remote desktop server...", "Remote desktop server terminated",
                             "Remote desktop server disconnected"}));
    EXPECT_EQ(relay.ReadFromServer(), "");
    EXPECT_EQ(Owner.MessageCount(), 0u);
}

} // namespace

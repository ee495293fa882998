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
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

using namespace orvtest;
using namespace std::chrono_literals;

namespace {

class TLogCapture
{
public:
    TLogCapture() : FPrevious(RedirectDebugLogForTesting(FDir.File("debug.log"))) {}
    ~TLogCapture() { RedirectDebugLogForTesting(FPrevious); }
    std::string Text() const { return ReadFile(FDir.File("debug.log")); }
    bool Has(const std::string& line) const { return Text().find(line + "\r\n") != std::string::npos; }
    bool InOrder(const std::vector<std::string>& lines) const
    {
        const std::string text = Text();
        std::size_t at = 0;
        for (const auto& line : lines) {
            at = text.find(line + "\r\n", at);
            if (at == std::string::npos)
                return false;
        }
        return true;
    }

private:
    TempDir FDir;
    std::string FPrevious;
};

sockaddr_in Address(const std::string& host, std::uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    return address;
}

int Listener()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Address("127.0.0.1", 0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0)
        throw std::runtime_error("no listener");
    return fd;
}

std::uint16_t LocalPort(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

std::uint16_t FreePort()
{
    const int fd = Listener();
    const std::uint16_t port = LocalPort(fd);
    ::close(fd);
    return port;
}

// Reads what arrives on fd until count bytes or the deadline; "" after the peer closed.
std::string Receive(int fd, std::size_t count)
{
    std::string bytes;
    const auto end = std::chrono::steady_clock::now() + 20s;
    while (bytes.size() < count && std::chrono::steady_clock::now() < end) {
        pollfd wait{fd, POLLIN, 0};
        if (::poll(&wait, 1, 100) != 1)
            continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
        if (n <= 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

void SendAll(int fd, const std::string& bytes)
{
    ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

// Whether the peer closes fd within the deadline (data before that is dropped).
bool ClosedByPeer(int fd)
{
    return WaitUntil([&] {
        pollfd wait{fd, POLLIN, 0};
        if (::poll(&wait, 1, 0) != 1)
            return false;
        char buffer[256];
        return ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0;
    });
}

// A viewer program: a plain TCP client.
class TClient
{
public:
    TClient() = default;
    ~TClient() { Close(); }
    TClient(const TClient&) = delete;
    TClient& operator=(const TClient&) = delete;

    bool Connect(const std::string& host, std::uint16_t port)
    {
        Close();
        FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const sockaddr_in address = Address(host, port);
        if (::connect(FFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            pollfd wait{FFd, POLLOUT, 0};
            int error = 0;
            socklen_t length = sizeof error;
            if (errno != EINPROGRESS || ::poll(&wait, 1, 5000) != 1 ||
                ::getsockopt(FFd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
                Close();
                return false;
            }
        }
        ::fcntl(FFd, F_SETFL, 0);
        return true;
    }
    void Send(const std::string& bytes) { SendAll(FFd, bytes); }
    std::string Receive(std::size_t count) { return ::Receive(FFd, count); }
    bool ClosedByPeer() { return ::ClosedByPeer(FFd); }
    void Close()
    {
        if (FFd >= 0)
            ::close(FFd);
        FFd = -1;
    }

private:
    int FFd = -1;
};

// A host program on a free loopback port: greets every client and keeps it.
class TFakeHost
{
public:
    explicit TFakeHost(std::string greeting) : FGreeting(std::move(greeting)), FListener(Listener())
    {
        FThread = std::thread([this] { Run(); });
    }
    ~TFakeHost()
    {
        FStop = true;
        FThread.join();
        ::close(FListener);
        for (const int fd : FClients)
            if (fd >= 0)
                ::close(fd);
    }
    TFakeHost(const TFakeHost&) = delete;
    TFakeHost& operator=(const TFakeHost&) = delete;

    std::uint16_t Port() const { return LocalPort(FListener); }
    // The fd of the index'th client (0: the first), once it has come.
    int Client(std::size_t index)
    {
        int fd = -1;
        WaitUntil([&] {
            std::lock_guard lock(FMutex);
            fd = index < FClients.size() ? FClients[index] : -1;
            return fd >= 0;
        });
        return fd;
    }
    void CloseClient(std::size_t index)
    {
        std::lock_guard lock(FMutex);
        ::close(FClients.at(index));
        FClients[index] = -1;
    }

private:
    void Run()
    {
        while (!FStop) {
            pollfd wait{FListener, POLLIN, 0};
            if (::poll(&wait, 1, 10) != 1)
                continue;
            const int fd = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ::send(fd, FGreeting.data(), FGreeting.size(), MSG_NOSIGNAL);
            std::lock_guard lock(FMutex);
            FClients.push_back(fd);
        }
    }

    std::string FGreeting;
    int FListener;
    std::mutex FMutex;
    std::vector<int> FClients; // guarded by FMutex
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// Made-up processes: the host "runs" while listed.
class TFakeProcessTable : public TorvProcessTable
{
public:
    std::vector<TorvProcessEntry> List() override
    {
        std::lock_guard lock(FMutex);
        return FEntries;
    }
    pid_t Spawn(const std::string&, const std::vector<std::string>&, const std::string&) override
    {
        throw std::system_error(ENOENT, std::generic_category(), "no programs here");
    }
    bool IsRunning(pid_t pid) override
    {
        std::lock_guard lock(FMutex);
        return std::any_of(FEntries.begin(), FEntries.end(), [&](const auto& e) { return e.Pid == pid; });
    }
    bool RequestEnd(pid_t pid, int) override
    {
        std::lock_guard lock(FMutex);
        FEnded.push_back(pid);
        std::erase_if(FEntries, [&](const auto& e) { return e.Pid == pid; });
        return true;
    }
    bool Kill(pid_t pid) override { return RequestEnd(pid, 0); }

    void Add(pid_t pid, const std::string& path)
    {
        std::lock_guard lock(FMutex);
        FEntries.push_back({pid, path});
    }
    std::vector<pid_t> Ended()
    {
        std::lock_guard lock(FMutex);
        return FEnded;
    }

private:
    std::mutex FMutex;
    std::vector<TorvProcessEntry> FEntries;
    std::vector<pid_t> FEnded;
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
        auto utils = std::make_unique<TorvWDefaultUtils>(std::move(platform));
        utils->ProcessEndWaitMs = 200;
        utils->HostAppearWaitMs = 200;
        return utils;
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

// Everything the relay has from the viewer, until count bytes or the deadline.
std::string ReadFromViewer(TdmVncViewer& relay, std::size_t count)
{
    std::string bytes;
    WaitUntil([&] {
        bytes += relay.ReadFromViewer();
        return bytes.size() >= count;
    });
    return bytes;
}

TEST_F(ViewerRelay, CarriesOneViewerAtATimeAndReportsItsLeaving)
{
    const std::uint16_t port = FreePort();
    TdmVncViewer relay(Owner, port);
    EXPECT_EQ(OSUtils().PortText, std::to_string(port));
    relay.SetActive(true);
    EXPECT_FALSE(relay.IsViewerConnected());

    TClient viewer;
    ASSERT_TRUE(viewer.Connect("127.0.0.1", port));
    ASSERT_TRUE(WaitUntil([&] { return relay.IsViewerConnected(); }));
    EXPECT_TRUE(WaitUntil([&] { return Log.Has("Remote desktop viewer connected"); }));
    relay.SendToViewer("to viewer");
    EXPECT_EQ(viewer.Receive(9), "to viewer");
    viewer.Send("from viewer");
    EXPECT_EQ(ReadFromViewer(relay, 11), "from viewer");

    // A second viewer meanwhile is turned away; the first goes on.
    TClient second;
    ASSERT_TRUE(second.Connect("127.0.0.1", port));
    EXPECT_TRUE(second.ClosedByPeer());
    relay.SendToViewer("still yours");
    EXPECT_EQ(viewer.Receive(11), "still yours");
    EXPECT_EQ(Owner.MessageCount(), 0u);

    viewer.Close();
    ASSERT_TRUE(WaitUntil([&] { return Owner.MessageCount() > 0; }));
    EXPECT_EQ(Owner.GetMessage(), "5:");
    EXPECT_EQ(Owner.Sent(), std::vector<std::string>{"5:REMOTELYCLOSED"});
    EXPECT_TRUE(WaitUntil([&] { return Log.Has("Remote desktop viewer disconnected"); }));
    EXPECT_FALSE(relay.IsViewerConnected());

    // The next viewer is welcome.
    TClient next;
    ASSERT_TRUE(next.Connect("127.0.0.1", port));
    ASSERT_TRUE(WaitUntil([&] { return relay.IsViewerConnected(); }));
    next.Send("again");
    EXPECT_EQ(ReadFromViewer(relay, 5), "again");

    // Switched off (twice): the connection is gone and forgotten.
    next.Send("unread");
    relay.SetActive(false);
    relay.SetActive(false);
    EXPECT_FALSE(relay.Active());
    EXPECT_FALSE(relay.IsViewerConnected());
    EXPECT_EQ(relay.ReadFromViewer(), "");
    relay.SendToViewer("lost");
    EXPECT_TRUE(Log.Has("Data was not sent : remote desktop viewer is not connected"));
    EXPECT_TRUE(next.ClosedByPeer());
    TClient refused;
    EXPECT_FALSE(refused.Connect("127.0.0.1", port));

    // And on again.
    relay.SetActive(true);
    ASSERT_TRUE(next.Connect("127.0.0.1", port));
    EXPECT_TRUE(WaitUntil([&] { return relay.IsViewerConnected(); }));
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

    const std::uint16_t port = FreePort();
    TdmVncViewer relay(Owner, port);
    relay.SetActive(true);
    TClient client;
    EXPECT_FALSE(client.Connect(outside, port)) << outside;
    EXPECT_TRUE(client.Connect("127.0.0.1", port));
}

TEST_F(ViewerRelay, ListensOnPort5902ByDefault)
{
    TdmVncViewer relay(Owner);
    EXPECT_EQ(OSUtils().PortText, "5902");
    try {
        relay.SetActive(true);
    } catch (const EorvException&) {
        // The lock only keeps our own tests apart, not other programs on this machine.
        TClient holder;
        if (holder.Connect("127.0.0.1", 5902))
            GTEST_SKIP() << "another program listens on port 5902";
        FAIL() << "the relay cannot listen on the free port 5902";
    }
    TClient viewer;
    ASSERT_TRUE(viewer.Connect("127.0.0.1", 5902));
    EXPECT_TRUE(WaitUntil([&] { return relay.IsViewerConnected(); }));
}

// ---- the host relay

class HostRelay : public RelayTest
{
protected:
    static constexpr pid_t kHostPid = 4242;
    void HostRuns() { Processes->Add(kHostPid, Folder.File("orvhost")); }
};

std::string ReadFromServer(TdmVNC& relay, std::size_t count)
{
    std::string bytes;
    WaitUntil([&] {
        bytes += relay.ReadFromServer();
        return bytes.size() >= count;
    });
    return bytes;
}

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
    EXPECT_TRUE(Processes->Ended().empty());
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
    const int link = host.Client(1);
    ASSERT_GE(link, 0);
    EXPECT_EQ(ReadFromServer(relay, 12), "RFB 003.006\n");
    SendAll(link, "from host");
    EXPECT_EQ(ReadFromServer(relay, 9), "from host");
    relay.SendToServer("to host");
    EXPECT_EQ(Receive(link, 7), "to host");
    EXPECT_EQ(Owner.MessageCount(), 0u);

    host.CloseClient(1);
    ASSERT_TRUE(WaitUntil([&] {
        relay.ReadFromServer();
        return Owner.MessageCount() > 0;
    }));
    EXPECT_EQ(Owner.GetMessage(), "5:");
    EXPECT_EQ(Owner.Sent(), std::vector<std::string>{"5:REMOTELYCLOSED"});
    EXPECT_FALSE(relay.IsConnected());
    EXPECT_EQ(Processes->Ended(), std::vector<pid_t>{kHostPid});
    EXPECT_TRUE(Log.InOrder({"Closing remote desktop server...", "Remote desktop server terminated",
                             "Remote desktop server disconnected"}));
    EXPECT_EQ(relay.ReadFromServer(), "");
    EXPECT_EQ(Owner.MessageCount(), 0u);
}

} // namespace

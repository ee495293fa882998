// Fuzzes the remote-desktop channel thread with what reaches it: the peer's
// texts, the main window's actions and the bytes of the host and viewer
// programs, with one pass of its loop after each (no thread is started).
// Input: records split at '\n'. A record whose first byte is 0x01..0x06 is:
//   0x01 A      the main window's action A (see MainWindow)
//   0x02        the session goes, or comes back
//   0x03 bytes  the host program sends bytes
//   0x04 bytes  the viewer program sends bytes
//   0x05 F      the programs' behaviour (see Behave)
//   0x06 T      (T + 1) * 8 ms pass
// Any other record is a text from the peer.
#include "lib/debugProc.h"
#include "lib/orvConnections.h"
#include "lib/orvVNCThread.h"

#include <cstdint>
#include <cstdlib>
#include <deque>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

bool Running(TVNCState s)
{
    return s == vsConnectingAsViewer1 || s == vsConnectingAsViewer2 || s == vsCustomerAsViewer;
}

// Everything the fakes and the checks share for one input.
struct TWorld
{
    // How the programs behave.
    bool HostConnects = true;
    bool HostStartFails = false;
    bool ViewerConnects = true;
    bool WindowsExist = true;
    bool WindowPostFails = false;
    std::size_t Pending = 0;
    std::uint32_t Ticks = 0xFFFFFF00u; // wraps within a few records
    std::string FromHost, FromViewer;  // what the programs send next

    int LiveRelays = 0;
    bool PeerStep = false;       // the text being handled came from the peer
    bool UserLetControl = false; // the user's last word on the mouse and keyboard
    bool Ending = false;         // the thread is being destroyed
    // Program bytes the relays read, and the "7:" data sent, since the last relay went.
    std::string Read, SentData;
    const TorvVNCThread* Thread = nullptr;

    void RelayGone()
    {
        --LiveRelays;
        Read.clear();
        SentData.clear();
    }
};

class TFakeHost final : public TorvHostRelay
{
public:
    explicit TFakeHost(TWorld& world) : W(world)
    {
        // Only the main window shows this desktop; and never two relays at once.
        Check(!W.PeerStep);
        Check(W.LiveRelays == 0);
        ++W.LiveRelays;
    }
    ~TFakeHost() override
    {
        // A host that ran is stopped before its relay goes.
        Check(W.Ending || !FStarted || FClosed);
        W.RelayGone();
    }

    void StartVNCServer() override
    {
        Check(!FStarted);
        FStarted = true;
        if (W.HostStartFails)
            throw std::runtime_error("no host");
        FRunning = true;
    }
    std::string HostPassword() const override { return FRunning ? "40271953" : ""; }
    void ConnectToVNCServer() override { FConnected = FRunning && W.HostConnects; }
    bool IsConnected() override { return FConnected; }
    std::string ReadFromServer() override
    {
        if (!FConnected)
            return {};
        std::string bytes = std::exchange(W.FromHost, {});
        W.Read += bytes;
        return bytes;
    }
    void SendToServer(const std::string&) override
    {
        // The peer's bytes reach the host only while it is shown.
        Check(FConnected && W.Thread->GetState() == vsCustomerAsViewer && W.Thread->IsServer());
    }
    void SetConnected(bool on) override { FConnected = on && FRunning && W.HostConnects; }
    void CloseVNCServer() override
    {
        FClosed = true;
        FRunning = false;
        FConnected = false;
    }

private:
    TWorld& W;
    bool FStarted = false, FRunning = false, FConnected = false, FClosed = false;
};

class TFakeViewer final : public TorvViewerRelay
{
public:
    explicit TFakeViewer(TWorld& world) : W(world)
    {
        Check(W.LiveRelays == 0);
        ++W.LiveRelays;
    }
    ~TFakeViewer() override { W.RelayGone(); }

    void StartVNCViewer() override
    {
        Check(!FStarted);
        FStarted = true;
    }
    bool IsViewerConnected() override { return FActive && W.ViewerConnects; }
    std::string ReadFromViewer() override
    {
        std::string bytes = std::exchange(W.FromViewer, {});
        W.Read += bytes;
        return bytes;
    }
    void SendToViewer(const std::string&) override {}
    void SetActive(bool on) override { FActive = on; }

private:
    TWorld& W;
    bool FStarted = false;
    bool FActive = true;
};

// The thread with what it sends checked and dropped instead of sent.
class TFuzzThread final : public TorvVNCThread
{
public:
    TFuzzThread(TorvRemoteDesktopParts parts, TWorld& world) : TorvVNCThread(std::move(parts)), W(world)
    {
        HostStartWaitMs = 0;
        ViewerStartWaitMs = 0;
        ViewerPollMs = 0;
        ViewerPollCount = 2;
    }

    bool Send(const std::string& text) override
    {
        // The thread's own refusals, as TorvVNCThread::Send; the connection takes the rest.
        const TorvCommandParts parts = SplitCommand(text);
        if (parts.Code == orvVNC::Start && GetState() != vsConnected)
            return false;
        if (parts.Code == orvVNC::Close && GetState() == vsConnected)
            return false;
        static const std::set<std::string> Codes = {"0", "1", "2", "3",  "4",  "5",  "6",
                                                    "7", "8", "9", "11", "12", "19", "200"};
        Check(Codes.count(parts.Code) == 1);
        if (parts.Code == orvVNC::Data) {
            Check(!parts.Data.empty() && parts.Data.size() <= PieceSize);
            W.SentData += parts.Data;
            // Program bytes leave in the order they came, and only those.
            Check(W.Read.compare(0, W.SentData.size(), W.SentData) == 0);
        }
        return true;
    }

private:
    TWorld& W;
};

// A connection that is never switched on; it only tells whether the helpdesk is in the session.
TorvConnection& Connection()
{
    static const std::unique_ptr<TorvConnection> connection = [] {
        orvStartConnectionCore();  // a connection registers with the core's thread,
        orvStopConnectionThread(); // which need not run
        return std::make_unique<TorvConnection>();
    }();
    return *connection;
}

bool SessionUp()
{
    return Connection().ServerConnectionState() == scsTotallyConnected;
}

TorvRemoteDesktopParts Parts(TWorld& w)
{
    TorvRemoteDesktopParts parts;
    parts.NewHostRelay = [&w](TorvVNCThread&) { return std::make_unique<TFakeHost>(w); };
    parts.NewViewerRelay = [&w](TorvVNCThread&) { return std::make_unique<TFakeViewer>(w); };
    parts.PostHostViewOnly = [&w](bool viewOnly) {
        // The mouse and keyboard are handed over only on the user's word.
        Check(viewOnly || w.UserLetControl);
        if (w.WindowPostFails)
            throw std::runtime_error("window gone");
        return w.WindowsExist;
    };
    parts.PostViewerSettings = [&w] {
        if (w.WindowPostFails)
            throw std::runtime_error("window gone");
        return w.WindowsExist;
    };
    parts.PendingMessages = [&w](TorvConnection&) { return w.Pending; };
    parts.Ticks = [&w] { return w.Ticks; };
    return parts;
}

class TRun
{
public:
    TRun() : FThread(Parts(W), W)
    {
        W.Thread = &FThread;
        FThread.SetConnection(&Connection());
        FThread.SetChannel(orvRemoteDesktopChannel);
        Step(); // the loop's first pass: "Connected" with the helpdesk in the session
    }
    ~TRun()
    {
        W.Ending = true;
        FThread.SetConnection(nullptr);
    }
    TRun(const TRun&) = delete;
    TRun& operator=(const TRun&) = delete;

    void Record(std::string_view record)
    {
        W.Ticks += 10;
        const unsigned char kind = record.empty() ? 0 : static_cast<unsigned char>(record[0]);
        const std::string rest(record.substr(record.empty() ? 0 : 1));
        switch (kind) {
        case 0x01: WindowAction(rest.empty() ? 0 : static_cast<unsigned char>(rest[0])); break;
        case 0x02:
            Connection().SetServerConnectionState(SessionUp() ? scsRegisteredToServer : scsTotallyConnected);
            break;
        case 0x03: W.FromHost += rest; break;
        case 0x04: W.FromViewer += rest; break;
        case 0x05: Behave(rest.empty() ? 0 : static_cast<unsigned char>(rest[0])); break;
        case 0x06: W.Ticks += 8 * (1 + (rest.empty() ? 0 : static_cast<unsigned char>(rest[0]))); break;
        default: Add(std::string(record), true); break;
        }
        Steps();
    }

    void Finish()
    {
        if (SessionUp()) {
            // Given time and an empty transport, every byte the programs sent
            // has left: read in one pass, sent by the next.
            W.Pending = 0;
            for (int pass = 0; pass < 2; ++pass) {
                W.Ticks += 1000;
                Step();
            }
            Check(W.SentData == W.Read);
        }
        // The session goes: so do the relays, and the programs behind them
        // ("Failed" has let them go already).
        Connection().SetServerConnectionState(scsRegisteredToServer);
        Step();
        const TVNCState state = FThread.GetState();
        Check((state == vsDisconnected || state == vsFailed) && W.LiveRelays == 0);
    }

private:
    void Add(std::string text, bool fromPeer)
    {
        // The main window's own texts are kept for the checks.
        FOrigins.emplace_back(fromPeer, fromPeer ? std::string() : text);
        if (fromPeer)
            FThread.AddReceived(std::move(text));
        else
            FThread.AddMessage(std::move(text));
    }

    void Behave(unsigned char flags)
    {
        W.HostConnects = (flags & 1) == 0;
        W.HostStartFails = (flags & 2) != 0;
        W.ViewerConnects = (flags & 4) == 0;
        W.WindowsExist = (flags & 8) == 0;
        W.WindowPostFails = (flags & 16) != 0;
        W.Pending = (flags >> 5) & 3;
    }

    void WindowAction(unsigned char action)
    {
        try {
            MainWindow(action);
        } catch (const std::logic_error&) {
            Check(false);
        } catch (const std::exception&) {
            // The application's error handling shows it (orvApplicationErrors).
        }
    }

    // What TorvRemoteDesktopFeature does with the thread.
    void MainWindow(unsigned char action)
    {
        const bool running = Running(FThread.GetState());
        switch (action % 11) {
        case 0: // "Show my desktop", enabled while none runs
            if (!running) {
                FThread.SetIsServer(true);
                StartShowing();
            }
            break;
        case 1: StartShowing(); break; // a request to see this desktop, granted
        case 2:                        // "Watch the other desktop", enabled while none runs
            if (!running) {
                FThread.SetIsServer(false);
                FThread.Send("11:0:VNCSERVER");
            }
            break;
        case 3:
            if (FThread.Send("0:VNCSERVER"))
                Add("0:VNCCLIENT", false);
            break;
        case 4:
            if (FThread.Send("5:REMOTELYCLOSED"))
                Add("5:", false);
            break;
        case 5: Add("10:13", false); break;
        case 6: Add("10:14", false); break;
        case 7:
        case 8: // the view-only box
            if (running && FThread.IsServer()) {
                W.UserLetControl = action % 11 == 8;
                FThread.SetViewOnly(!W.UserLetControl);
            }
            break;
        case 9: FThread.Send("19:"); break;
        case 10: { // one entry of the list, as the window takes it each tick
            const std::string entry = FThread.GetUnhandledCommand();
            const std::string code = SplitCommand(entry).Code;
            if (!code.empty() && code != orvVNC::Request && code != orvVNC::Notice &&
                code != orvVNC::SettingUp && code != orvVNC::TornDown)
                FThread.SendCommandNotHandled(entry);
            break;
        }
        }
    }

    void StartShowing()
    {
        if (FThread.Send("0:VNCCLIENT"))
            Add("0:VNCSERVER", false);
    }

    // One pass; then the waiting texts while the session is up.
    void Steps()
    {
        Step();
        for (int guard = 0; SessionUp() && FThread.MessageCount() > 0; ++guard) {
            Check(guard < 10000);
            Step();
        }
    }

    void Step()
    {
        // Step takes the oldest text while the session is up.
        const bool takes = SessionUp() && !FOrigins.empty();
        W.PeerStep = takes && FOrigins.front().first;
        if (takes && !FOrigins.front().first) {
            if (FOrigins.front().second == "10:13")
                W.UserLetControl = true;
            else if (FOrigins.front().second == "10:14")
                W.UserLetControl = false;
        }
        const bool viewOnlyBefore = FThread.ViewOnly();
        const unsigned runsBefore = FThread.RunsStarted();
        try {
            FThread.Step();
        } catch (const std::logic_error&) {
            Check(false); // a programming error, not a peer's
        } catch (const std::exception&) {
            // As the loop does: logged, and on to the next.
        }
        // Texts leave the list from its front, or all at once.
        while (FOrigins.size() > FThread.MessageCount())
            FOrigins.pop_front();
        Check(FOrigins.size() == FThread.MessageCount());

        const TVNCState state = FThread.GetState();
        if (!Running(state))
            Check(W.LiveRelays == 0);
        Check(W.LiveRelays <= 1);
        Check(W.UserLetControl || !viewOnlyBefore || FThread.ViewOnly());
        Check(FThread.RunsStarted() - runsBefore <= 1);
        // The peer may start a desktop it shows us, never one that shows ours.
        if (W.PeerStep && FThread.RunsStarted() != runsBefore)
            Check(!FThread.LastRunShowing());
        W.PeerStep = false;
    }

    TWorld W;
    TFuzzThread FThread;
    std::deque<std::pair<bool, std::string>>
        FOrigins; // the thread's waiting texts: from the peer?, the window's text
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    RedirectDebugLogForTesting(""); // the log would cost more than the channel
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    Connection().SetServerConnectionState(scsTotallyConnected);
    TRun run;
    for (std::size_t start = 0; start < input.size();) {
        std::size_t end = input.find('\n', start);
        if (end == std::string_view::npos)
            end = input.size();
        run.Record(input.substr(start, end - start));
        start = end + 1;
    }
    run.Finish();
    return 0;
}

#pragma once

// Channel 2: the remote desktop. Negotiates who shows and who watches,
// drives the local relay to the host or viewer program, carries the RFB bytes
// both ways in batches, and hands everything that needs the user to the main
// window through a list it polls.

#include "lib/orvConnections.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>

inline constexpr int orvRemoteDesktopChannel = 2;

enum TVNCState : std::uint8_t {
    vsDisconnected = 0,
    vsConnected = 1,
    vsConnectingAsViewer1 = 2,
    vsConnectingAsViewer2 = 3,
    vsCustomerAsViewer = 4,
    vsFailed = 5,
};

// Codes of channel 2.
namespace orvVNC {
inline constexpr const char* Start = "0";
inline constexpr const char* HostPassword = "1";
inline constexpr const char* PasswordReceived = "2";
inline constexpr const char* ViewerStarted = "3";
inline constexpr const char* HostConnected = "4";
inline constexpr const char* Close = "5";
inline constexpr const char* Failure = "6";
inline constexpr const char* Data = "7";
inline constexpr const char* SwapToShow = "8";
inline constexpr const char* SwapToWatch = "9";
inline constexpr const char* ControlAnswer = "10";
inline constexpr const char* Request = "11";
inline constexpr const char* Notice = "12";
inline constexpr const char* SettingUp = "13";
inline constexpr const char* TornDown = "18";
inline constexpr const char* ControlPromised = "19";
inline constexpr const char* NotHandled = "200";

inline constexpr const char* Server = "VNCSERVER";
inline constexpr const char* Client = "VNCCLIENT";
inline constexpr const char* RemotelyClosed = "REMOTELYCLOSED";
inline constexpr const char* Granted = "13";
inline constexpr const char* Refused = "14";
inline constexpr const char* NoticeGranted = "15";
inline constexpr const char* NoticeRefused = "16";
inline constexpr const char* NoticeViewingRefused = "17";
} // namespace orvVNC

// Splits at the first colon; a text without a colon is all code.
TorvCommandParts SplitCommand(std::string_view text);

// The relay to the local host program, on the side that shows its desktop.
class TorvHostRelay
{
public:
    virtual ~TorvHostRelay() = default;
    virtual void StartVNCServer() = 0;
    virtual std::string HostPassword() const = 0;
    virtual void ConnectToVNCServer() = 0;
    virtual bool IsConnected() = 0;
    // Every byte available now, waiting at most 1 ms; empty on none or on any error.
    virtual std::string ReadFromServer() = 0;
    virtual void SendToServer(const std::string& bytes) = 0;
    virtual void SetConnected(bool on) = 0;
    virtual void CloseVNCServer() = 0;
};

// The relay to the local viewer program, on the side that watches.
class TorvViewerRelay
{
public:
    virtual ~TorvViewerRelay() = default;
    virtual void StartVNCViewer() = 0;
    virtual bool IsViewerConnected() = 0;
    virtual std::string ReadFromViewer() = 0;
    virtual void SendToViewer(const std::string& bytes) = 0;
    virtual void SetActive(bool on) = 0;
};

class TorvVNCThread;

// How the thread makes its relays and reaches the programs' windows; the
// defaults are the real relays and OSUtils' windows. Tests replace them.
struct TorvRemoteDesktopParts
{
    std::function<std::unique_ptr<TorvHostRelay>(TorvVNCThread& owner)> NewHostRelay;
    std::function<std::unique_ptr<TorvViewerRelay>(TorvVNCThread& owner)> NewViewerRelay;
    // Posts the host's view-only message; false when the host's window is not found.
    std::function<bool(bool viewOnly)> PostHostViewOnly;
    // Posts the viewer's settings message; false when the viewer's window is not found.
    std::function<bool()> PostViewerSettings;
    // How many messages the connection's transport still holds unsent.
    std::function<std::size_t(TorvConnection& connection)> PendingMessages;
    // The millisecond tick the batching runs on; none: MCGetTickCount.
    std::function<std::uint32_t()> Ticks;

    static TorvRemoteDesktopParts Default();
};

class TorvVNCThread : public TorvChannelThread
{
public:
    static constexpr std::size_t MaxUnhandled = 100;
    static constexpr std::size_t PieceSize = 1024;

    explicit TorvVNCThread(TorvRemoteDesktopParts parts = TorvRemoteDesktopParts::Default());
    ~TorvVNCThread() override;

    // Refuses "0" outside "Connected" and "5" in "Connected"; otherwise sends
    // while the link is up.
    bool Send(const std::string& text) override;

    TVNCState GetState() const noexcept { return FState.load(); }
    static const char* StateName(TVNCState state);
    bool IsServer() const noexcept { return FIsServer.load(); }
    void SetIsServer(bool value) noexcept { FIsServer = value; }

    void AddUnhandledCommand(std::string text);
    // The oldest entry, removed; empty when none waits. Main thread.
    std::string GetUnhandledCommand();
    void SendCommandNotHandled(const std::string& text);
    void SetViewOnly(bool on);
    // What was last asked of the desktop we show; a host starts view-only.
    bool ViewOnly() const noexcept { return FViewOnly.load(); }
    // Remote desktops started on this channel so far, and whether the last
    // one showed ours, so that one too short to be seen running still counts.
    unsigned RunsStarted() const noexcept { return FRunsStarted.load(); }
    bool LastRunShowing() const noexcept { return FLastRunShowing.load(); }

    // One pass of the loop: follows the session, forwards the programs' bytes
    // when due and handles one waiting text (the loop's own step; tests call
    // it too). True when it handled a text.
    bool Step();
    // The loop's pause: short while a remote desktop may have bytes to move.
    // Channel thread only (it looks at the relays).
    int PollSleepMs() const;

    // Tuning values.
    std::size_t LargeChunk = 50;
    std::uint32_t SmallChunkDelayMs = 100;
    std::size_t BufferLimit = 500;
    // Waits of the handshake, in ms; tests shorten them.
    int HostStartWaitMs = 1000;
    int ViewerStartWaitMs = 5000;
    int ViewerPollCount = 50;
    int ViewerPollMs = 100;

protected:
    void Execute() override;

private:
    void Dispatch(const std::string& text, bool fromPeer);
    // A peer's text that would show this desktop or hand over its control
    // goes to the main window as the request it is; true when it did.
    bool AsRequest(const TorvCommandParts& parts);
    bool SetState(TVNCState state);
    // Starts our host; returns what the user must install when it cannot run.
    std::string ConnectVNCServer();
    void ConnectVNCViewer();
    // Ends the run, tells the other side text and the user why (when known).
    void ConnectionFailed(const std::string& code, const std::string& text, const std::string& why = {});
    void ForwardVNCData();
    void Forward(const std::string& chunk);
    void SendVNCData(const std::string& bytes);
    void VNCDataReceived(const std::string& bytes);
    void DisconnectedProc();
    void FindDesktopWindow();
    void Unexpected(const std::string& text);

    TorvRemoteDesktopParts FParts;
    std::atomic<TVNCState> FState{vsDisconnected};
    std::atomic<bool> FIsServer{false};
    std::unique_ptr<TorvHostRelay> FHostRelay;     // channel thread only
    std::unique_ptr<TorvViewerRelay> FViewerRelay; // channel thread only
    std::string FOutgoing;
    std::uint32_t FFlushDeadline = 0;
    std::uint32_t FNextForward = 0;
    std::atomic<bool> FHostDataSeen{false}; // also read by SetViewOnly on the main thread
    std::atomic<bool> FPendingViewOnlyOn{false};
    std::atomic<bool> FPendingViewOnlyOff{false};
    std::atomic<bool> FViewOnly{true};
    std::atomic<unsigned> FRunsStarted{0};
    std::atomic<bool> FLastRunShowing{false};
    bool FWindowFound = false;
    std::atomic<bool> FControlPromised{false};
    std::deque<std::string> FUnhandled; // guarded by FFieldLock
};

#pragma once

#include "lib/debugProc.h"
#include "lib/orvAppUtils.h"
#include "lib/orvThreads.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class TMCMessenger;
class TMCQueue;
class TMCSocketTransport;
class TMCSSLSocketFactory;
struct TMCMessage;
class TorvConnection;

// The system's own error: a plain error with a message text.
class EorvException : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

enum TServerConnectionState : std::uint8_t {
    scsDisconnected = 0,
    scsConnectedToServer = 1,
    scsRegisteredToServer = 2,
    scsTotallyConnected = 3,
};

enum TConnectionState : std::uint8_t {
    csNotConnected = 0,
    csConnected = 1,
    csDisconnected = 2,
};

// Channels: 1 commands, 2 remote desktop, 3 chat, 4 file transfer, 5 keep-alive, 6 unused.
struct TorvChannelInfo
{
    std::int8_t Priority;
    std::uint32_t Timeout; // ms the gateway has to reply
};
// Any other channel is a programming error.
TorvChannelInfo orvChannelInfo(int channel);

inline constexpr int orvCommandChannel = 1;
inline constexpr int orvKeepAliveChannel = 5;

// Program kinds and their random message-code ranges.
inline constexpr std::uint8_t orvKindCustomer = 0;
inline constexpr std::uint8_t orvKindHelpdesk = 1;

// Base of every channel thread: a list of received texts, oldest first.
class TorvChannelThread : public TorvThread
{
public:
    TorvChannelThread();
    ~TorvChannelThread() override;

    // A text for the thread to act on as if it had come from the peer (the
    // main window and the thread's own helpers queue their commands here).
    void AddMessage(std::string text);
    // A text that came from the peer (the connection delivers here).
    void AddReceived(std::string text);
    // The oldest text, removed; empty when none waits.
    std::string GetMessage();
    // The same, telling whether it came from the peer.
    std::string GetMessage(bool& fromPeer);
    std::size_t MessageCount();
    void ClearMessages();

    int GetChannel();
    void SetChannel(int channel);
    TorvConnection* GetConnection();
    void SetConnection(TorvConnection* connection);

    bool IsConnectedToServer();
    bool IsTotallyConnected();
    // Sends on this thread's channel when the connection is csConnected.
    virtual bool Send(const std::string& text);

protected:
    void Execute() override;

    TDebugMultiReadCriticalSection FFieldLock; // channel, connection (and descendants' own fields)

private:
    int FChannel = 0;
    TorvConnection* FConnection = nullptr;
    struct TQueued
    {
        std::string Text;
        bool FromPeer;
    };
    std::deque<TQueued> FMessages;
    TDebugCriticalSection FCriticalSection;
};

// One client connection to one gateway, with its numbered channels.
class TorvConnection
{
public:
    explicit TorvConnection(std::uint8_t kind = orvKindCustomer);
    ~TorvConnection();
    TorvConnection(const TorvConnection&) = delete;
    TorvConnection& operator=(const TorvConnection&) = delete;

    void SetAddress(const std::string& host);
    std::string GetAddress();
    void SetPort(std::uint16_t port);
    std::uint16_t GetPort();
    // The keys (orvGatewayPins) the gateway's certificate must carry; none: any
    // certificate. Set while the connection is switched off.
    void SetGatewayPins(std::vector<std::string> pins);
    // The gateway's key matched no pin since the last activation.
    bool IdentityRefused() const noexcept { return FIdentityRefused.load(); }
    bool GetActive();
    TConnectionState GetConnectionState() const noexcept { return FConnectionState.load(); }
    void SetActive(bool value);
    // Switches the connection off once every message received so far has had
    // its reply sent (at most CloseGraceMs later), so the peer is never left
    // without the answer to the message that ended the session. Any thread.
    void DeactivateAfterReplies();
    static constexpr std::uint32_t CloseGraceMs = 1000;

    // The connection owns the thread from now on.
    void AddChannelThread(std::unique_ptr<TorvChannelThread> thread);
    TorvChannelThread* FindChannelThread(int channel);
    void ClearChannelQueues();
    void ClearChannelThreads();

    // Sends text on channel; failures show in the connection state. An EMCError
    // raised synchronously by the transport reaches the caller.
    void Send(int channel, const std::string& text);
    bool IsReadyToSend();
    std::size_t PendingMessageCount();

    std::uint8_t Kind() const noexcept { return FKind; }
    std::uint32_t MessageCode() const noexcept { return FMessageCode; }

    // Written by the command thread, read by the GUI thread.
    TServerConnectionState ServerConnectionState() const noexcept { return FServerConnectionState.load(); }
    // Wakes the channel threads on a change: they follow the session.
    void SetServerConnectionState(TServerConnectionState s);
    // The gateway greeted us again after our registration (it restarted, or the
    // link came back to it after a cut): it no longer knows what was sent
    // before, and a reply missing for that says nothing about the link now.
    void GatewayGreetedAnew() noexcept { ++FGreetedAnew; }
    std::int32_t SessionIdentifier() const noexcept { return FSessionIdentifier.load(); }
    void SetSessionIdentifier(std::int32_t id) noexcept { FSessionIdentifier = id; }
    bool Stop() const noexcept { return FStop.load(); }
    void SetStop(bool value) noexcept { FStop = value; }
    std::string RedirectHost();
    std::uint16_t RedirectPort();
    void SetRedirect(const std::string& host, std::uint16_t port);
    TRegisteringData RegisteringData();
    void SetRegisteringData(const TRegisteringData& data);

    // For the connection thread.
    TMCMessenger& Messenger() { return *FMessenger; }
    // Runs after a dispatch, when every delivered message's reply is queued:
    // carries out a DeactivateAfterReplies once those replies have left.
    void FinishDeactivation();
    std::uint32_t NextPingTick() const noexcept { return FNextPingTick.load(); }
    void SetNextPingTick(std::uint32_t tick) noexcept { FNextPingTick = tick; }
    bool DeactivationRequested() const noexcept { return FDeactivationRequested.load(); }

private:
    void OnMessageReceivedProc(TMCQueue& sender, TMCMessage& message, bool& handled);
    void OnReplyProc(TMCMessage& message);
    void OnTimeoutProc(TMCMessage& message, std::uint32_t greetedAnew);
    void OnErrorProc(TMCMessage& message);
    // csDisconnected, transport off, queues cleared (once).
    void Disconnect();
    void MarkConnected();
    // The certificate check, on the transport's thread; takes no lock but FPinsMutex.
    bool GatewayCertificateAccepted(std::string_view derCertificate);
    // Hands a received text to its channel's thread (or channel 0's) while the
    // thread cannot be taken out of the list.
    void DeliverToChannel(int channel, std::string text);

    const std::uint8_t FKind;
    std::atomic<bool> FStop{false};
    std::atomic<bool> FDestroying{false};
    std::mutex FFieldsMutex; // redirect and registering data: small values shared with the GUI thread
    std::string FRedirectHost;
    std::uint16_t FRedirectPort = 0;
    TRegisteringData FRegisteringData;
    TDebugCriticalSection FTrafficCS;
    TDebugMultiReadCriticalSection FStateLock;
    std::vector<std::unique_ptr<TorvChannelThread>> FChannelThreads;
    std::atomic<std::int32_t> FSessionIdentifier{0};
    std::atomic<TServerConnectionState> FServerConnectionState{scsDisconnected};
    std::atomic<std::uint32_t> FGreetedAnew{0}; // counts GatewayGreetedAnew; each send notes it
    std::uint32_t FActivationTick = 0;
    std::uint32_t FMessageCode = 0;
    std::atomic<std::uint32_t> FNextPingTick{0};
    std::atomic<bool> FDeactivationRequested{false};
    std::mutex FPinsMutex; // pins and the gateway they are checked for: read by the transport's thread
    std::vector<std::string> FGatewayPins;
    std::string FPinnedGateway; // host:port of the last activation, for the log
    std::atomic<bool> FIdentityRefused{false};
    std::atomic<std::uint32_t> FDeactivationDeadline{0};
    std::unique_ptr<TMCSSLSocketFactory> FSocketFactory;
    std::unique_ptr<TMCMessenger> FMessenger;
    std::unique_ptr<TMCQueue> FQueue;
    std::unique_ptr<TMCSocketTransport> FTransport;
    std::atomic<TConnectionState> FConnectionState{csNotConnected};
    std::string FHost = "127.0.0.1";
};

// Gives the thread its channel, adds it to the connection (which owns it from
// then on) and starts it.
template <typename T>
T& orvStartChannelThread(TorvConnection& connection, int channel, std::unique_ptr<T> thread)
{
    T& started = *thread;
    started.SetChannel(channel);
    connection.AddChannelThread(std::move(thread));
    started.Start();
    return started;
}

// The one thread that dispatches every registered connection's messenger and
// sends their keep-alives.
class TorvConnectionThread : public TorvThread
{
public:
    TorvConnectionThread() = default;
    ~TorvConnectionThread() override;

    void Register(TorvConnection* connection);
    void Unregister(TorvConnection* connection);

protected:
    void Execute() override;

private:
    void Ping(TorvConnection& connection);
    // How long this connection lets the thread wait when nothing wakes it.
    static int IdleWaitMs(TorvConnection& connection);

    TDebugMultiReadCriticalSection FListLock;
    std::vector<TorvConnection*> FConnections;
};

// Start and end of the connection core: the process-wide connection thread.
void orvStartConnectionCore();
void orvStopConnectionThread(const char* logText = "Connection thread is being terminated.");
void orvShutdownConnectionCore();
TorvConnectionThread& orvConnectionThread();
// The keep-alive interval in force (5000 ms once registered, 1000 before).
std::uint32_t orvPingInterval();

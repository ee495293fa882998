#include "lib/orvConnections.h"

#include "lib/orvGatewayPins.h"
#include "transport/MCAddress.h"
#include "transport/MCError.h"
#include "transport/MCMessenger.h"
#include "transport/MCSSLSocket.h"
#include "transport/MCSocketTransport.h"
#include "transport/MCTLSEngine.h"
#include "transport/MCTime.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <random>

namespace {

constexpr const char* kUnit = "lib/orvConnections";

std::atomic<std::uint32_t> gPingInterval{5000};
std::unique_ptr<TorvConnectionThread> gConnectionThread;
// The thread as the transports' threads reach it to say a messenger has work:
// they may still deliver while the core ends, so they go through this.
std::mutex gWakeMutex;
TorvConnectionThread* gWakeTarget = nullptr; // guarded by gWakeMutex

// The longest the connection thread waits with nothing to do.
constexpr int kIdleWaitMs = 1000;

void WakeConnectionThread() noexcept
{
    std::lock_guard lock(gWakeMutex);
    if (gWakeTarget)
        gWakeTarget->Wake();
}

std::uint32_t RandomBelow(std::uint32_t bound)
{
    static thread_local std::mt19937 generator{std::random_device{}()};
    return std::uniform_int_distribution<std::uint32_t>(0, bound - 1)(generator);
}

// The ping text: the local date and time.
std::string NowText()
{
    std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// True when tick lies after mark (32-bit wrap-around).
bool TickPassed(std::uint32_t tick, std::uint32_t mark)
{
    return static_cast<std::int32_t>(tick - mark) > 0;
}

} // namespace

TorvChannelInfo orvChannelInfo(int channel)
{
    switch (channel) {
    case 1: return {75, 15000};
    case 2: return {50, 30000};
    case 3: return {75, 30000};
    case 4: return {50, 60000};
    case 5: return {75, 10000};
    case 6: return {50, 10000};
    default: throw EorvAssertion(kUnit, "Invalid channel " + std::to_string(channel));
    }
}

// ================================================================ TorvChannelThread

TorvChannelThread::TorvChannelThread()
{
    FCriticalSection.SetName(NextDebugLockName("TorvChannelThread.FCriticalSection-%d"));
}

TorvChannelThread::~TorvChannelThread()
{
    {
        TDebugLock lock(FCriticalSection, "TorvChannelThread.Destroy");
        FMessages.clear();
        DebugLog("Messages cleared in channel thread.");
    }
    DebugLog("Channel thread destroyed.");
}

void TorvChannelThread::AddMessage(std::string text)
{
    {
        TDebugLock lock(FCriticalSection, "TorvChannelThread.AddMessage");
        FMessages.push_back({std::move(text), false});
    }
    Wake();
}

void TorvChannelThread::AddReceived(std::string text)
{
    {
        TDebugLock lock(FCriticalSection, "TorvChannelThread.AddMessage");
        FMessages.push_back({std::move(text), true});
    }
    Wake();
}

std::string TorvChannelThread::GetMessage()
{
    bool fromPeer = false;
    return GetMessage(fromPeer);
}

std::string TorvChannelThread::GetMessage(bool& fromPeer)
{
    TDebugLock lock(FCriticalSection, "TorvChannelThread.GetMessage");
    fromPeer = false;
    if (FMessages.empty())
        return {};
    TQueued queued = std::move(FMessages.front());
    FMessages.pop_front();
    fromPeer = queued.FromPeer;
    return std::move(queued.Text);
}

std::size_t TorvChannelThread::MessageCount()
{
    TDebugLock lock(FCriticalSection, "TorvChannelThread.MessageCount");
    return FMessages.size();
}

void TorvChannelThread::ClearMessages()
{
    TDebugLock lock(FCriticalSection, "TorvChannelThread.ClearMessages");
    FMessages.clear();
}

int TorvChannelThread::GetChannel()
{
    TDebugReadLock lock(FFieldLock, "TorvChannelThread.GetChannel");
    return FChannel;
}

void TorvChannelThread::SetChannel(int channel)
{
    TDebugWriteLock lock(FFieldLock, "TorvChannelThread.SetChannel");
    FChannel = channel;
}

TorvConnection* TorvChannelThread::GetConnection()
{
    TDebugReadLock lock(FFieldLock, "TorvChannelThread.GetConnection");
    return FConnection;
}

void TorvChannelThread::SetConnection(TorvConnection* connection)
{
    TDebugWriteLock lock(FFieldLock, "TorvChannelThread.SetConnection");
    FConnection = connection;
}

bool TorvChannelThread::IsConnectedToServer()
{
    TorvConnection* c = GetConnection();
    orvAssert(c != nullptr, kUnit, "Channel thread without connection");
    return c->GetConnectionState() == csConnected;
}

bool TorvChannelThread::IsTotallyConnected()
{
    TorvConnection* c = GetConnection();
    orvAssert(c != nullptr, kUnit, "Channel thread without connection");
    return c->ServerConnectionState() == scsTotallyConnected;
}

bool TorvChannelThread::Send(const std::string& text)
{
    if (!IsConnectedToServer())
        return false;
    GetConnection()->Send(GetChannel(), text);
    return true;
}

void TorvChannelThread::Execute()
{
    while (!Terminated()) {
        if (MessageCount() == 0) {
            Sleep(1000);
            continue;
        }
        GetMessage();
    }
}

// ================================================================ TorvConnection

TorvConnection::TorvConnection(std::uint8_t kind) : FKind(kind)
{
    FTrafficCS.SetName(NextDebugLockName("TorvConnection.FTrafficCS-%d"));

    FSocketFactory = std::make_unique<TMCSSLSocketFactory>();
    FSocketFactory->SSLEnabled = true;
    FSocketFactory->Versions = TMCSSLVersion::TLS1;
    FSocketFactory->OnCertificateValidate = [this](std::string_view der) {
        return GatewayCertificateAccepted(der);
    };

    FMessenger = std::make_unique<TMCMessenger>();
    // A keep-alive without its reply ends the session: noticed within a second of its
    // time, not up to ten seconds later (the messenger's default sweep).
    FMessenger->SetCleanupInterval(1000);
    FMessenger->SetOnWork(WakeConnectionThread);
    FQueue = std::make_unique<TMCQueue>();
    FQueue->SetQueueName("SendNote");
    FQueue->SetMessenger(FMessenger.get());

    FTransport = std::make_unique<TMCSocketTransport>();
    FTransport->SetActive(false);
    FTransport->SetTransportMode(stmClient);
    FTransport->SetMessenger(FMessenger.get());
    FTransport->SetMessengerAddress("0.0.0.0");
    FTransport->SetMessengerPort(7000);
    FTransport->AttemptsInterval = 500;
    FTransport->AttemptsToConnect = 60;
    FTransport->ReuseServerPort = false;
    FTransport->SetSocketFactory(FSocketFactory.get());

    auto received = [this](TMCQueue& sender, TMCMessage& message, bool& handled) {
        OnMessageReceivedProc(sender, message, handled);
    };
    TMCMessageHandler& handler = FQueue->Handlers.Add();
    handler.Enabled = true;
    handler.MsgCodeLow = 1;
    handler.MsgCodeHigh = 1;
    handler.OnMessage = received;
    FQueue->OnUnhandledMessage = received;

    const std::uint32_t base = kind == orvKindCustomer ? 1000000000u : 2000000000u;
    FMessageCode = base + RandomBelow(100000000);

    orvConnectionThread().Register(this);
}

TorvConnection::~TorvConnection()
{
    FDestroying = true;
    ClearChannelThreads();
    if (gConnectionThread)
        gConnectionThread->Unregister(this);
    {
        TDebugLock traffic(FTrafficCS, "TorvConnection.Destroy");
        TDebugWriteLock state(FStateLock, "TorvConnection.Destroy");
        FChannelThreads.clear();
        FQueue.reset();
        FTransport.reset();
        FMessenger.reset();
        FSocketFactory.reset();
    }
    DebugLog("Connection destroyed.");
}

void TorvConnection::SetAddress(const std::string& host)
{
    SetActive(false);
    TDebugWriteLock lock(FStateLock, "TorvConnection.SetAddress");
    FHost = host;
}

std::string TorvConnection::GetAddress()
{
    TDebugReadLock lock(FStateLock, "TorvConnection.GetAddress");
    return FHost;
}

void TorvConnection::SetPort(std::uint16_t port)
{
    TDebugWriteLock lock(FStateLock, "TorvConnection.SetPort");
    FTransport->SetMessengerPort(port);
}

std::uint16_t TorvConnection::GetPort()
{
    TDebugReadLock lock(FStateLock, "TorvConnection.GetPort");
    return FTransport ? FTransport->MessengerPort() : 0;
}

void TorvConnection::SetGatewayPins(std::vector<std::string> pins)
{
    orvAssert(!GetActive(), kUnit, "Gateway pins set on an active connection");
    std::lock_guard lock(FPinsMutex);
    FGatewayPins = std::move(pins);
}

bool TorvConnection::GatewayCertificateAccepted(std::string_view derCertificate)
{
    std::lock_guard lock(FPinsMutex);
    if (FGatewayPins.empty())
        return true; // any gateway certificate
    const std::string seen = MCPublicKeyPin(derCertificate);
    if (orvPinAccepted(FGatewayPins, seen))
        return true;
    // Logged once per activation: the transport tries again until the establishment switches it off.
    if (!FIdentityRefused.exchange(true)) {
        const std::string why = derCertificate.empty() ? "it showed no certificate"
                                : seen.empty()         ? "its certificate cannot be read"
                                               : "its key " + seen + " matches no pin of the settings file";
        DebugLogFmt("Gateway %s refused: %s", FPinnedGateway.c_str(), why.c_str());
    }
    return false;
}

bool TorvConnection::GetActive()
{
    TDebugReadLock lock(FStateLock, "TorvConnection.GetActive");
    return FTransport && FTransport->Active();
}

void TorvConnection::SetActive(bool value)
{
    bool clear = false;
    bool activated = false;
    {
        TDebugWriteLock lock(FStateLock, "TorvConnection.SetActive");
        if (!FTransport)
            return;
        if (value != FTransport->Active()) {
            if (value) {
                // Before the transport starts: its first handshake may be refused at once.
                std::lock_guard pinsLock(FPinsMutex);
                FPinnedGateway = FHost + ":" + std::to_string(FTransport->MessengerPort());
                FIdentityRefused = false; // a refusal of the last link is not for this one
            }
            FTransport->SetActive(value);
            if (value) {
                FDeactivationRequested = false; // a request of the last link is not for this one
                FActivationTick = MCGetTickCount();
                // Due at once; a tick counter near its signed half-way mark must not make 0 look like the
                // future.
                FNextPingTick = FActivationTick;
                activated = true;
                DebugLog("connection activated");
            } else {
                DebugLog(FHost + ":" + std::to_string(FTransport->MessengerPort()) +
                         " connection deactivated");
            }
            FMessenger->SweepExpired();
        }
        // Switching off a live connection ends it. (Switching on never does.)
        if (!value && FConnectionState == csConnected) {
            FConnectionState = csDisconnected;
            if (FTransport->Active())
                FTransport->SetActive(false);
            clear = true;
        }
    }
    if (activated)
        WakeConnectionThread(); // the first keep-alive is due now
    // The queues are cleared under the traffic lock, which comes before the state lock.
    if (clear)
        ClearChannelQueues();
}

void TorvConnection::DeactivateAfterReplies()
{
    FDeactivationDeadline = MCGetTickCount() + CloseGraceMs;
    FDeactivationRequested = true;
    WakeConnectionThread();
}

void TorvConnection::FinishDeactivation()
{
    if (!FDeactivationRequested)
        return;
    bool unsent = false;
    {
        TDebugReadLock lock(FStateLock, "TorvConnection.FinishDeactivation");
        unsent = FTransport && FTransport->Active() && FTransport->HasUnsentReplies();
    }
    if (unsent && !TickPassed(MCGetTickCount(), FDeactivationDeadline.load()))
        return;
    FDeactivationRequested = false;
    SetActive(false);
}

void TorvConnection::AddChannelThread(std::unique_ptr<TorvChannelThread> thread)
{
    orvAssert(thread != nullptr, kUnit, "No channel thread");
    thread->SetConnection(this);
    TDebugLock traffic(FTrafficCS, "TorvConnection.AddChannelThread");
    TDebugWriteLock state(FStateLock, "TorvConnection.AddChannelThread");
    FChannelThreads.push_back(std::move(thread));
}

void TorvConnection::SetServerConnectionState(TServerConnectionState s)
{
    if (FServerConnectionState.exchange(s) == s)
        return;
    // A thread that waits for texts looks at the session only now and then;
    // what the user does next (start or close a remote desktop) must meet
    // the state it is in now.
    TDebugReadLock lock(FStateLock, "TorvConnection.SetServerConnectionState");
    for (auto& t : FChannelThreads)
        t->Wake();
}

TorvChannelThread* TorvConnection::FindChannelThread(int channel)
{
    TDebugReadLock lock(FStateLock, "TorvConnection.FindChannelThread");
    for (auto& t : FChannelThreads)
        if (t->GetChannel() == channel)
            return t.get();
    return nullptr;
}

void TorvConnection::ClearChannelQueues()
{
    TDebugLock traffic(FTrafficCS, "TorvConnection.ClearChannelQueues");
    TDebugReadLock state(FStateLock, "TorvConnection.ClearChannelQueues");
    for (auto& t : FChannelThreads)
        t->ClearMessages();
}

void TorvConnection::ClearChannelThreads()
{
    ClearChannelQueues();
    for (;;) {
        TorvChannelThread* last = nullptr;
        {
            TDebugReadLock state(FStateLock, "TorvConnection.ClearChannelThreads");
            if (FChannelThreads.empty())
                break;
            last = FChannelThreads.back().get();
        }
        // No lock is held while waiting: the thread may still send or synchronise.
        last->Terminate();
        last->Wake();
        last->WaitFor();
        std::unique_ptr<TorvChannelThread> released;
        {
            TDebugWriteLock state(FStateLock, "TorvConnection.ClearChannelThreads");
            released = std::move(FChannelThreads.back());
            FChannelThreads.pop_back();
        }
    }
    DebugLog("All channels have been terminated.");
}

void TorvConnection::Disconnect()
{
    {
        TDebugWriteLock lock(FStateLock, "TorvConnection.Disconnect");
        if (FConnectionState == csDisconnected)
            return;
        FConnectionState = csDisconnected;
    }
    SetActive(false);
    ClearChannelQueues();
}

void TorvConnection::MarkConnected()
{
    {
        // Checked and set under the lock, so a deactivation cannot slip in between.
        TDebugWriteLock lock(FStateLock, "TorvConnection.MarkConnected");
        if (!FTransport || !FTransport->Active() || FConnectionState == csConnected)
            return;
        FConnectionState = csConnected;
    }
    // What arrived before the connection stood is stale.
    ClearChannelQueues();
}

void TorvConnection::DeliverToChannel(int channel, std::string text)
{
    TDebugReadLock lock(FStateLock, "TorvConnection.OnMessageReceivedProc");
    // Once the session has ended, later texts are answered but not acted on.
    if (!FTransport || !FTransport->Active() || FDeactivationRequested)
        return;
    TorvChannelThread* thread = nullptr;
    for (int wanted : {channel, 0}) {
        for (auto& t : FChannelThreads) {
            if (t->GetChannel() == wanted) {
                thread = t.get();
                break;
            }
        }
        if (thread)
            break;
    }
    if (thread)
        thread->AddReceived(std::move(text));
}

void TorvConnection::Send(int channel, const std::string& text)
{
    TDebugLock traffic(FTrafficCS, "TorvConnection.Send");
    if (!GetActive()) {
        Disconnect();
        return;
    }
    const TorvChannelInfo info = orvChannelInfo(channel);
    TMCMessage message;
    message.Priority = info.Priority;
    message.MsgCode = static_cast<std::int32_t>(FMessageCode);
    message.Param1 = channel;
    message.Param2 = 1;
    message.ReturnData = false;
    message.Data = text;
    if (!IsReadyToSend())
        return; // the first second after activation: dropped without notice
    std::string destination;
    {
        TDebugReadLock state(FStateLock, "TorvConnection.Send");
        destination = "Socket:" + std::string(MCTrim(FHost)) + ":" +
                      std::to_string(FTransport->MessengerPort()) + "|SendNote";
    }
    try {
        FMessenger->SendWithCallbacks(
            destination, message, info.Timeout,
            [](void* self, TMCMessage& m) { static_cast<TorvConnection*>(self)->OnReplyProc(m); },
            [greeted = FGreetedAnew.load()](void* self, TMCMessage& m) {
                static_cast<TorvConnection*>(self)->OnTimeoutProc(m, greeted);
            },
            [](void* self, TMCMessage& m, std::int32_t) {
                static_cast<TorvConnection*>(self)->OnErrorProc(m);
            },
            this);
    } catch (const EMCError& e) {
        // Switched off by another thread since the check above: the same as
        // sending on an inactive connection, not an error of the caller.
        if (e.ErrorCode() != MCErr::TransportInactive)
            throw;
        Disconnect();
        return;
    }
    FNextPingTick = MCGetTickCount() + gPingInterval.load();
}

bool TorvConnection::IsReadyToSend()
{
    TDebugReadLock lock(FStateLock, "TorvConnection.IsReadyToSend");
    return FTransport && FTransport->Active() && !FDeactivationRequested &&
           MCTicksSince(FActivationTick, MCGetTickCount()) > 1000;
}

std::size_t TorvConnection::PendingMessageCount()
{
    TDebugReadLock lock(FStateLock, "TorvConnection.PendingMessageCount");
    return FTransport ? FTransport->CountPending() : 0;
}

std::string TorvConnection::RedirectHost()
{
    std::lock_guard lock(FFieldsMutex);
    return FRedirectHost;
}

std::uint16_t TorvConnection::RedirectPort()
{
    std::lock_guard lock(FFieldsMutex);
    return FRedirectPort;
}

void TorvConnection::SetRedirect(const std::string& host, std::uint16_t port)
{
    std::lock_guard lock(FFieldsMutex);
    FRedirectHost = host;
    FRedirectPort = port;
}

TRegisteringData TorvConnection::RegisteringData()
{
    std::lock_guard lock(FFieldsMutex);
    return FRegisteringData;
}

void TorvConnection::SetRegisteringData(const TRegisteringData& data)
{
    std::lock_guard lock(FFieldsMutex);
    FRegisteringData = data;
}

void TorvConnection::OnMessageReceivedProc(TMCQueue&, TMCMessage& message, bool& handled)
{
    try {
        MarkConnected();
        DeliverToChannel(message.Param1, message.Data);
    } catch (const std::exception& e) {
        DebugLogFmt("Error in TorvConnection.OnMessageReceivedProc: %s", e.what());
    }
    handled = true;
}

void TorvConnection::OnReplyProc(TMCMessage&)
{
    if (!FDestroying)
        MarkConnected();
}

void TorvConnection::OnTimeoutProc(TMCMessage& message, std::uint32_t greetedAnew)
{
    DebugLog("Timeout from channel: " + std::to_string(message.Param1) + " " + message.Data);
    // Lost with a link the gateway has forgotten since; the link of now has not failed.
    if (greetedAnew != FGreetedAnew.load()) {
        DebugLog("Sent before the gateway greeted us again: the connection stays");
        return;
    }
    if (!FDestroying)
        Disconnect();
}

void TorvConnection::OnErrorProc(TMCMessage&)
{
    if (!FDestroying)
        Disconnect();
}

// ================================================================ TorvConnectionThread

TorvConnectionThread::~TorvConnectionThread()
{
    Terminate();
    WaitFor();
    TDebugReadLock lock(FListLock, "TorvConnectionThread.Destroy");
    if (!FConnections.empty())
        DebugLogFmt("%zu connections still registered at the end of the connection thread",
                    FConnections.size());
}

void TorvConnectionThread::Register(TorvConnection* connection)
{
    {
        TDebugWriteLock lock(FListLock, "TorvConnectionThread.Register");
        FConnections.push_back(connection);
    }
    Wake();
}

void TorvConnectionThread::Unregister(TorvConnection* connection)
{
    TDebugWriteLock lock(FListLock, "TorvConnectionThread.Unregister");
    std::erase(FConnections, connection);
}

void TorvConnectionThread::Ping(TorvConnection& connection)
{
    const std::uint32_t now = MCGetTickCount();
    if (!TickPassed(now, connection.NextPingTick()))
        return;
    const bool disconnected = connection.ServerConnectionState() == scsDisconnected;
    gPingInterval = disconnected ? 1000 : 5000;
    connection.SetNextPingTick(now + gPingInterval.load());
    if (!connection.IsReadyToSend())
        return;
    if (disconnected)
        DebugLog("Sending ping message. ServerConnectionState is disconnected");
    connection.Send(orvKeepAliveChannel, NowText());
    if (connection.ServerConnectionState() == scsDisconnected)
        DebugLog("Ping message sent. ServerConnectionState is disconnected");
}

int TorvConnectionThread::IdleWaitMs(TorvConnection& connection)
{
    // A closing link waits for its replies to leave, and a messenger may keep
    // work back after a failing callback: both are looked at every millisecond.
    if (connection.DeactivationRequested())
        return 1;
    TMCMessenger& messenger = connection.Messenger();
    if (connection.GetActive() && (messenger.IncomingCount() != 0 || messenger.CompletedCount() != 0))
        return 1;
    // Keep-alives and the time-out sweep are due on time, not a wait late.
    const auto untilPing = static_cast<std::int32_t>(connection.NextPingTick() - MCGetTickCount());
    const auto untilSweep =
        static_cast<std::int32_t>(std::min<std::uint32_t>(messenger.MsUntilSweep(), kIdleWaitMs));
    return std::clamp(std::min(untilPing, untilSweep), 1, kIdleWaitMs);
}

void TorvConnectionThread::Execute()
{
    while (!Terminated()) {
        int waitMs = kIdleWaitMs;
        {
            TDebugReadLock lock(FListLock, "TorvConnectionThread.Execute");
            for (TorvConnection* connection : FConnections) {
                try {
                    if (connection->GetActive())
                        connection->Messenger().DispatchPending();
                    connection->FinishDeactivation();
                    Ping(*connection);
                    waitMs = std::min(waitMs, IdleWaitMs(*connection));
                } catch (const std::exception& e) {
                    DebugLogFmt("Error in TorvConnectionThread.Execute: %s", e.what());
                    waitMs = 1;
                }
            }
        }
        // Woken by a message or a completion for any messenger, a new or
        // activated connection, a requested deactivation and a stop; otherwise
        // until the next keep-alive or time-out sweep.
        Sleep(waitMs);
    }
}

// ================================================================ start and end

void orvStartConnectionCore()
{
    if (gConnectionThread)
        return;
    gPingInterval = 5000;
    gConnectionThread = std::make_unique<TorvConnectionThread>();
    {
        std::lock_guard lock(gWakeMutex);
        gWakeTarget = gConnectionThread.get();
    }
    gConnectionThread->Start();
}

void orvStopConnectionThread(const char* logText)
{
    if (gConnectionThread && !gConnectionThread->Terminated()) {
        DebugLog(logText);
        gConnectionThread->Terminate();
        gConnectionThread->WaitFor();
    }
}

void orvShutdownConnectionCore()
{
    if (!gConnectionThread)
        return;
    if (!gConnectionThread->Terminated()) {
        DebugLog("Terminating connection thread.");
        gConnectionThread->Terminate();
        DebugLog("Waiting for connection thread.");
        gConnectionThread->WaitFor();
    }
    DebugLog("Destroying connection thread.");
    {
        std::lock_guard lock(gWakeMutex);
        gWakeTarget = nullptr;
    }
    gConnectionThread.reset();
    DebugLog("Destroyed connection thread.");
}

TorvConnectionThread& orvConnectionThread()
{
    orvAssert(gConnectionThread != nullptr, kUnit, "Connection core not started");
    return *gConnectionThread;
}

std::uint32_t orvPingInterval()
{
    return gPingInterval.load();
}

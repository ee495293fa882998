#include "tools/orvgateway/GatewayServer.h"

#include "lib/orvConnections.h"
#include "transport/MCAddress.h"
#include "transport/MCError.h"
#include "transport/MCTime.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <poll.h>
#include <random>
#include <stdexcept>

namespace {

constexpr std::uint32_t IdleCheckIntervalMs = 100;

std::uint64_t RandomSeed()
{
    std::random_device device;
    return (std::uint64_t{device()} << 32) ^ device();
}

} // namespace

// ---------------------------------------------------------------- link tracker

void TGatewayLinkTracker::SocketOpened()
{
    std::lock_guard lock(FLock);
    FSocketOfThread[std::this_thread::get_id()] = ++FLastSocket;
}

void TGatewayLinkTracker::MessageArrived(const TMCMessage& message)
{
    std::lock_guard lock(FLock);
    auto it = FSocketOfThread.find(std::this_thread::get_id());
    if (it != FSocketOfThread.end())
        FSocketOfMessage[{message.MsgIDLo, message.MsgIDHi}] = it->second;
}

void TGatewayLinkTracker::SocketClosed()
{
    std::lock_guard lock(FLock);
    auto it = FSocketOfThread.find(std::this_thread::get_id());
    if (it == FSocketOfThread.end())
        return;
    FClosed.push_back(it->second);
    FSocketOfThread.erase(it);
}

void TGatewayLinkTracker::Bind(const TMCMessage& message, TGatewayLinkId id)
{
    std::lock_guard lock(FLock);
    auto it = FSocketOfMessage.find({message.MsgIDLo, message.MsgIDHi});
    if (it == FSocketOfMessage.end())
        return;
    FLinkOfSocket[it->second] = id;
    FSocketOfMessage.erase(it);
}

std::vector<std::uint64_t> TGatewayLinkTracker::TakeClosed()
{
    std::lock_guard lock(FLock);
    std::vector<std::uint64_t> closed;
    closed.swap(FClosed);
    return closed;
}

TGatewayLinkId TGatewayLinkTracker::Forget(std::uint64_t socket)
{
    std::lock_guard lock(FLock);
    for (auto it = FSocketOfMessage.begin(); it != FSocketOfMessage.end();)
        it = it->second == socket ? FSocketOfMessage.erase(it) : std::next(it);
    auto it = FLinkOfSocket.find(socket);
    if (it == FLinkOfSocket.end())
        return 0;
    const TGatewayLinkId id = it->second;
    FLinkOfSocket.erase(it);
    return id;
}

// ---------------------------------------------------------------- server

TGatewayServer::TGatewayServer(const TGatewayOptions& options, TGatewayLog& log)
    : FOptions(options), FLog(log),
      FCore(
          TGatewayRules{options.RedirectTarget, options.RefusalCode, options.IdleTimeoutMs}, log,
          [this](TGatewayLinkId to, const std::string& address, int channel, std::int32_t msgCode,
                 const std::string& text) { Send(to, address, channel, msgCode, text); },
          RandomSeed())
{
    // Time-outs of our messages count as leaving; notice them within a second.
    FMessenger.SetCleanupInterval(1000);
    FMessenger.OnValidateCredentials = [this](TMCMessenger&, TMCMessage& message,
                                              const TMCMessageCredentials&, bool& valid) {
        FTracker.MessageArrived(message);
        valid = true;
    };
    FQueue.SetQueueName("SendNote");
    FQueue.SetMessenger(&FMessenger);
    TMCMessageHandler& handler = FQueue.Handlers.Add();
    handler.MsgCodeLow = INT32_MIN;
    handler.MsgCodeHigh = INT32_MAX;
    handler.OnMessage = [this](TMCQueue&, TMCMessage& message, bool& handled) {
        OnMessage(message);
        handled = true; // the reply step answers it
    };

    FTransport.SetTransportMode(stmServer);
    FTransport.InactivityTime = options.IdleTimeoutMs;
    FTransport.OnConnected = [this](TMCInetTransport&, TMCSocketSide side, const std::string&, std::uint16_t,
                                    bool&) {
        if (side == TMCSocketSide::Server)
            FTracker.SocketOpened();
    };
    FTransport.OnDisconnected = [this](TMCInetTransport&, TMCSocketSide side, const std::string&,
                                       std::uint16_t) {
        if (side == TMCSocketSide::Server)
            FTracker.SocketClosed();
    };
    FTransport.SetSocketFactory(&FFactory);
    FTransport.SetMessenger(&FMessenger);
}

TGatewayServer::~TGatewayServer()
{
    // Switching off fails every message still on its way; nobody is left to tell.
    FStopping = true;
    try {
        FTransport.SetActive(false);
    } catch (...) {
        // going away anyway
    }
}

void TGatewayServer::Start()
{
    if (!FOptions.Plain) {
        FFactory.SSLEnabled = true;
        FFactory.SetServerCertificate(FOptions.CertFile, FOptions.KeyFile); // names the file when it fails
    }
    const std::string where = FOptions.Address + ":" + std::to_string(FOptions.Port);
    try {
        FTransport.SetMessengerAddress(FOptions.Address);
        FTransport.SetMessengerPort(FOptions.Port);
        FTransport.SetActive(true);
    } catch (const EMCError& e) {
        throw std::runtime_error("cannot listen on " + where + " (is the port in use?): " + e.what());
    }
    if (!FTransport.Active())
        throw std::runtime_error("cannot listen on " + where);
    FLastIdleCheck = MCGetTickCount();
}

void TGatewayServer::Run(int stopFd)
{
    for (;;) {
        pollfd stop{stopFd, POLLIN, 0};
        const int rc = ::poll(&stop, 1, 1);
        if (rc < 0 && errno != EINTR)
            throw std::runtime_error(std::string("waiting failed: ") + std::strerror(errno));
        if (rc > 0)
            return;
        Step();
    }
}

void TGatewayServer::Step()
{
    // Taken first: every message a closed socket brought is in the messenger by now.
    const std::vector<std::uint64_t> closed = FTracker.TakeClosed();
    try {
        FMessenger.DispatchPending();
    } catch (const std::exception& e) {
        FLog.Event(std::string("Error while dispatching: ") + e.what());
    } catch (...) {
        FLog.Event("Unknown error while dispatching");
    }
    for (std::uint64_t socket : closed)
        if (TGatewayLinkId id = FTracker.Forget(socket))
            FCore.OnLinkLost(id);
    while (!FFailures.empty()) {
        std::vector<TFailure> failures;
        failures.swap(FFailures);
        for (const TFailure& f : failures)
            FCore.OnSendFailed(f.Link, f.Channel, f.Reason);
    }
    const std::uint32_t now = MCGetTickCount();
    if (MCTicksSince(FLastIdleCheck, now) >= IdleCheckIntervalMs) {
        FLastIdleCheck = now;
        FCore.CheckIdle(now);
    }
}

void TGatewayServer::OnMessage(TMCMessage& message)
{
    const std::string sender = FMessenger.GetSenderAddress(message);
    if (sender.empty())
        return;
    const std::string address = sender + "|SendNote";
    TGatewayLinkId id = 0;
    try {
        id = MCParseDestination(address).ConnectionUID;
    } catch (const EMCError&) {
        id = 0;
    }
    if (id == 0) {
        FLog.Event("a message without a connection number from " + sender + " is ignored");
        return;
    }
    FTracker.Bind(message, id);
    FCore.OnText(id, address, message.MsgCode, message.Param1, message.Data, MCGetTickCount());
}

void TGatewayServer::Send(TGatewayLinkId to, const std::string& address, int channel, std::int32_t msgCode,
                          const std::string& text)
{
    // The core sends on channels 1 to 4 only, which the programs' own table covers.
    const TorvChannelInfo traits = orvChannelInfo(channel);
    TMCMessage message;
    message.Priority = traits.Priority;
    message.MsgCode = msgCode;
    message.Param1 = channel;
    message.Param2 = 1;
    message.Data = text;
    const std::uint32_t timeout = traits.Timeout;
    try {
        FMessenger.SendWithCallbacks(
            address, message, timeout, [](void*, TMCMessage&) {},
            [this, to, channel, timeout](void*, TMCMessage&) {
                SendFailed(to, channel, "no reply within " + std::to_string(timeout) + " ms");
            },
            [this, to, channel](void*, TMCMessage&, std::int32_t code) {
                SendFailed(to, channel, "error " + std::to_string(code) + " (" + MCErrorText(code) + ")");
            },
            nullptr);
    } catch (const std::exception& e) {
        // Told to the core after this step: it is in the middle of something now.
        FFailures.push_back({to, channel, e.what()});
    }
}

void TGatewayServer::SendFailed(TGatewayLinkId to, int channel, const std::string& reason)
{
    if (!FStopping)
        FCore.OnSendFailed(to, channel, reason);
}

#pragma once

#include "tools/orvgateway/GatewayCore.h"
#include "tools/orvgateway/GatewayLog.h"
#include "tools/orvgateway/GatewayOptions.h"
#include "transport/MCMessenger.h"
#include "transport/MCSSLSocket.h"
#include "transport/MCSocketTransport.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

// Matches the end of an accepted socket to the connection its messages came
// from. The transport reports a socket's end without naming the connection,
// but it runs each accepted socket's whole life (the connect event, the
// acceptance of every received message, the disconnect event) on one worker
// thread, so the calling thread tells which socket a message came over.
class TGatewayLinkTracker
{
public:
    // On the transport's worker threads.
    void SocketOpened();
    void MessageArrived(const TMCMessage& message);
    void SocketClosed();

    // On the main thread. Ties the connection a message named to its socket.
    void Bind(const TMCMessage& message, TGatewayLinkId id);
    // The sockets closed since the last call. Dispatch the messages they
    // brought before calling Forget for them.
    std::vector<std::uint64_t> TakeClosed();
    // The connection of a closed socket, 0 when it never sent a message.
    TGatewayLinkId Forget(std::uint64_t socket);

private:
    using TMsgID = std::pair<std::uint32_t, std::uint32_t>;

    std::mutex FLock;
    std::uint64_t FLastSocket = 0;
    std::unordered_map<std::thread::id, std::uint64_t> FSocketOfThread;
    std::map<TMsgID, std::uint64_t> FSocketOfMessage; // received, not yet handled
    std::unordered_map<std::uint64_t, TGatewayLinkId> FLinkOfSocket;
    std::vector<std::uint64_t> FClosed;
};

// The gateway on the accepting side of the socket transport: hands every
// received channel text to the core and sends what the core says. All core
// calls happen on the thread that runs Run.
class TGatewayServer
{
public:
    // The certificate files must be set unless options.Plain.
    TGatewayServer(const TGatewayOptions& options, TGatewayLog& log);
    ~TGatewayServer();
    TGatewayServer(const TGatewayServer&) = delete;
    TGatewayServer& operator=(const TGatewayServer&) = delete;

    // Starts listening; throws std::runtime_error with the reason.
    void Start();
    std::uint16_t ListeningPort() const noexcept { return FTransport.ListeningPort(); }
    // Serves until stopFd becomes readable; dispatches about every millisecond.
    void Run(int stopFd);

private:
    void Step();
    void OnMessage(TMCMessage& message);
    void Send(TGatewayLinkId to, const std::string& address, int channel, std::int32_t msgCode,
              const std::string& text);
    void SendFailed(TGatewayLinkId to, int channel, const std::string& reason);

    const TGatewayOptions FOptions;
    TGatewayLog& FLog;
    TGatewayLinkTracker FTracker; // outlives the transport, whose threads report to it
    std::atomic<bool> FStopping{false};
    struct TFailure
    {
        TGatewayLinkId Link;
        int Channel;
        std::string Reason;
    };
    std::vector<TFailure> FFailures; // sends that failed at once, told to the core after the step
    std::uint32_t FLastIdleCheck = 0;
    TGatewayCore FCore; // outlives the messenger, whose end still runs completions
    TMCMessenger FMessenger;
    TMCQueue FQueue;
    TMCSSLSocketFactory FFactory;
    TMCSocketTransport FTransport;
};

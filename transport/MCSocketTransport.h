#pragma once

#include "transport/MCMessenger.h"
#include "transport/MCSocket.h"
#include "transport/MCThreadPool.h"
#include "transport/MCWireFormat.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

enum TMCInetTransportMode { stmP2P, stmServer, stmClient };
enum TMCBandwidthPolicy { bpStrict, bpFlexible };

class TMCInetTransport;
using TMCSocketConnectedEvent =
    std::function<void(TMCInetTransport& sender, TMCSocketSide direction, const std::string& remoteHost,
                       std::uint16_t remotePort, bool& allowConnection)>;
using TMCSocketDisconnectedEvent =
    std::function<void(TMCInetTransport& sender, TMCSocketSide direction, const std::string& remoteHost,
                       std::uint16_t remotePort)>;

class TMCSocketTransportJob;

// One remote address with a live or pending connection. Its job owns the
// connection's bytes. Other threads insert into Outgoing under Lock and wake
// the job; a sender may instead write the new frame itself, but only when it
// gets IoLock at once and the link is idle (TMCSocketTransportJob::TrySendNow),
// which spares the job a wake-up per message.
class TMCInetConnectionEntry
{
public:
    TMCInetConnectionEntry(std::uint32_t uid, bool accepted) : ConnectionUID(uid), Accepted(accepted) {}

    std::mutex Lock; // the entry lock: Outgoing, Current, ConnectionID, RemoteAddress
    std::uint32_t ConnectionID = 0;
    const std::uint32_t ConnectionUID;
    const bool Accepted; // the peer connected to us
    std::uint32_t Attempts = 0;
    TMCTransformerIDs TransformerIDs = MCNotNegotiated;
    std::string RemoteAddress;         // destination host:port, later "id:host:port" as the peer announced
    std::string DestAddress;           // the destination it was created for
    TMCMessageList Outgoing;           // to send, and sent requests waiting for their replies
    TMCMessageInfo* Current = nullptr; // whose frame is being written; cleared when it leaves the list
    TMCWakeup Wakeup;
    std::atomic<bool> Terminated{false};
    // A frame the job took has bytes that have not yet reached the kernel.
    std::atomic<bool> Unflushed{false};
    // Held, once the link is up, by whoever works on its socket and frames:
    // the job (never while it waits in poll) or a sender writing directly.
    // While connecting, and after the link ends, the job alone uses them.
    std::mutex IoLock;
    // Set when the job is made. The job lives while the entry is in the list
    // and the transport is not stopping (a stop drops jobs not yet started).
    TMCSocketTransportJob* Job = nullptr;
};

using TMCSocketConnectionEntry = TMCInetConnectionEntry;

// The socket transport: client connections on demand, and for the
// development gateway an accepting side (stmServer).
class TMCInetTransport : public TMCBaseTransport
{
public:
    TMCInetTransport();
    ~TMCInetTransport() override;

    TMCInetTransportMode TransportMode() const noexcept { return FMode; }
    void SetTransportMode(TMCInetTransportMode value);
    std::string MessengerAddress() const;
    // "255.255.255.255" or a dotted address, else EMCError 204 (the old value stays, the transport stays
    // off).
    void SetMessengerAddress(const std::string& value);
    std::uint16_t MessengerPort() const noexcept { return FMessengerPort.load(); }
    void SetMessengerPort(std::uint16_t value);
    // The port the listener really got (differs from MessengerPort when that was 0).
    std::uint16_t ListeningPort() const noexcept { return FListeningPort.load(); }

    std::uint32_t AttemptsToConnect = 1;
    std::uint32_t AttemptsInterval = 0;
    std::uint32_t ConnectionTimeout = 10000;
    std::uint32_t InactivityTime = 0;
    bool FailOnInactive = false;
    std::uint32_t IncomingBufferSize = 8192;
    std::uint32_t OutgoingBufferSize = 8192;
    bool ReuseServerPort = true;
    bool RoutingAllowed = true;
    bool NoTransformerFallback = false;
    std::size_t ThreadPoolSize = 0;
    std::uint32_t ClientThreadLimit = 0; // kept for callers; nothing reads it

    // Proxies, speed limits and spooling to temporary files are not carried
    // by this transport. Their switches exist so that settings can be
    // written as elsewhere, but activation refuses any that is on rather
    // than connecting without it.
    bool UseSocks() const noexcept { return FUseSocks; }
    void SetUseSocks(bool value) noexcept; // setting one proxy clears the other
    bool UseWebTunneling() const noexcept { return FUseWebTunneling; }
    void SetUseWebTunneling(bool value) noexcept;
    std::string SocksServer;
    std::uint16_t SocksPort = 1080;
    int SocksVersion = 5;
    std::string WebTunnelAddress;
    std::uint16_t WebTunnelPort = 3128;
    std::uint32_t IncomingSpeedLimit = 0; // bytes per second; 0 = none
    std::uint32_t OutgoingSpeedLimit = 0;
    TMCBandwidthPolicy BandwidthPolicy = bpStrict;
    bool UseTempFilesForIncoming = false;
    bool UseTempFilesForOutgoing = false;
    std::uint32_t IncomingMemoryThreshold = 0;
    std::uint32_t OutgoingMemoryThreshold = 0;
    std::string TempFilesFolder;

    TMCSocketConnectedEvent OnConnected;
    TMCSocketDisconnectedEvent OnDisconnected;

    // Not owned; null means a built-in plain socket factory.
    void SetSocketFactory(TMCSocketFactory* factory) { FSocketFactory = factory; }
    TMCSocketFactory& SocketFactory() { return FSocketFactory ? *FSocketFactory : FStdFactory; }

    void DeliverMessage(TMCMessageInfoPtr info) override;
    void SendReply(TMCMessageInfoPtr info) override;
    void SweepTimeouts() override;
    std::size_t CountPending() override;
    // True while a reply (or error reply) waits to be written on some
    // connection, or a written frame still waits in the socket layer.
    bool HasUnsentReplies();
    std::size_t CountOutgoingConnections();
    std::size_t CountAcceptedConnections();

protected:
    void ActivationChanged(bool active) override;

private:
    friend class TMCSocketTransportJob;
    friend class TMCInetListenerJob;

    void CreateConnectionLocked();
    TMCInetConnectionEntry* FindEntryLocked(const TMCMessageInfo& info);
    void QueueToEntry(TMCInetConnectionEntry& entry, TMCMessageInfoPtr info);
    void AddAccepted(std::unique_ptr<TMCSocket> socket);
    // Removes the entry from the list and hands its messages back (job end).
    std::unique_ptr<TMCInetConnectionEntry> EndEntry(TMCInetConnectionEntry& entry, std::int32_t code,
                                                     bool terminated);
    void ReturnToPending(TMCMessageList&& messages, std::int32_t code, bool fail);
    void MovePendingForPoll(TMCInetConnectionEntry& entry);
    void StartListener();
    void RefuseUnsupportedSwitches() const;

    std::mutex FLock; // the transport lock: pending list, entries
    TMCMessageList FPending;
    std::vector<std::unique_ptr<TMCInetConnectionEntry>> FEntries;
    bool FStopping = false;
    mutable std::mutex FSettingsLock;
    std::string FMessengerAddress = "0.0.0.0";
    std::atomic<std::uint16_t> FMessengerPort{0};
    std::atomic<std::uint16_t> FListeningPort{0};
    TMCInetTransportMode FMode = stmP2P;
    bool FUseSocks = false;
    bool FUseWebTunneling = false;
    TMCSocketFactory* FSocketFactory = nullptr;
    TMCStdSocketFactory FStdFactory;
    TMCThreadPool FPool;
};

class TMCSocketTransport : public TMCInetTransport
{
public:
    TMCSocketTransport();
    ~TMCSocketTransport() override;
};

// The process-wide counter of ConnectionUID values and locally assigned connection numbers.
std::uint32_t MCNextConnectionUID() noexcept;

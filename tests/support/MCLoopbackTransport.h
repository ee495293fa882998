#pragma once

#include "transport/MCMessenger.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

// A test double of a transport: two sides, each registered with its own
// messenger, hand requests and replies to each other in memory, paired by
// TransferID as a real connection would. Any address after "LOOP:" reaches the
// peer side.
//
// Delivery is immediate, on the thread that sends (or answers), unless the side
// holds its outgoing messages (SetHold(true)): then they wait in an ordered
// outgoing list until Flush() sends them in list order, or FailHeld() fails
// them. A request that expects a reply waits on the sending side until its
// reply arrives, its timeout is swept, FailWaiting() fails it or the side is
// switched off (error 51). A request to a peer that is off or detached fails at
// once with 205.
class TMCLoopbackTransport : public TMCBaseTransport
{
public:
    explicit TMCLoopbackTransport(std::string address);
    ~TMCLoopbackTransport() override;

    // The source address the peer sees on this side's messages.
    const std::string& Address() const noexcept { return FAddress; }

    void SetHold(bool hold) { FHold = hold; }
    // Sends every held message in list order; returns how many.
    std::size_t Flush();
    // Fails every held message with the code (requests reach OnError).
    void FailHeld(std::int32_t code);
    // Fails every request waiting for its reply, as a lost link would.
    void FailWaiting(std::int32_t code);
    std::size_t HeldCount();
    std::size_t WaitingCount();

    // Sees every request and reply this side hands to its peer, just before.
    std::function<void(const TMCMessageInfo&)> OnWire;

    void DeliverMessage(TMCMessageInfoPtr info) override;
    void SendReply(TMCMessageInfoPtr info) override;
    void SweepTimeouts() override;
    std::size_t CountPending() override;

protected:
    void ActivationChanged(bool active) override;

private:
    friend class TMCLoopbackPair;

    void Enqueue(TMCMessageInfoPtr info);
    void Transmit(TMCMessageInfoPtr info);
    void ReceiveRequest(TMCMessageInfoPtr wire);
    void ReceiveReply(TMCMessageInfoPtr reply);
    // Takes the whole list (FHeld or FWaiting) under the lock, then fails each outside it.
    void FailAll(TMCMessageList& list, std::int32_t code);

    const std::string FAddress;
    std::atomic<TMCLoopbackTransport*> FPeer{nullptr};
    std::atomic<bool> FHold{false};
    std::mutex FLock; // FHeld, FWaiting
    TMCMessageList FHeld;
    TMCMessageList FWaiting;
};

// Two linked sides: A with address "loop-a", B with "loop-b".
class TMCLoopbackPair
{
public:
    TMCLoopbackPair();
    ~TMCLoopbackPair();
    TMCLoopbackPair(const TMCLoopbackPair&) = delete;
    TMCLoopbackPair& operator=(const TMCLoopbackPair&) = delete;

    TMCLoopbackTransport A{"loop-a"};
    TMCLoopbackTransport B{"loop-b"};
};

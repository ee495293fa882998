#include "tests/support/MCLoopbackTransport.h"

#include "transport/MCError.h"
#include "transport/MCTime.h"

#include <algorithm>
#include <vector>

namespace {

// What the peer would read off the wire: the record and routing fields, a
// fresh MsgID, no callbacks.
TMCMessageInfoPtr WireCopy(const TMCMessageInfo& src, const std::string& sourceAddress)
{
    auto wire = std::make_unique<TMCMessageInfo>();
    wire->Created = src.Created;
    wire->TransferIDLo = src.TransferIDLo;
    wire->TransferIDHi = src.TransferIDHi;
    wire->IsSync = src.IsSync;
    wire->DestQueue = src.DestQueue;
    wire->Credentials = src.Credentials;
    wire->Kind = mkMessage;
    wire->Message = src.Message;
    MCGenerateID(wire->Message.MsgIDLo, wire->Message.MsgIDHi);
    wire->SourceAddress = sourceAddress;
    wire->DestAddress = src.DestAddress;
    wire->EchoByte = src.EchoByte;
    wire->ReturnRoute = src.ReturnRoute;
    wire->SentTick = MCGetTickCount();
    return wire;
}

bool IsExpired(const TMCMessageInfo& info, std::uint32_t now)
{
    return MCTimedOut(info.SentTick, info.Timeout, now);
}

} // namespace

TMCLoopbackTransport::TMCLoopbackTransport(std::string address)
    : TMCBaseTransport("LOOP"), FAddress(std::move(address))
{
}

TMCLoopbackTransport::~TMCLoopbackTransport()
{
    SetActive(false);
    SetMessenger(nullptr);
}

void TMCLoopbackTransport::DeliverMessage(TMCMessageInfoPtr info)
{
    Enqueue(std::move(info));
}

void TMCLoopbackTransport::SendReply(TMCMessageInfoPtr info)
{
    Enqueue(std::move(info));
}

void TMCLoopbackTransport::Enqueue(TMCMessageInfoPtr info)
{
    if (FHold) {
        std::lock_guard lock(FLock);
        MCInsertOrdered(FHeld, std::move(info));
        return;
    }
    Transmit(std::move(info));
}

std::size_t TMCLoopbackTransport::Flush()
{
    std::size_t sent = 0;
    for (;;) {
        TMCMessageInfoPtr info;
        {
            std::lock_guard lock(FLock);
            if (FHeld.empty())
                return sent;
            info = std::move(FHeld.front());
            FHeld.erase(FHeld.begin());
        }
        Transmit(std::move(info));
        ++sent;
    }
}

void TMCLoopbackTransport::Transmit(TMCMessageInfoPtr info)
{
    TMCLoopbackTransport* peer = FPeer.load();
    const bool reachable = peer && peer->Active() && peer->Messenger();
    if (info->Kind != mkMessage) {
        // A reply; nobody to tell when it cannot be delivered.
        if (reachable) {
            if (OnWire)
                OnWire(*info);
            peer->ReceiveReply(std::move(info));
        }
        return;
    }
    if (!reachable) {
        FailMessage(std::move(info), MCErr::ConnectionFailed);
        return;
    }
    auto wire = WireCopy(*info, FAddress);
    if (info->ExpectsReply()) {
        // Waiting before the peer sees it, so a reply from another thread finds it.
        std::lock_guard lock(FLock);
        info->Sent = true;
        FWaiting.push_back(std::move(info));
    }
    if (OnWire)
        OnWire(*wire);
    peer->ReceiveRequest(std::move(wire));
}

void TMCLoopbackTransport::ReceiveRequest(TMCMessageInfoPtr wire)
{
    TMCMessenger* messenger = Messenger();
    if (!messenger || !Active())
        return; // lost; its sender times out
    wire->Timeout = MaxTimeout;
    messenger->AcceptMessage(std::move(wire), *this);
}

void TMCLoopbackTransport::ReceiveReply(TMCMessageInfoPtr reply)
{
    TMCMessageInfoPtr request;
    {
        std::lock_guard lock(FLock);
        auto it = std::find_if(FWaiting.begin(), FWaiting.end(), [&](const TMCMessageInfoPtr& p) {
            return p->TransferIDLo == reply->TransferIDLo && p->TransferIDHi == reply->TransferIDHi;
        });
        if (it == FWaiting.end())
            return; // timed out or failed meanwhile
        request = std::move(*it);
        FWaiting.erase(it);
    }
    if (request->Message.ReturnData)
        request->Message.Data = std::move(reply->Message.Data);
    request->Message.Result = reply->Message.Result;
    request->ErrorCode = reply->ErrorCode;
    request->Kind = reply->Kind;
    if (TMCMessenger* messenger = Messenger())
        messenger->CompleteMessage(std::move(request));
}

void TMCLoopbackTransport::FailAll(TMCMessageList& list, std::int32_t code)
{
    TMCMessageList taken;
    {
        std::lock_guard lock(FLock);
        taken.swap(list);
    }
    for (auto& info : taken)
        FailMessage(std::move(info), code);
}

void TMCLoopbackTransport::FailHeld(std::int32_t code)
{
    FailAll(FHeld, code);
}

void TMCLoopbackTransport::FailWaiting(std::int32_t code)
{
    FailAll(FWaiting, code);
}

std::size_t TMCLoopbackTransport::HeldCount()
{
    std::lock_guard lock(FLock);
    return FHeld.size();
}

std::size_t TMCLoopbackTransport::WaitingCount()
{
    std::lock_guard lock(FLock);
    return FWaiting.size();
}

std::size_t TMCLoopbackTransport::CountPending()
{
    std::lock_guard lock(FLock);
    return FHeld.size() + FWaiting.size();
}

void TMCLoopbackTransport::SweepTimeouts()
{
    const std::uint32_t now = MCGetTickCount();
    TMCMessageList expired;
    {
        std::lock_guard lock(FLock);
        for (TMCMessageList* list : {&FHeld, &FWaiting}) {
            auto keep = std::stable_partition(list->begin(), list->end(), [now](const TMCMessageInfoPtr& p) {
                return !IsExpired(*p, now);
            });
            std::move(keep, list->end(), std::back_inserter(expired));
            list->erase(keep, list->end());
        }
    }
    TMCMessenger* messenger = Messenger();
    for (auto& info : expired) {
        info->Kind = mkTimedOut;
        if (messenger)
            messenger->CompleteMessage(std::move(info));
    }
}

void TMCLoopbackTransport::ActivationChanged(bool active)
{
    if (active)
        return;
    FailHeld(MCErr::TransportDeactivated);
    FailWaiting(MCErr::TransportDeactivated);
}

TMCLoopbackPair::TMCLoopbackPair()
{
    A.FPeer = &B;
    B.FPeer = &A;
}

TMCLoopbackPair::~TMCLoopbackPair()
{
    A.FPeer = nullptr;
    B.FPeer = nullptr;
}

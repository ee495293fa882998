#include "transport/MCMessenger.h"

#include "transport/MCAddress.h"
#include "transport/MCError.h"
#include "transport/MCTime.h"

#include <algorithm>
#include <exception>
#include <list>
#include <thread>

namespace {

constexpr const char* ReplyQueueName = "intREPLY";
constexpr const char* EmptyRequestQueue = "EmptyRequest";

// Registered queues or transports in registration order. A caller pins an
// entry for the length of a call into it; unregistering waits until other
// threads have dropped their pins, so an object is never called after its
// owner detached it. Pins of the unregistering thread itself (an object
// detaching itself from inside such a call) are not waited for. The mutex is
// innermost: nothing else is taken or called while it is held.
template <class T> class TMCLinkRegistry
{
    struct Slot
    {
        T* Item;
        std::vector<std::thread::id> Pins;
        bool Removed = false;
        bool Waiting = false; // Remove waits on it; it erases the slot itself
    };

public:
    class Pin
    {
    public:
        Pin() = default;
        Pin(TMCLinkRegistry* owner, Slot* slot) : FOwner(owner), FSlot(slot) {}
        Pin(Pin&& other) noexcept : FOwner(other.FOwner), FSlot(other.FSlot) { other.FSlot = nullptr; }
        Pin& operator=(Pin&& other) noexcept
        {
            if (this != &other) {
                Reset();
                FOwner = other.FOwner;
                FSlot = other.FSlot;
                other.FSlot = nullptr;
            }
            return *this;
        }
        ~Pin() { Reset(); }

        explicit operator bool() const noexcept { return FSlot != nullptr; }
        T* operator->() const noexcept { return FSlot->Item; }
        T& operator*() const noexcept { return *FSlot->Item; }
        T* Get() const noexcept { return FSlot ? FSlot->Item : nullptr; }
        void Reset() noexcept
        {
            if (FSlot)
                FOwner->Release(FSlot);
            FSlot = nullptr;
        }

    private:
        TMCLinkRegistry* FOwner = nullptr;
        Slot* FSlot = nullptr;
    };

    void Add(T* item)
    {
        std::lock_guard lock(FMutex);
        for (auto& slot : FSlots)
            if (slot.Item == item && !slot.Removed)
                return;
        FSlots.push_back(Slot{item, {}, false, false});
    }

    void Remove(T* item)
    {
        const auto self = std::this_thread::get_id();
        std::unique_lock lock(FMutex);
        for (auto it = FSlots.begin(); it != FSlots.end(); ++it) {
            if (it->Item != item || it->Removed)
                continue;
            it->Removed = true;
            it->Waiting = true;
            FUnpinned.wait(lock, [&] {
                return std::all_of(it->Pins.begin(), it->Pins.end(), [&](auto id) { return id == self; });
            });
            it->Waiting = false;
            if (it->Pins.empty())
                FSlots.erase(it);
            return;
        }
    }

    template <class Pred> Pin FindFirst(Pred pred)
    {
        std::lock_guard lock(FMutex);
        for (auto& slot : FSlots)
            if (!slot.Removed && pred(*slot.Item))
                return Take(slot);
        return {};
    }

    Pin PinItem(const T* item)
    {
        if (!item)
            return {};
        return FindFirst([item](const T& candidate) { return &candidate == item; });
    }

    std::vector<Pin> PinAll()
    {
        std::vector<Pin> pins;
        std::lock_guard lock(FMutex);
        pins.reserve(FSlots.size());
        for (auto& slot : FSlots)
            if (!slot.Removed)
                pins.push_back(Take(slot));
        return pins;
    }

    std::vector<T*> Items() const
    {
        std::vector<T*> items;
        std::lock_guard lock(FMutex);
        for (auto& slot : FSlots)
            if (!slot.Removed)
                items.push_back(slot.Item);
        return items;
    }

private:
    Pin Take(Slot& slot)
    {
        slot.Pins.push_back(std::this_thread::get_id());
        return Pin(this, &slot);
    }

    void Release(Slot* slot) noexcept
    {
        const auto self = std::this_thread::get_id();
        std::lock_guard lock(FMutex);
        auto pin = std::find(slot->Pins.begin(), slot->Pins.end(), self);
        if (pin != slot->Pins.end())
            slot->Pins.erase(pin);
        if (slot->Removed && !slot->Waiting && slot->Pins.empty())
            FSlots.remove_if([slot](const Slot& s) { return &s == slot; });
        FUnpinned.notify_all();
    }

    mutable std::mutex FMutex;
    std::condition_variable FUnpinned;
    std::list<Slot> FSlots; // stable addresses for the pins
};

void FreeData(TMCMessage& message)
{
    std::string().swap(message.Data);
}

// Turns a handled (or refused) request into its reply, in place.
void PrepareReply(TMCMessageInfo& info)
{
    info.Kind = info.ErrorCode != 0 ? mkErrorReply : mkReply;
    info.DestQueue = ReplyQueueName;
    if (info.ErrorCode == MCErr::ReplyDeferred || !info.Message.ReturnData)
        FreeData(info.Message);
    if (info.ExpectsReply()) {
        info.ForwardRoute = std::move(info.ReturnRoute);
        info.ReturnRoute.clear();
    }
}

// The envelope fields a transport may need to name the sender, without the
// data block and the sender's callbacks.
TMCMessageInfo AddressCopy(const TMCMessageInfo& src)
{
    TMCMessageInfo copy;
    copy.Created = src.Created;
    copy.TransferIDLo = src.TransferIDLo;
    copy.TransferIDHi = src.TransferIDHi;
    copy.IsSync = src.IsSync;
    copy.DestQueue = src.DestQueue;
    copy.ErrorCode = src.ErrorCode;
    copy.Kind = src.Kind;
    copy.Message.MsgIDLo = src.Message.MsgIDLo;
    copy.Message.MsgIDHi = src.Message.MsgIDHi;
    copy.Transport = src.Transport;
    copy.SourceAddress = src.SourceAddress;
    copy.DestAddress = src.DestAddress;
    copy.Path = src.Path;
    copy.Connection = src.Connection;
    copy.ConnectionID = src.ConnectionID;
    copy.ConnectionUID = src.ConnectionUID;
    copy.EchoByte = src.EchoByte;
    copy.ReturnRoute = src.ReturnRoute;
    copy.ForwardRoute = src.ForwardRoute;
    return copy;
}

// Runs the one callback an outcome calls for; exceptions go to the caller.
void RunCallback(TMCMessageInfo& info)
{
    switch (info.Kind) {
    case mkReply:
        if (info.OnReply)
            info.OnReply(info.UserData, info.Message);
        break;
    case mkTimedOut:
        if (info.OnTimeout)
            info.OnTimeout(info.UserData, info.Message);
        break;
    default:
        // mkErrorReply, or a kind no transport should complete with: either
        // way the sender learns that no reply will come.
        if (info.Kind != mkErrorReply && info.ErrorCode == 0)
            info.ErrorCode = MCErr::UnexpectedFailure;
        if (info.OnError)
            info.OnError(info.UserData, info.Message, info.ErrorCode);
        break;
    }
}

} // namespace

// ---------------------------------------------------------------------------
// Queues and handlers

TMCMessageHandler& TMCMessageHandlers::Add()
{
    FItems.push_back(std::make_unique<TMCMessageHandler>());
    return *FItems.back();
}

TMCQueue::~TMCQueue()
{
    SetMessenger(nullptr);
}

void TMCQueue::SetMessenger(TMCMessenger* messenger)
{
    if (messenger == FMessenger)
        return;
    if (FMessenger)
        FMessenger->UnregisterQueue(this);
    FMessenger = messenger;
    if (messenger)
        messenger->RegisterQueue(this);
}

// ---------------------------------------------------------------------------
// Transport base

TMCBaseTransport::TMCBaseTransport(std::string defaultName) : FDefaultName(std::move(defaultName)) {}

TMCBaseTransport::~TMCBaseTransport()
{
    // Derived classes have switched off already; only the registration is left.
    if (auto* messenger = FMessenger.exchange(nullptr))
        messenger->UnregisterTransport(this);
}

std::string TMCBaseTransport::Name() const
{
    return FName.empty() ? FDefaultName : FName;
}

void TMCBaseTransport::SetMessenger(TMCMessenger* messenger)
{
    TMCMessenger* old = FMessenger.load();
    if (old == messenger)
        return;
    // A running transport must not hand messages to a messenger it is leaving.
    SetActive(false);
    if (old)
        old->UnregisterTransport(this);
    FMessenger = messenger;
    if (messenger)
        messenger->RegisterTransport(this);
}

void TMCBaseTransport::SetActive(bool value)
{
    std::lock_guard lock(FActivationLock);
    if (value && !Messenger())
        return;
    if (FActive.load() == value)
        return;
    FActive = value;
    try {
        ActivationChanged(value);
    } catch (...) {
        if (value)
            FActive = false;
        throw;
    }
}

void TMCBaseTransport::FailMessage(TMCMessageInfoPtr info, std::int32_t errorCode)
{
    if (!info)
        return;
    info->ErrorCode = errorCode;
    const TMCMessageKind kind = info->Kind == mkSending ? info->SavedKind : info->Kind;
    if (kind != mkMessage || !info->ExpectsReply())
        return; // polls, replies and one-way messages have nobody to tell
    info->Kind = mkErrorReply;
    if (auto* messenger = Messenger())
        messenger->CompleteMessage(std::move(info));
}

// ---------------------------------------------------------------------------
// Messenger

struct TMCMessenger::Impl
{
    TMCLinkRegistry<TMCQueue> Queues;
    TMCLinkRegistry<TMCBaseTransport> Transports;

    mutable std::mutex IncomingLock;
    TMCMessageList Incoming;

    mutable std::mutex CompletedLock;
    TMCMessageList Completed; // oldest first; short, and a vector allocates nothing once grown

    std::atomic<std::uint32_t> LastSweep{0};
};

TMCMessenger::TMCMessenger() : FImpl(std::make_unique<Impl>()) {}

TMCMessenger::~TMCMessenger()
{
    // Senders waiting for these would otherwise wait until their timeout.
    TMCMessageList incoming;
    {
        std::lock_guard lock(FImpl->IncomingLock);
        incoming.swap(FImpl->Incoming);
    }
    for (auto& info : incoming) {
        if (!info->ExpectsReply())
            continue;
        if (info->ErrorCode == 0)
            info->ErrorCode = MCErr::UnexpectedFailure; // an error reply must carry a code
        PrepareReply(*info);
        try {
            SendBack(std::move(info));
        } catch (...) {
            // the envelope went with the exception; nothing else to do while closing
        }
    }
    incoming.clear();

    // A transport still attached would call into a freed messenger. Switching
    // it off fails its unanswered requests into the completed list first.
    for (auto* transport : FImpl->Transports.Items()) {
        try {
            transport->SetMessenger(nullptr);
        } catch (...) {
            // switching off failed; it is detached all the same
        }
    }

    RunCompletions(true);

    for (auto* queue : FImpl->Queues.Items())
        queue->SetMessenger(nullptr);
}

void TMCMessenger::SendWithCallbacks(const std::string& destination, TMCMessage& message,
                                     std::uint32_t timeout, TMCReplyProc onReply, TMCTimeoutProc onTimeout,
                                     TMCErrorProc onError, void* userData,
                                     const TMCMessageCredentials* credentials)
{
    // The caller's record carries its new identifier even when the send fails.
    MCGenerateID(message.MsgIDLo, message.MsgIDHi);
    TMCDestination dest = MCParseDestination(destination);

    auto info = std::make_unique<TMCMessageInfo>();
    info->Created = MCNowUTCDayCount();
    info->Message = message; // the one copy of the caller's data
    info->Kind = mkMessage;
    info->SavedKind = mkMessage;
    MCGenerateID(info->TransferIDLo, info->TransferIDHi);
    info->IsSync = onReply ? 0xFFFFFFFFu : 0u;
    info->OnReply = std::move(onReply);
    info->OnTimeout = std::move(onTimeout);
    info->OnError = std::move(onError);
    info->UserData = userData;
    info->SentTick = MCGetTickCount();
    info->Timeout = timeout;
    if (credentials)
        info->Credentials = *credentials;
    info->DestQueue = std::move(dest.QueueName);
    info->DestAddress = std::move(dest.Address);
    info->Path = std::move(dest.Path);
    info->ForwardRoute = std::move(dest.ForwardRoute);
    if (dest.HasConnection) {
        info->ConnectionID = dest.ConnectionID;
        info->ConnectionUID = dest.ConnectionUID;
    }

    // The first transport whose name matches decides, active or not.
    auto transport = FImpl->Transports.FindFirst(
        [&](const TMCBaseTransport& t) { return MCDestinationMatches(destination, t.Name()); });
    if (!transport)
        throw EMCError(MCErr::NoTransport);
    if (!transport->Active())
        throw EMCError(MCErr::TransportInactive);
    info->Transport = transport.Get();
    transport->DeliverMessage(std::move(info));
}

void TMCMessenger::DispatchPending()
{
    if (CleanupInterval() != 0)
        SweepExpired();
    RunCompletions(false);
    DispatchIncoming();
}

void TMCMessenger::RunCompletions(bool all)
{
    // Only what is there now: a transport completing fast must not keep us here.
    std::size_t budget = CompletedCount();
    for (; budget > 0; --budget) {
        TMCMessageInfoPtr info;
        {
            std::lock_guard lock(FImpl->CompletedLock);
            if (FImpl->Completed.empty())
                return;
            info = std::move(FImpl->Completed.front());
            FImpl->Completed.erase(FImpl->Completed.begin());
        }
        try {
            RunCallback(*info);
        } catch (...) {
            // The callback's owner had its chance; the rest wait for the next call
            // (or, while closing, are still reported).
            if (!all)
                return;
        }
    }
}

void TMCMessenger::DispatchIncoming()
{
    std::size_t budget = IncomingCount();
    for (; budget > 0; --budget) {
        TMCMessageInfo* info = nullptr;
        std::string queueName;
        bool refused = false;
        {
            std::lock_guard lock(FImpl->IncomingLock);
            auto it = std::find_if(FImpl->Incoming.begin(), FImpl->Incoming.end(),
                                   [](const TMCMessageInfoPtr& p) { return p->Kind != mkHandling; });
            if (it == FImpl->Incoming.end())
                return;
            info = it->get();
            info->Kind = mkHandling;
            refused = info->ErrorCode != 0;
            queueName = info->DestQueue;
        }
        if (refused) {
            AnswerIncoming(info, 0);
            continue;
        }

        auto queue =
            FImpl->Queues.FindFirst([&](const TMCQueue& q) { return MCSameText(q.QueueName(), queueName); });
        if (!queue) {
            AnswerIncoming(info, MCErr::BadDestination);
            continue;
        }

        TMCMessage& message = info->Message;
        bool handled = false;
        try {
            for (std::size_t i = 0; i < queue->Handlers.Count() && !handled; ++i) {
                TMCMessageHandler& handler = queue->Handlers[i];
                if (!handler.Takes(message.MsgCode))
                    continue;
                handler.OnMessage(*queue, message, handled);
            }
            if (!handled && queue->OnUnhandledMessage)
                queue->OnUnhandledMessage(*queue, message, handled);
        } catch (...) {
            // The sender still gets its one answer; then the caller sees the fault.
            queue.Reset();
            try {
                AnswerIncoming(info, MCErr::UnexpectedFailure);
            } catch (...) {
                // the handler's exception is the one to report
            }
            throw;
        }
        queue.Reset();
        if (!handled)
            message.Result = 0;
        AnswerIncoming(info, 0);
    }
}

// The reply step: takes the envelope out of the incoming list and sends it
// back when its sender waits, else frees it.
void TMCMessenger::AnswerIncoming(TMCMessageInfo* raw, std::int32_t errorCode)
{
    TMCMessageInfoPtr info;
    {
        std::lock_guard lock(FImpl->IncomingLock);
        auto it = std::find_if(FImpl->Incoming.begin(), FImpl->Incoming.end(),
                               [raw](const TMCMessageInfoPtr& p) { return p.get() == raw; });
        if (it == FImpl->Incoming.end())
            return;
        info = std::move(*it);
        FImpl->Incoming.erase(it);
    }
    if (errorCode != 0)
        info->ErrorCode = errorCode;
    PrepareReply(*info);
    if (info->ExpectsReply())
        SendBack(std::move(info));
}

void TMCMessenger::SendBack(TMCMessageInfoPtr info)
{
    auto transport = FImpl->Transports.PinItem(info->Transport);
    if (transport)
        transport->SendReply(std::move(info));
}

std::string TMCMessenger::GetSenderAddress(const TMCMessage& message)
{
    TMCMessageInfo copy;
    {
        std::lock_guard lock(FImpl->IncomingLock);
        auto& list = FImpl->Incoming;
        auto it = std::find_if(list.begin(), list.end(),
                               [&](const TMCMessageInfoPtr& p) { return &p->Message == &message; });
        if (it == list.end())
            it = std::find_if(list.begin(), list.end(), [&](const TMCMessageInfoPtr& p) {
                return p->Message.MsgIDLo == message.MsgIDLo && p->Message.MsgIDHi == message.MsgIDHi;
            });
        if (it == list.end())
            return {};
        copy = AddressCopy(**it);
    }
    auto transport = FImpl->Transports.PinItem(copy.Transport);
    if (!transport)
        return {};
    return transport->Name() + ":" + transport->SenderAddress(copy);
}

std::uint32_t TMCMessenger::MsUntilSweep() const
{
    const std::uint32_t interval = CleanupInterval();
    if (interval == 0)
        return 0xFFFFFFFF; // never sweeps
    const std::uint32_t since = MCTicksSince(FImpl->LastSweep.load(), MCGetTickCount());
    return since >= interval ? 0 : interval - since;
}

void TMCMessenger::SweepExpired()
{
    const std::uint32_t now = MCGetTickCount();
    std::uint32_t last = FImpl->LastSweep.load();
    if (MCTicksSince(last, now) < CleanupInterval())
        return;
    // A sweep from another thread at the same moment does the work.
    if (!FImpl->LastSweep.compare_exchange_strong(last, now))
        return;
    std::exception_ptr failure;
    for (auto& transport : FImpl->Transports.PinAll()) {
        try {
            transport->SweepTimeouts();
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    if (failure)
        std::rethrow_exception(failure);
}

void TMCMessenger::SetMaxTimeout(std::uint32_t value)
{
    FMaxTimeout = value;
    for (auto& transport : FImpl->Transports.PinAll())
        transport->MaxTimeout = value;
}

std::size_t TMCMessenger::IncomingCount() const
{
    std::lock_guard lock(FImpl->IncomingLock);
    return FImpl->Incoming.size();
}

std::size_t TMCMessenger::CompletedCount() const
{
    std::lock_guard lock(FImpl->CompletedLock);
    return FImpl->Completed.size();
}

void TMCMessenger::AcceptMessage(TMCMessageInfoPtr info, TMCBaseTransport& from)
{
    if (!info || MCSameText(info->DestQueue, EmptyRequestQueue))
        return;
    bool valid = true;
    if (OnValidateCredentials) {
        try {
            OnValidateCredentials(*this, info->Message, info->Credentials, valid);
        } catch (...) {
            valid = false; // a check that fails refuses
        }
    }
    if (!valid && !info->ExpectsReply())
        return;
    // A refused request keeps its code and is answered by DispatchPending, so
    // the transport is never re-entered from inside its own call.
    info->ErrorCode = valid ? 0 : MCErr::InvalidCredentials;
    info->Transport = &from;
    info->Kind = mkSending; // queued for dispatch
    const bool ignorePriority = from.IgnoreIncomingPriorities;
    {
        std::lock_guard lock(FImpl->IncomingLock);
        MCInsertOrdered(FImpl->Incoming, std::move(info), ignorePriority);
    }
    if (FOnWork)
        FOnWork();
}

void TMCMessenger::CompleteMessage(TMCMessageInfoPtr info)
{
    if (!info)
        return;
    {
        std::lock_guard lock(FImpl->CompletedLock);
        FImpl->Completed.push_back(std::move(info));
    }
    if (FOnWork)
        FOnWork();
}

void TMCMessenger::RegisterQueue(TMCQueue* queue)
{
    if (queue)
        FImpl->Queues.Add(queue);
}

void TMCMessenger::UnregisterQueue(TMCQueue* queue)
{
    FImpl->Queues.Remove(queue);
}

void TMCMessenger::RegisterTransport(TMCBaseTransport* transport)
{
    if (transport)
        FImpl->Transports.Add(transport);
}

void TMCMessenger::UnregisterTransport(TMCBaseTransport* transport)
{
    FImpl->Transports.Remove(transport);
}

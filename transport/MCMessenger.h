#pragma once

#include "transport/MCMessage.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class TMCMessenger;
class TMCQueue;

// Handler event: Sender is the queue; the handler may change Result and Data.
using TMCHandleMessageEvent = std::function<void(TMCQueue& Sender, TMCMessage& Message, bool& Handled)>;
using TMCValidateCredentialsEvent = std::function<void(
    TMCMessenger& Sender, TMCMessage& Message, const TMCMessageCredentials& Credentials, bool& Valid)>;

// Payload transformers exist in the protocol; this program sets none, so every
// identifier it sends is 0.
class TMCBaseTransformer
{
public:
    virtual ~TMCBaseTransformer() = default;
    virtual std::int32_t Identifier() const = 0; // nonzero
    virtual void Encode(std::string& data) = 0;
    virtual void Decode(std::string& data) = 0;
};
class TMCBaseCompression : public TMCBaseTransformer
{
};
class TMCBaseEncryption : public TMCBaseTransformer
{
};
class TMCBaseSealing : public TMCBaseTransformer
{
};

// One handler of a queue.
class TMCMessageHandler
{
public:
    bool Enabled = true;
    std::int32_t MsgCodeHigh = 0x7FFFFFFF;
    std::int32_t MsgCodeLow = 0;
    TMCHandleMessageEvent OnMessage;

    bool Takes(std::int32_t msgCode) const noexcept
    {
        return OnMessage && Enabled && MsgCodeLow <= msgCode && msgCode <= MsgCodeHigh;
    }
};

// The handlers of one queue, in collection order; owned by the queue.
class TMCMessageHandlers
{
public:
    TMCMessageHandler& Add();
    std::size_t Count() const noexcept { return FItems.size(); }
    TMCMessageHandler& operator[](std::size_t i) { return *FItems[i]; }

private:
    std::vector<std::unique_ptr<TMCMessageHandler>> FItems;
};

// A named queue (case-insensitive name) with its handlers.
class TMCQueue
{
public:
    TMCQueue() = default;
    ~TMCQueue();
    TMCQueue(const TMCQueue&) = delete;
    TMCQueue& operator=(const TMCQueue&) = delete;

    const std::string& QueueName() const noexcept { return FQueueName; }
    void SetQueueName(std::string name) { FQueueName = std::move(name); }
    TMCMessenger* Messenger() const noexcept { return FMessenger; }
    // Unregisters from the old messenger and registers with the new one.
    // Waits while another thread runs one of this queue's handlers.
    void SetMessenger(TMCMessenger* messenger);

    TMCMessageHandlers Handlers;
    TMCHandleMessageEvent OnUnhandledMessage;

private:
    std::string FQueueName;
    TMCMessenger* FMessenger = nullptr;
};

// Abstract transport. A transport answers to destinations that start with its
// name followed by ":". Derived classes must switch themselves off and detach
// from the messenger in their own destructor (SetActive(false), SetMessenger(nullptr)),
// because the base destructor cannot reach their overrides.
//
// Locking: the messenger calls DeliverMessage, SendReply, SweepTimeouts and
// SenderAddress holding none of its own locks, so a transport may call back
// AcceptMessage and CompleteMessage from inside them or from its own threads,
// with or without its own locks held. SetMessenger waits until other threads
// have left their calls into this transport; never call it while holding a
// lock that those calls take.
class TMCBaseTransport
{
public:
    explicit TMCBaseTransport(std::string defaultName);
    virtual ~TMCBaseTransport();
    TMCBaseTransport(const TMCBaseTransport&) = delete;
    TMCBaseTransport& operator=(const TMCBaseTransport&) = delete;

    // The component name, or the class default name when that is empty.
    std::string Name() const;
    void SetName(std::string name) { FName = std::move(name); }

    TMCMessenger* Messenger() const noexcept { return FMessenger.load(); }
    // Unregisters from the old messenger (switching the transport off first)
    // and registers with the new one.
    void SetMessenger(TMCMessenger* messenger);

    bool Active() const noexcept { return FActive.load(); }
    // Activation needs a messenger: without one the transport stays off.
    // Switching calls ActivationChanged; a failed activation leaves it off.
    void SetActive(bool value);

    std::uint32_t MaxMsgSize = MCDefaultMaxMsgSize;
    // Timeout of the messages the transport creates by itself; the messenger's
    // SetMaxTimeout writes it (configuration time, before activation).
    std::uint32_t MaxTimeout = 0xFFFFFFFF;
    bool IgnoreIncomingPriorities = false;
    TMCBaseCompression* Compressor = nullptr;
    TMCBaseEncryption* Encryptor = nullptr;
    TMCBaseSealing* Sealer = nullptr;

    // Takes a new request whose destination the messenger has parsed already
    // (DestAddress, Path, ForwardRoute, DestQueue, ConnectionID/UID and Transport are filled in).
    virtual void DeliverMessage(TMCMessageInfoPtr info) = 0;
    // Returns a handled message to the connection its request came in on.
    virtual void SendReply(TMCMessageInfoPtr info) = 0;
    // The address to show for a received message.
    virtual std::string SenderAddress(const TMCMessageInfo& info) const { return info.SourceAddress; }
    // Moves every message whose timeout fell due to the messenger's completed list.
    virtual void SweepTimeouts() = 0;
    // Completes a message with an error code: requests (kind mkMessage, or
    // mkSending taken from mkMessage) that expect a reply go to the completed
    // list as mkErrorReply, the rest are freed.
    virtual void FailMessage(TMCMessageInfoPtr info, std::int32_t errorCode);
    // Messages not yet answered or not yet written, in all lists of the transport.
    virtual std::size_t CountPending() = 0;

protected:
    // Called by SetActive after the flag changed; does the real switching.
    virtual void ActivationChanged(bool active) = 0;

private:
    std::string FDefaultName;
    std::string FName;
    std::atomic<TMCMessenger*> FMessenger{nullptr};
    std::atomic<bool> FActive{false};
    std::mutex FActivationLock; // one switch at a time
};

// The in-process core of the transport: routes sends to transports, keeps the
// incoming and completed lists and runs handlers and callbacks only inside
// DispatchPending, on the thread that calls it.
//
// Locking: the incoming and completed list locks are the innermost locks of
// the transport; they are never held while a handler, a callback or a
// transport runs. SendWithCallbacks, AcceptMessage and CompleteMessage may be
// called from any thread; DispatchPending is meant for one thread at a time.
class TMCMessenger
{
public:
    TMCMessenger();
    // Incoming messages are answered with an error reply (when their transport
    // is still registered), still registered transports are switched off and
    // detached, the completed list is processed once (callbacks run), queues
    // are detached.
    ~TMCMessenger();
    TMCMessenger(const TMCMessenger&) = delete;
    TMCMessenger& operator=(const TMCMessenger&) = delete;

    // Raises EMCError 5 (bad destination), 28 (matching transport inactive) or
    // 4 (no matching transport); nothing is queued then. Writes the new MsgID
    // into the caller's record; the data is copied. A null onReply makes the
    // message one-way.
    void SendWithCallbacks(const std::string& destination, TMCMessage& message, std::uint32_t timeout,
                           TMCReplyProc onReply, TMCTimeoutProc onTimeout, TMCErrorProc onError,
                           void* userData, const TMCMessageCredentials* credentials = nullptr);
    // Runs the sweep (when CleanupInterval is not 0), the due completions and
    // the incoming messages. An exception from a callback is swallowed and ends
    // the completions of this call; one from a handler propagates after its
    // message was answered with error 8.
    void DispatchPending();
    // Valid while the message is being handled: transport name, ":", source
    // address; empty when the message is unknown or its transport is gone.
    std::string GetSenderAddress(const TMCMessage& message);
    // The timeout sweep, gated by CleanupInterval.
    void SweepExpired();
    // Milliseconds until SweepExpired will next do its work (0: due now);
    // a dispatcher that waits must not wait longer, or time-outs come late.
    std::uint32_t MsUntilSweep() const;

    std::uint32_t MaxTimeout() const noexcept { return FMaxTimeout; }
    // Copies the value into every registered transport.
    void SetMaxTimeout(std::uint32_t value);
    std::uint32_t CleanupInterval() const noexcept { return FCleanupInterval; }
    void SetCleanupInterval(std::uint32_t value) { FCleanupInterval = value; }
    // Runs on the transport's thread for every received request; unset = valid.
    TMCValidateCredentialsEvent OnValidateCredentials;

    // Called whenever the incoming or the completed list gains an entry, on
    // the delivering thread and outside the messenger's locks, so a dispatcher
    // can wait for work instead of polling. Set before any transport delivers.
    void SetOnWork(std::function<void()> onWork) { FOnWork = std::move(onWork); }

    // Lengths of the incoming and completed lists, for diagnostics.
    std::size_t IncomingCount() const;
    std::size_t CompletedCount() const;

    // --- used by transports, from their own threads ---
    // The acceptance step for a received request (kind mkMessage). A request
    // whose credentials are refused is answered with error 16 by the next
    // DispatchPending (not from inside this call).
    void AcceptMessage(TMCMessageInfoPtr info, TMCBaseTransport& from);
    // Appends to the completed list; its callback runs in the next DispatchPending.
    void CompleteMessage(TMCMessageInfoPtr info);

    // Registration, used by TMCQueue and TMCBaseTransport. Unregistering waits
    // until other threads have left their calls into the object.
    void RegisterQueue(TMCQueue* queue);
    void UnregisterQueue(TMCQueue* queue);
    void RegisterTransport(TMCBaseTransport* transport);
    void UnregisterTransport(TMCBaseTransport* transport);

private:
    struct Impl;

    void RunCompletions(bool all);
    void DispatchIncoming();
    void AnswerIncoming(TMCMessageInfo* info, std::int32_t errorCode);
    void SendBack(TMCMessageInfoPtr info);

    std::unique_ptr<Impl> FImpl;
    std::function<void()> FOnWork;
    std::uint32_t FMaxTimeout = 0xFFFFFFFF;
    std::atomic<std::uint32_t> FCleanupInterval{10000};
};

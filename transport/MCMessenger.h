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
using TMCValidateCredentialsEvent = std::function<void(TMCMessenger& Sender, TMCMessage& Message,
                                                       const TMCMessageCredentials& Credentials, bool& Valid)>;

// Payload transformers exist in the protocol; this program sets none, so every
// identifier it sends is 0.
class TMCBaseTransformer {
public:
    virtual ~TMCBaseTransformer() = default;
    virtual std::int32_t Identifier() const = 0; // nonzero
    virtual void Encode(std::string& data) = 0;
    virtual void Decode(std::string& data) = 0;
};
class TMCBaseCompression : public TMCBaseTransformer {};
class TMCBaseEncryption : public TMCBaseTransformer {};
class TMCBaseSealing : public TMCBaseTransformer {};

// One handler of a queue.
class TMCMessageHandler {
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
class TMCMessageHandlers {
public:
    TMCMessageHandler& Add();
    std::size_t Count() const noexcept { return FItems.size(); }
    TMCMessageHandler& operator[](std::size_t i) { return *FItems[i]; }

private:
    std::vector<std::unique_ptr<TMCMessageHandler>> FItems;
};

// A named queue (case-insensitive name) with its handlers.
class TMCQueue {
public:
    TMCQueue() = default;
    ~TMCQueue();
    TMCQueue(const TMCQueue&) = delete;
    TMCQueue& operator=(const TMCQueue&) = delete;

    const std::string& QueueName() const noexcept { return FQueueName; }
    void SetQueueName(std::string name) { FQueueName = std::move(name); }
    TMCMessenger* Messenger() const noexcept { return FMessenger; }
    // Unregisters from the old messenger and registers with the new one.
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
class TMCBaseTransport {
public:
    explicit TMCBaseTransport(std::string defaultName);
    virtual ~TMCBaseTransport();
    TMCBaseTransport(const TMCBaseTransport&) = delete;
    TMCBaseTransport& operator=(const TMCBaseTransport&) = delete;

    // The component name, or the class default name when that is empty.
    std::string Name() const;
    void SetName(std::string name) { FName = std::move(name); }

    TMCMessenger* Messenger() const noexcept { return FMessenger; }
    void SetMessenger(TMCMessenger* messenger);

    bool Active() const noexcept { return FActive.load(); }
    // Activation needs a messenger; switching calls ActivationChanged.
    void SetActive(bool value);

    std::uint32_t MaxMsgSize = 0x7FFFDFFF;
    std::uint32_t MaxTimeout = 0xFFFFFFFF;
    bool IgnoreIncomingPriorities = false;
    TMCBaseCompression* Compressor = nullptr;
    TMCBaseEncryption* Encryptor = nullptr;
    TMCBaseSealing* Sealer = nullptr;

    // Takes a new request whose destination the messenger has parsed already.
    virtual void DeliverMessage(TMCMessageInfoPtr info) = 0;
    // Returns a handled message to the connection its request came in on.
    virtual void SendReply(TMCMessageInfoPtr info) = 0;
    // The address to show for a received message.
    virtual std::string SenderAddress(const TMCMessageInfo& info) const { return info.SourceAddress; }
    // Moves every message whose timeout fell due to the messenger's completed list.
    virtual void SweepTimeouts() = 0;
    // Completes a message with an error code: requests go to the completed list, the rest are freed.
    virtual void FailMessage(TMCMessageInfoPtr info, std::int32_t errorCode);
    // Messages not yet answered or not yet written, in all lists of the transport.
    virtual std::size_t CountPending() = 0;

protected:
    // Called by SetActive after the flag changed; does the real switching.
    virtual void ActivationChanged(bool active) = 0;

private:
    std::string FDefaultName;
    std::string FName;
    TMCMessenger* FMessenger = nullptr;
    std::atomic<bool> FActive{false};
};

// The in-process core of the transport: routes sends to transports, keeps the
// incoming and completed lists and runs handlers and callbacks only inside
// DispatchPending, on the thread that calls it.
class TMCMessenger {
public:
    TMCMessenger();
    ~TMCMessenger();
    TMCMessenger(const TMCMessenger&) = delete;
    TMCMessenger& operator=(const TMCMessenger&) = delete;

    // Raises EMCError 5 (bad destination), 28 (matching transport inactive) or
    // 4 (no matching transport); nothing is queued then. Writes the new MsgID
    // into the caller's record; the data is copied.
    void SendWithCallbacks(const std::string& destination, TMCMessage& message, std::uint32_t timeout,
                           TMCReplyProc onReply, TMCTimeoutProc onTimeout, TMCErrorProc onError, void* userData,
                           const TMCMessageCredentials* credentials = nullptr);
    void DispatchPending();
    // Valid while the message is being handled: transport name, ":", source address.
    std::string GetSenderAddress(const TMCMessage& message);
    // The timeout sweep, gated by CleanupInterval.
    void SweepExpired();

    std::uint32_t MaxTimeout() const noexcept { return FMaxTimeout; }
    // Copies the value into every registered transport.
    void SetMaxTimeout(std::uint32_t value);
    std::uint32_t CleanupInterval() const noexcept { return FCleanupInterval; }
    void SetCleanupInterval(std::uint32_t value) { FCleanupInterval = value; }
    TMCValidateCredentialsEvent OnValidateCredentials;

    // --- used by transports, from their own threads ---
    // The acceptance step for a received request (kind mkMessage).
    void AcceptMessage(TMCMessageInfoPtr info, TMCBaseTransport& from);
    // Appends to the completed list; its callback runs in the next DispatchPending.
    void CompleteMessage(TMCMessageInfoPtr info);

    // Registration, used by TMCQueue and TMCBaseTransport.
    void RegisterQueue(TMCQueue* queue);
    void UnregisterQueue(TMCQueue* queue);
    void RegisterTransport(TMCBaseTransport* transport);
    void UnregisterTransport(TMCBaseTransport* transport);

private:
    struct Impl;
    std::unique_ptr<Impl> FImpl;
    std::uint32_t FMaxTimeout = 0xFFFFFFFF;
    std::atomic<std::uint32_t> FCleanupInterval{10000};
};

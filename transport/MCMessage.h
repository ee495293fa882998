#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TMCBaseTransport;

// The message record that callers fill in and handlers receive.
// Data is an 8-bit byte string (zero bytes allowed); its size is the DataSize on the wire.
struct TMCMessage
{
    std::uint32_t MsgIDLo = 0; // time-based half
    std::uint32_t MsgIDHi = 0; // counter-based half
    std::uint8_t Reserved1 = 0;
    std::uint16_t Reserved2 = 0;
    std::int8_t Priority = 0;
    std::int32_t MsgCode = 0;
    std::int32_t Result = 0;
    std::int32_t Param1 = 0;
    std::int32_t Param2 = 0;
    bool ReturnData = false;
    std::string Data;

    std::uint32_t DataSize() const noexcept { return static_cast<std::uint32_t>(Data.size()); }
};

// Kind of a message: on the wire and as local state. Values are the wire values.
enum TMCMessageKind : std::uint8_t {
    mkMessage = 1,
    mkSending = 2,
    mkHandling = 3,
    mkReply = 4,
    mkErrorReply = 5,
    mkPoll = 6,
    mkPollEmpty = 7,
    mkTimedOut = 8,
};

// Credentials: two 16-byte halves on the wire; this program always sends zeros.
using TMCMessageCredentials = std::array<std::uint8_t, 32>;

// Completion callbacks. OnReply and OnTimeout get (UserData, record); OnError also the code.
using TMCReplyProc = std::function<void(void* UserData, TMCMessage& Message)>;
using TMCTimeoutProc = std::function<void(void* UserData, TMCMessage& Message)>;
using TMCErrorProc = std::function<void(void* UserData, TMCMessage& Message, std::int32_t ErrorCode)>;

inline constexpr std::size_t MCQueueNameMax = 31; // DestQueue is 32 bytes, NUL-terminated
// The largest frame a transport takes unless told otherwise.
inline constexpr std::uint32_t MCDefaultMaxMsgSize = 0x7FFFDFFF;

// Envelope of one message in flight. Owned by exactly one list at a time
// (a connection's outgoing list, the transport's pending list, or the
// messenger's incoming or completed list), so lists hold unique_ptr.
struct TMCMessageInfo
{
    double Created = 0;
    std::uint32_t TransferIDLo = 0;
    std::uint32_t TransferIDHi = 0;
    std::uint32_t IsSync = 0; // all bits set when the sender wants a reply
    std::string DestQueue;    // at most MCQueueNameMax characters
    TMCMessageCredentials Credentials{};
    std::int32_t ErrorCode = 0;
    TMCMessageKind Kind = mkMessage;
    TMCMessage Message;
    TMCBaseTransport* Transport = nullptr;
    void* UserData = nullptr;
    TMCReplyProc OnReply;
    TMCTimeoutProc OnTimeout;
    TMCErrorProc OnError;
    std::string SourceAddress;
    std::string DestAddress; // host:port of the destination
    std::string Path;        // optional "/..." part of the destination; kept, never used
    std::uint32_t SentTick = 0;
    std::uint32_t Timeout = 0;        // ms; 0 = never times out
    const void* Connection = nullptr; // the transport's connection entry, opaque here
    std::uint32_t ConnectionID = 0;
    std::uint32_t ConnectionUID = 0;
    TMCMessageKind SavedKind = mkMessage; // kind before it was taken for sending
    bool Sent = false;                    // completely written to the socket
    std::uint8_t EchoByte = 0;
    std::string ReturnRoute;
    std::string ForwardRoute;

    bool ExpectsReply() const noexcept { return IsSync != 0; }
};

using TMCMessageInfoPtr = std::unique_ptr<TMCMessageInfo>;
using TMCMessageList = std::vector<TMCMessageInfoPtr>;

// Inserts into an outgoing or incoming list: messages expecting a reply before
// one-way ones, higher Priority first within each group, equal priorities in
// arrival order. With ignorePriority only the reply grouping applies.
void MCInsertOrdered(TMCMessageList& list, TMCMessageInfoPtr info, bool ignorePriority = false);

// Generates a MsgID or TransferID: low half = local time of day in ms,
// high half = pre-incremented process-wide counter + tick counter.
void MCGenerateID(std::uint32_t& lo, std::uint32_t& hi) noexcept;

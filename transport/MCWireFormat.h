#pragma once

// The bytes the socket transport puts on a TCP connection: the hello, the
// message frame with its routing block and 128-byte message header, the
// incremental frame reader and the connection-number rules. Pure byte work:
// no sockets, no threads, no locks. All integers on the wire are little-endian.

#include "transport/MCError.h"
#include "transport/MCMessage.h"
#include "transport/MCMessenger.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

inline constexpr std::uint32_t MCSignature = 0x50444945; // "EIDP" on the wire
inline constexpr std::size_t MCHelloLength = 24;
inline constexpr std::size_t MCFrameHeaderSize = 24; // signature, length, three identifiers, L
inline constexpr std::size_t MCMessageHeaderSize = 128;

// A broken stream or a frame that cannot be taken apart. ErrorCode() is 12;
// what() adds the detail, for the log.
class EMCFrameError : public EMCError
{
public:
    explicit EMCFrameError(std::string detail);
    const char* what() const noexcept override { return FText.c_str(); }

private:
    std::string FText;
};

// ---------------------------------------------------------------------------
// Transformers and the hello

// Transformer identifiers per kind: 0 = none, -1 = not negotiated yet.
struct TMCTransformerIDs
{
    std::int32_t Compression = 0;
    std::int32_t Encryption = 0;
    std::int32_t Sealing = 0;

    bool Any() const noexcept { return Compression != 0 || Encryption != 0 || Sealing != 0; }
    bool operator==(const TMCTransformerIDs&) const = default;
};

// What a connection holds before its hello was accepted.
inline constexpr TMCTransformerIDs MCNotNegotiated{-1, -1, -1};

// The transformers set on a transport (not owned; all null in this program).
struct TMCTransformers
{
    TMCBaseCompression* Compressor = nullptr;
    TMCBaseEncryption* Encryptor = nullptr;
    TMCBaseSealing* Sealer = nullptr;
};

// Per kind, the identifier of the transformer set, else 0.
TMCTransformerIDs MCOwnIdentifiers(const TMCTransformers& ours);

// The 24-byte hello.
std::string MCBuildHello(const TMCTransformerIDs& ids);

// The identifiers of a received hello; EMCFrameError unless it is exactly
// 24 bytes with the signature and a total length of 24.
TMCTransformerIDs MCParseHello(std::string_view hello);

enum class TMCHelloVerdict {
    Accepted,
    PeerRefused,   // the peer answered -1 for some kind
    NoTransformer, // the peer wants a transformer we do not have
};

// The connecting side's check of the peer's hello. On Accepted the peer's
// identifiers come into force on the connection.
TMCHelloVerdict MCCheckPeerHello(const TMCTransformerIDs& peer, const TMCTransformers& ours,
                                 bool noTransformerFallback);

// The accepting side's answer: per kind its own identifier when it equals the
// client's, else -1 when noTransformerFallback is set and it has one, else 0.
TMCTransformerIDs MCAnswerHello(const TMCTransformerIDs& client, const TMCTransformers& ours,
                                bool noTransformerFallback);

// ---------------------------------------------------------------------------
// The 128-byte message header

// Appends the header of `info` with `kind` as the wire kind (the kind the
// envelope had before it was taken for sending). DataSize is the size of
// info.Message.Data; DestQueue is cut at 31 characters or its first NUL.
void MCWriteMessageHeader(const TMCMessageInfo& info, TMCMessageKind kind, std::string& out);

// Reads a header into `info` (every header field; Message.Data untouched) and
// returns the DataSize it announces. A Kind value that does not fit in a byte
// is stored as 0, which no wire kind uses. EMCFrameError when fewer than 128
// bytes are given.
std::uint32_t MCReadMessageHeader(std::string_view header, TMCMessageInfo& info);

// The kinds that travel on the wire: 1, 4, 5, 6, 7. Any other received kind is discarded.
bool MCIsWireKind(TMCMessageKind kind) noexcept;

// ---------------------------------------------------------------------------
// Building a message frame

// What the connection contributes to every frame it writes.
struct TMCFrameContext
{
    std::uint32_t ConnectionID = 0; // 0 until the peer gave us one
    std::string LocalAddress;       // dotted address of the socket's local end
    std::uint16_t MessengerPort = 0;
    TMCTransformerIDs IDs;        // identifiers in force on the connection
    TMCTransformers Transformers; // used when an identifier is nonzero
    std::uint32_t MaxFrameSize = MCDefaultMaxMsgSize;
};

// The whole frame for `info`, sent as `kind`. The source address is built from
// the context; the envelope is not changed. Raises EMCError 10, 11 or 9 when an
// identifier in force is nonzero and no transformer of that kind carries it,
// and EMCError 8 when the frame would exceed MaxFrameSize.
std::string MCBuildMessageFrame(const TMCMessageInfo& info, TMCMessageKind kind,
                                const TMCFrameContext& context);

// L for the given routing texts: source + 14 + routes + queue name.
std::size_t MCRoutingBlockLength(std::string_view source, std::string_view returnRoute,
                                 std::string_view forwardRoute, std::string_view queue) noexcept;

// ---------------------------------------------------------------------------
// Reading frames from a byte stream

// Collects one frame at a time from a stream: first the 8 bytes of signature
// and total length, then exactly total-length bytes. Memory grows with the
// bytes that arrive, never with the length a peer claims. Also reads the
// hello: construct it with maxFrameSize = MCHelloLength for that.
class TMCFrameReader
{
public:
    explicit TMCFrameReader(std::uint32_t maxFrameSize = MCDefaultMaxMsgSize) noexcept
        : FMaxFrameSize(maxFrameSize)
    {
    }

    // Takes bytes up to the end of the current frame and returns how many it
    // took; the rest belongs to the next frame. Takes nothing while a complete
    // frame waits to be taken. Raises EMCFrameError on a wrong signature or a
    // total length above the maximum or below 24; the reader then stays failed
    // until Reset.
    std::size_t Feed(const void* data, std::size_t size);
    std::size_t Feed(std::string_view bytes) { return Feed(bytes.data(), bytes.size()); }

    // How many bytes the caller can read from the stream without reading past
    // the current frame: 8 minus the header bytes collected, then the rest of
    // the frame; 0 while a frame waits.
    std::size_t Wanted() const noexcept;

    bool HasFrame() const noexcept { return FComplete; }
    // The complete frame, and the reader starts on the next one; empty while
    // no frame is complete (a partial frame is kept).
    std::string TakeFrame();

    // True once some bytes of a frame have arrived and the frame is not taken yet.
    bool InsideFrame() const noexcept { return !FBuffer.empty(); }
    bool Failed() const noexcept { return FFailed; }
    // Drops a partial frame (the link broke) and any failure.
    void Reset() noexcept;

    std::uint32_t MaxFrameSize() const noexcept { return FMaxFrameSize; }

private:
    void CheckHeader();

    std::uint32_t FMaxFrameSize;
    std::string FBuffer;
    std::uint32_t FTotal = 0; // known once 8 bytes are in
    bool FComplete = false;
    bool FFailed = false;
};

// ---------------------------------------------------------------------------
// Parsing a complete frame

// The parts of a received frame. It keeps the frame's bytes, so the payload
// needs no copy and cannot outlive them.
struct TMCReceivedFrame
{
    std::uint32_t TotalLength = 0;
    TMCTransformerIDs IDs;
    std::uint32_t RoutingLength = 0; // L as written
    bool RoutingBlockRead = false;   // false when L was too large and the block treated as empty
    std::string SourceAddress;       // as the peer wrote it
    std::uint8_t EchoByte = 0;
    std::string ReturnRoute;
    std::string ForwardRoute;
    std::string QueueName;
    std::string Frame;             // the whole frame
    std::size_t PayloadOffset = 0; // where the payload starts in Frame

    // Still transformed when an identifier is nonzero.
    std::string_view Payload() const noexcept { return std::string_view(Frame).substr(PayloadOffset); }
};

// Splits one complete frame. `maxMsgSize` is the transport's MaxMsgSize. A
// routing block without any 0x00 is taken whole as the source address. Raises
// EMCFrameError when the frame is shorter than 24 bytes, has a wrong signature
// or a total length that is not its size, or when a routing block or route
// length runs past its end.
TMCReceivedFrame MCParseFrame(std::string frame, std::uint32_t maxMsgSize = MCDefaultMaxMsgSize);

// A message read from a frame's payload.
struct TMCReceivedPayload
{
    TMCMessageInfoPtr Info;     // header fields, data, EchoByte, routes, DestAddress
    std::uint32_t DataSize = 0; // as announced in the header
    bool ShortData = false;     // fewer than DataSize bytes followed; Data holds those that did
};

// Decodes the payload (encryption, sealing, compression, for nonzero
// identifiers; EMCError 9, 11 or 10 when a transformer is missing) and reads
// the header and exactly DataSize bytes of data. Bytes after the data are
// ignored. EMCFrameError when the payload is shorter than the header. The
// envelope's EchoByte, ReturnRoute, ForwardRoute and DestAddress (= the source
// address as the peer wrote it) come from the frame; SourceAddress is left to
// MCApplySourceAddress.
TMCReceivedPayload MCReadPayload(const TMCReceivedFrame& frame, const TMCTransformers& ours);

// Applies the transformers to a payload, in the order compression, sealing,
// encryption (Encode) or the reverse (Decode). Nothing happens for zero identifiers.
void MCEncodePayload(std::string& payload, const TMCTransformerIDs& ids, const TMCTransformers& ours);
void MCDecodePayload(std::string& payload, const TMCTransformerIDs& ids, const TMCTransformers& ours);

// ---------------------------------------------------------------------------
// Connection numbers

// The numbering state of one connection (a part of its connection entry).
struct TMCConnectionNumbers
{
    std::uint32_t ConnectionID = 0;  // 0 until learnt or assigned
    std::uint32_t ConnectionUID = 0; // from the process-wide counter at creation
    std::string RemoteAddress;       // first the destination host:port, later "ID:host:port"
    bool Accepting = false;          // the side that accepted the TCP connection
};

// The process-wide counter that gives ConnectionUIDs and locally assigned
// connection numbers: returns its next value (pre-incremented, under its lock).
using TMCNextNumber = std::function<std::uint32_t()>;

// Takes the source address of a received frame into the connection's state
// and returns the SourceAddress for the received envelope: "ID:host:port", or
// on the accepting side "ID\UID:host:port". A nonzero number is adopted when
// the connection has none; a different number raises EMCError 12 and leaves
// the state untouched; no number on an unnumbered connection assigns
// nextNumber(). A host "0.0.0.0" is replaced by the previous remote host.
// When the peer wrote no usable host and port, the previous ones are kept.
std::string MCApplySourceAddress(TMCConnectionNumbers& state, std::string_view peerSource,
                                 const TMCNextNumber& nextNumber);

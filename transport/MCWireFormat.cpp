#include "transport/MCWireFormat.h"

#include "transport/MCAddress.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

namespace {

// A received frame's routing block is only read when L is below this bound.
constexpr std::uint64_t RoutingBlockSlack = 8192;

// The header's offsets.
constexpr std::size_t OffCreated = 0;
constexpr std::size_t OffTransferLo = 8;
constexpr std::size_t OffTransferHi = 12;
constexpr std::size_t OffIsSync = 16;
constexpr std::size_t OffDestQueue = 20;
constexpr std::size_t DestQueueSize = 32;
constexpr std::size_t OffCredentials = 52;
constexpr std::size_t OffErrorCode = 84;
constexpr std::size_t OffKind = 88;
constexpr std::size_t OffReserved1 = 92;
constexpr std::size_t OffReserved2 = 93;
constexpr std::size_t OffPriority = 95;
constexpr std::size_t OffMsgIDLo = 96;
constexpr std::size_t OffMsgIDHi = 100;
constexpr std::size_t OffMsgCode = 104;
constexpr std::size_t OffResult = 108;
constexpr std::size_t OffParam1 = 112;
constexpr std::size_t OffParam2 = 116;
constexpr std::size_t OffReturnData = 120;
constexpr std::size_t OffDataSize = 124;
static_assert(OffDataSize + 4 == MCMessageHeaderSize);

void Put32(char* p, std::uint32_t v) noexcept
{
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

void Append32(std::string& out, std::uint32_t v)
{
    char b[4];
    Put32(b, v);
    out.append(b, 4);
}

std::uint32_t Get32(const char* p) noexcept
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<std::uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    return v;
}

std::uint32_t Get32(std::string_view s, std::size_t offset) noexcept
{
    return Get32(s.data() + offset);
}

std::int32_t GetSigned32(std::string_view s, std::size_t offset) noexcept
{
    return static_cast<std::int32_t>(Get32(s, offset));
}

// The first 24 bytes of a hello or a message frame.
void AppendFrameHeader(std::string& out, std::uint32_t total, const TMCTransformerIDs& ids,
                       std::uint32_t routing)
{
    Append32(out, MCSignature);
    Append32(out, total);
    Append32(out, static_cast<std::uint32_t>(ids.Compression));
    Append32(out, static_cast<std::uint32_t>(ids.Encryption));
    Append32(out, static_cast<std::uint32_t>(ids.Sealing));
    Append32(out, routing);
}

TMCTransformerIDs GetIDs(std::string_view frameHeader) noexcept
{
    return {GetSigned32(frameHeader, 8), GetSigned32(frameHeader, 12), GetSigned32(frameHeader, 16)};
}

// The queue name as both the header and the routing block carry it.
std::string_view WireQueueName(std::string_view destQueue) noexcept
{
    destQueue = destQueue.substr(0, destQueue.find('\0'));
    return destQueue.substr(0, MCQueueNameMax);
}

template <typename T> TMCBaseTransformer* Matching(T* transformer, std::int32_t id) noexcept
{
    return (transformer != nullptr && transformer->Identifier() == id) ? transformer : nullptr;
}

TMCBaseTransformer* Require(TMCBaseTransformer* found, std::int32_t errorCode)
{
    if (found == nullptr)
        throw EMCError(errorCode);
    return found;
}

// Reads length-prefixed texts and single bytes out of a routing block.
class BlockCursor
{
public:
    explicit BlockCursor(std::string_view block) noexcept : FRest(block) {}

    std::uint8_t Byte(const char* what)
    {
        if (FRest.empty())
            throw EMCFrameError(std::string("routing block ends before the ") + what);
        auto b = static_cast<std::uint8_t>(FRest.front());
        FRest.remove_prefix(1);
        return b;
    }

    std::string Text(const char* what)
    {
        if (FRest.size() < 4)
            throw EMCFrameError(std::string("routing block ends inside the length of the ") + what);
        std::uint32_t n = Get32(FRest.data());
        FRest.remove_prefix(4);
        if (n > FRest.size())
            throw EMCFrameError(std::string("length ") + std::to_string(n) + " of the " + what +
                                " runs past the routing block");
        std::string s(FRest.substr(0, n));
        FRest.remove_prefix(n);
        return s;
    }

private:
    std::string_view FRest;
};

} // namespace

EMCFrameError::EMCFrameError(std::string detail)
    : EMCError(MCErr::InvalidSignature),
      FText(std::string(MCErrorText(MCErr::InvalidSignature)) + ": " + detail)
{
}

// ---------------------------------------------------------------------------
// Transformers and the hello

TMCTransformerIDs MCOwnIdentifiers(const TMCTransformers& ours)
{
    TMCTransformerIDs ids;
    ids.Compression = ours.Compressor ? ours.Compressor->Identifier() : 0;
    ids.Encryption = ours.Encryptor ? ours.Encryptor->Identifier() : 0;
    ids.Sealing = ours.Sealer ? ours.Sealer->Identifier() : 0;
    return ids;
}

std::string MCBuildHello(const TMCTransformerIDs& ids)
{
    std::string out;
    out.reserve(MCHelloLength);
    AppendFrameHeader(out, MCHelloLength, ids, 0); // a hello has no routing block
    return out;
}

TMCTransformerIDs MCParseHello(std::string_view hello)
{
    if (hello.size() != MCHelloLength)
        throw EMCFrameError("hello of " + std::to_string(hello.size()) + " bytes");
    if (Get32(hello, 0) != MCSignature)
        throw EMCFrameError("wrong signature in hello");
    if (Get32(hello, 4) != MCHelloLength)
        throw EMCFrameError("hello announces length " + std::to_string(Get32(hello, 4)));
    // The routing length of a hello is not looked at: there is no room for a block.
    return GetIDs(hello);
}

namespace {

// One kind of the client's rule: a nonzero peer identifier, or fallback with a
// transformer of ours, needs our transformer to carry the peer's identifier.
bool KindAcceptable(std::int32_t peer, const TMCBaseTransformer* ours, bool noTransformerFallback)
{
    if (peer == 0 && !(noTransformerFallback && ours != nullptr))
        return true;
    return ours != nullptr && ours->Identifier() == peer;
}

std::int32_t KindAnswer(std::int32_t client, const TMCBaseTransformer* ours, bool noTransformerFallback)
{
    std::int32_t own = ours ? ours->Identifier() : 0;
    if (own == client)
        return own;
    if (noTransformerFallback && ours != nullptr)
        return -1;
    return 0;
}

} // namespace

TMCHelloVerdict MCCheckPeerHello(const TMCTransformerIDs& peer, const TMCTransformers& ours,
                                 bool noTransformerFallback)
{
    if (peer.Compression == -1 || peer.Encryption == -1 || peer.Sealing == -1)
        return TMCHelloVerdict::PeerRefused;
    if (!KindAcceptable(peer.Compression, ours.Compressor, noTransformerFallback) ||
        !KindAcceptable(peer.Encryption, ours.Encryptor, noTransformerFallback) ||
        !KindAcceptable(peer.Sealing, ours.Sealer, noTransformerFallback))
        return TMCHelloVerdict::NoTransformer;
    return TMCHelloVerdict::Accepted;
}

TMCTransformerIDs MCAnswerHello(const TMCTransformerIDs& client, const TMCTransformers& ours,
                                bool noTransformerFallback)
{
    return {KindAnswer(client.Compression, ours.Compressor, noTransformerFallback),
            KindAnswer(client.Encryption, ours.Encryptor, noTransformerFallback),
            KindAnswer(client.Sealing, ours.Sealer, noTransformerFallback)};
}

// ---------------------------------------------------------------------------
// The 128-byte message header

void MCWriteMessageHeader(const TMCMessageInfo& info, TMCMessageKind kind, std::string& out)
{
    const std::size_t base = out.size();
    out.resize(base + MCMessageHeaderSize, '\0');
    char* h = out.data() + base;
    const TMCMessage& m = info.Message;

    std::uint64_t created = 0;
    static_assert(sizeof(created) == sizeof(info.Created));
    std::memcpy(&created, &info.Created, sizeof(created));
    Put32(h + OffCreated, static_cast<std::uint32_t>(created));
    Put32(h + OffCreated + 4, static_cast<std::uint32_t>(created >> 32));
    Put32(h + OffTransferLo, info.TransferIDLo);
    Put32(h + OffTransferHi, info.TransferIDHi);
    Put32(h + OffIsSync, info.IsSync);
    std::string_view queue = WireQueueName(info.DestQueue);
    std::memcpy(h + OffDestQueue, queue.data(), queue.size()); // the rest stays zero
    std::memcpy(h + OffCredentials, info.Credentials.data(), info.Credentials.size());
    Put32(h + OffErrorCode, static_cast<std::uint32_t>(info.ErrorCode));
    Put32(h + OffKind, static_cast<std::uint8_t>(kind));
    h[OffReserved1] = static_cast<char>(m.Reserved1);
    h[OffReserved2] = static_cast<char>(m.Reserved2 & 0xFF);
    h[OffReserved2 + 1] = static_cast<char>(m.Reserved2 >> 8);
    h[OffPriority] = static_cast<char>(m.Priority);
    Put32(h + OffMsgIDLo, m.MsgIDLo);
    Put32(h + OffMsgIDHi, m.MsgIDHi);
    Put32(h + OffMsgCode, static_cast<std::uint32_t>(m.MsgCode));
    Put32(h + OffResult, static_cast<std::uint32_t>(m.Result));
    Put32(h + OffParam1, static_cast<std::uint32_t>(m.Param1));
    Put32(h + OffParam2, static_cast<std::uint32_t>(m.Param2));
    Put32(h + OffReturnData, m.ReturnData ? 1u : 0u);
    Put32(h + OffDataSize, m.DataSize());
}

std::uint32_t MCReadMessageHeader(std::string_view h, TMCMessageInfo& info)
{
    if (h.size() < MCMessageHeaderSize)
        throw EMCFrameError("payload of " + std::to_string(h.size()) +
                            " bytes is shorter than the message header");
    TMCMessage& m = info.Message;

    std::uint64_t created =
        Get32(h, OffCreated) | (static_cast<std::uint64_t>(Get32(h, OffCreated + 4)) << 32);
    std::memcpy(&info.Created, &created, sizeof(created));
    info.TransferIDLo = Get32(h, OffTransferLo);
    info.TransferIDHi = Get32(h, OffTransferHi);
    info.IsSync = Get32(h, OffIsSync);
    info.DestQueue.assign(WireQueueName(h.substr(OffDestQueue, DestQueueSize)));
    std::memcpy(info.Credentials.data(), h.data() + OffCredentials, info.Credentials.size());
    info.ErrorCode = GetSigned32(h, OffErrorCode);
    std::uint32_t kind = Get32(h, OffKind);
    info.Kind = static_cast<TMCMessageKind>(kind <= 0xFF ? kind : 0);
    m.Reserved1 = static_cast<std::uint8_t>(h[OffReserved1]);
    m.Reserved2 = static_cast<std::uint16_t>(static_cast<unsigned char>(h[OffReserved2]) |
                                             (static_cast<unsigned char>(h[OffReserved2 + 1]) << 8));
    m.Priority = static_cast<std::int8_t>(h[OffPriority]);
    m.MsgIDLo = Get32(h, OffMsgIDLo);
    m.MsgIDHi = Get32(h, OffMsgIDHi);
    m.MsgCode = GetSigned32(h, OffMsgCode);
    m.Result = GetSigned32(h, OffResult);
    m.Param1 = GetSigned32(h, OffParam1);
    m.Param2 = GetSigned32(h, OffParam2);
    m.ReturnData = static_cast<unsigned char>(h[OffReturnData]) != 0; // a byte, zero-extended
    return Get32(h, OffDataSize);
}

bool MCIsWireKind(TMCMessageKind kind) noexcept
{
    return kind == mkMessage || kind == mkReply || kind == mkErrorReply || kind == mkPoll ||
           kind == mkPollEmpty;
}

// ---------------------------------------------------------------------------
// Transformers on the payload

void MCEncodePayload(std::string& payload, const TMCTransformerIDs& ids, const TMCTransformers& ours)
{
    if (ids.Compression != 0)
        Require(Matching(ours.Compressor, ids.Compression), MCErr::NoDecompressor)->Encode(payload);
    if (ids.Sealing != 0)
        Require(Matching(ours.Sealer, ids.Sealing), MCErr::NoSealer)->Encode(payload);
    if (ids.Encryption != 0)
        Require(Matching(ours.Encryptor, ids.Encryption), MCErr::NoDecryptor)->Encode(payload);
}

void MCDecodePayload(std::string& payload, const TMCTransformerIDs& ids, const TMCTransformers& ours)
{
    if (ids.Encryption != 0)
        Require(Matching(ours.Encryptor, ids.Encryption), MCErr::NoDecryptor)->Decode(payload);
    if (ids.Sealing != 0)
        Require(Matching(ours.Sealer, ids.Sealing), MCErr::NoSealer)->Decode(payload);
    if (ids.Compression != 0)
        Require(Matching(ours.Compressor, ids.Compression), MCErr::NoDecompressor)->Decode(payload);
}

// ---------------------------------------------------------------------------
// Building a message frame

std::size_t MCRoutingBlockLength(std::string_view source, std::string_view returnRoute,
                                 std::string_view forwardRoute, std::string_view queue) noexcept
{
    return source.size() + 14 + returnRoute.size() + forwardRoute.size() + queue.size();
}

std::string MCBuildMessageFrame(const TMCMessageInfo& info, TMCMessageKind kind,
                                const TMCFrameContext& context)
{
    const std::string source =
        MCBuildSourceAddress(context.ConnectionID, context.LocalAddress, context.MessengerPort);
    const std::string_view queue = WireQueueName(info.DestQueue);
    const std::size_t routing = MCRoutingBlockLength(source, info.ReturnRoute, info.ForwardRoute, queue);

    std::string payload;
    if (context.IDs.Any()) {
        payload.reserve(MCMessageHeaderSize + info.Message.Data.size());
        MCWriteMessageHeader(info, kind, payload);
        payload += info.Message.Data;
        MCEncodePayload(payload, context.IDs, context.Transformers);
    }
    const std::size_t payloadSize =
        context.IDs.Any() ? payload.size() : MCMessageHeaderSize + info.Message.Data.size();

    // Sizes are summed in 64 bits so that no text can wrap the total length.
    const std::uint64_t total = std::uint64_t{MCFrameHeaderSize} + routing + payloadSize;
    const std::uint64_t limit =
        std::min<std::uint64_t>(context.MaxFrameSize, std::numeric_limits<std::uint32_t>::max());
    if (total > limit)
        throw EMCError(MCErr::UnexpectedFailure);

    std::string out;
    out.reserve(static_cast<std::size_t>(total));
    AppendFrameHeader(out, static_cast<std::uint32_t>(total), context.IDs,
                      static_cast<std::uint32_t>(routing));

    out += source;
    out += '\0';
    out += static_cast<char>(info.EchoByte);
    Append32(out, static_cast<std::uint32_t>(info.ReturnRoute.size()));
    out += info.ReturnRoute;
    Append32(out, static_cast<std::uint32_t>(info.ForwardRoute.size()));
    out += info.ForwardRoute;
    Append32(out, static_cast<std::uint32_t>(queue.size()));
    out += queue;

    if (context.IDs.Any()) {
        out += payload;
    } else {
        MCWriteMessageHeader(info, kind, out);
        out += info.Message.Data;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Reading frames from a byte stream

std::size_t TMCFrameReader::Wanted() const noexcept
{
    if (FComplete || FFailed)
        return 0;
    if (FBuffer.size() < 8)
        return 8 - FBuffer.size();
    return FTotal - FBuffer.size();
}

void TMCFrameReader::CheckHeader()
{
    std::string_view h = FBuffer;
    if (Get32(h, 0) != MCSignature) {
        FFailed = true;
        throw EMCFrameError("wrong signature");
    }
    FTotal = Get32(h, 4);
    if (FTotal > FMaxFrameSize) {
        FFailed = true;
        throw EMCFrameError("frame length " + std::to_string(FTotal) + " exceeds the maximum of " +
                            std::to_string(FMaxFrameSize));
    }
    if (FTotal < MCFrameHeaderSize) {
        FFailed = true;
        throw EMCFrameError("frame length " + std::to_string(FTotal) + " is below the minimum of " +
                            std::to_string(MCFrameHeaderSize));
    }
    // Room for a first chunk only; the rest grows with what arrives.
    FBuffer.reserve(std::min<std::size_t>(FTotal, 64 * 1024));
}

std::size_t TMCFrameReader::Feed(const void* data, std::size_t size)
{
    if (FFailed)
        throw EMCFrameError("reading after a broken stream");
    const char* p = static_cast<const char*>(data);
    std::size_t taken = 0;
    while (taken < size && !FComplete) {
        const bool header = FBuffer.size() < 8;
        const std::size_t n = std::min(Wanted(), size - taken);
        FBuffer.append(p + taken, n);
        taken += n;
        if (header && FBuffer.size() == 8)
            CheckHeader();
        if (FBuffer.size() >= 8 && FBuffer.size() == FTotal)
            FComplete = true;
    }
    return taken;
}

std::string TMCFrameReader::TakeFrame()
{
    std::string frame;
    if (!FComplete)
        return frame; // a partial frame stays where it is
    frame.swap(FBuffer);
    Reset();
    return frame;
}

void TMCFrameReader::Reset() noexcept
{
    FBuffer = std::string();
    FTotal = 0;
    FComplete = false;
    FFailed = false;
}

// ---------------------------------------------------------------------------
// Parsing a complete frame

TMCReceivedFrame MCParseFrame(std::string bytes, std::uint32_t maxMsgSize)
{
    const std::string_view frame = bytes;
    if (frame.size() < MCFrameHeaderSize)
        throw EMCFrameError("frame of " + std::to_string(frame.size()) + " bytes");
    if (Get32(frame, 0) != MCSignature)
        throw EMCFrameError("wrong signature");
    TMCReceivedFrame f;
    f.TotalLength = Get32(frame, 4);
    if (f.TotalLength != frame.size())
        throw EMCFrameError("frame announces " + std::to_string(f.TotalLength) + " bytes but has " +
                            std::to_string(frame.size()));
    f.IDs = GetIDs(frame);
    f.RoutingLength = Get32(frame, 20);

    const std::uint64_t bound = std::min<std::uint64_t>(maxMsgSize, MCDefaultMaxMsgSize) + RoutingBlockSlack;
    std::string_view rest = frame.substr(MCFrameHeaderSize);
    if (f.RoutingLength >= bound) {
        f.PayloadOffset = MCFrameHeaderSize; // an absurd L: no routing block at all
        f.Frame = std::move(bytes);
        return f;
    }
    if (f.RoutingLength > rest.size())
        throw EMCFrameError("routing block of " + std::to_string(f.RoutingLength) +
                            " bytes runs past the frame");
    std::string_view block = rest.substr(0, f.RoutingLength);
    f.PayloadOffset = MCFrameHeaderSize + f.RoutingLength;
    f.RoutingBlockRead = true;

    const auto nul = block.find('\0');
    if (nul == std::string_view::npos) {
        f.SourceAddress.assign(block);
    } else {
        f.SourceAddress.assign(block.substr(0, nul));
        BlockCursor cursor(block.substr(nul + 1));
        f.EchoByte = cursor.Byte("echo byte");
        f.ReturnRoute = cursor.Text("return route");
        f.ForwardRoute = cursor.Text("forward route");
        f.QueueName = cursor.Text("queue name");
    }
    f.Frame = std::move(bytes); // last: the views above point into it
    return f;
}

TMCReceivedPayload MCReadPayload(const TMCReceivedFrame& frame, const TMCTransformers& ours)
{
    std::string decoded;
    std::string_view payload = frame.Payload();
    if (frame.IDs.Any()) {
        decoded.assign(payload);
        MCDecodePayload(decoded, frame.IDs, ours);
        payload = decoded;
    }

    TMCReceivedPayload r;
    r.Info = std::make_unique<TMCMessageInfo>();
    r.DataSize = MCReadMessageHeader(payload, *r.Info);
    std::string_view data = payload.substr(MCMessageHeaderSize);
    r.ShortData = data.size() < r.DataSize;
    r.Info->Message.Data.assign(data.substr(0, r.DataSize));
    r.Info->EchoByte = frame.EchoByte;
    r.Info->ReturnRoute = frame.ReturnRoute;
    r.Info->ForwardRoute = frame.ForwardRoute;
    r.Info->DestAddress = frame.SourceAddress;
    return r;
}

// ---------------------------------------------------------------------------
// Connection numbers

std::string MCApplySourceAddress(TMCConnectionNumbers& state, std::string_view peerSource,
                                 const TMCNextNumber& nextNumber)
{
    const std::optional<TMCSourceAddress> parsed = MCParseSourceAddress(peerSource);
    const std::uint32_t written = (parsed && parsed->HasConnection) ? parsed->ConnectionID : 0;
    if (written != 0 && state.ConnectionID != 0 && written != state.ConnectionID)
        throw EMCError(MCErr::InvalidSignature);

    // Work out the host before anything changes, so that a failing counter leaves the state as it was.
    std::optional<TMCSourceAddress> previous = MCParseSourceAddress(state.RemoteAddress);
    bool havePrevious = previous && previous->HasHost;
    std::string host;
    std::uint16_t port = 0;
    bool haveHost = false;
    if (parsed && parsed->HasHost) {
        host = parsed->Host;
        port = parsed->Port;
        haveHost = true;
        if (host == "0.0.0.0" && havePrevious)
            host = previous->Host;
    } else if (havePrevious) {
        // Without a usable address of the peer, keep where we reach it now.
        host = previous->Host;
        port = previous->Port;
        haveHost = true;
    }

    std::uint32_t id = state.ConnectionID;
    if (id == 0)
        id = written != 0 ? written : nextNumber();
    state.ConnectionID = id;

    std::string tail;
    if (haveHost)
        tail = ":" + host + ":" + std::to_string(port);
    state.RemoteAddress = std::to_string(id) + tail;
    if (state.Accepting)
        return std::to_string(id) + "\\" + std::to_string(state.ConnectionUID) + tail;
    return state.RemoteAddress;
}

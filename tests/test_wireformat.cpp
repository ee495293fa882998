// Bytes of the socket transport: hello, frame, header, reader, connection numbers.
#include "transport/MCWireFormat.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}

std::string Le32(std::uint32_t v)
{
    return Bytes({int(v & 0xFF), int((v >> 8) & 0xFF), int((v >> 16) & 0xFF), int(v >> 24)});
}

std::uint32_t At32(const std::string& s, std::size_t offset)
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= std::uint32_t(static_cast<unsigned char>(s[offset + i])) << (8 * i);
    return v;
}

// A frame of our own making around a hand-made routing block and payload.
std::string RawFrame(const std::string& routing, const std::string& payload, std::uint32_t lField)
{
    std::string f = Le32(MCSignature) + Le32(std::uint32_t(24 + routing.size() + payload.size())) + Le32(0) +
                    Le32(0) + Le32(0) + Le32(lField);
    return f + routing + payload;
}
std::string RawFrame(const std::string& routing, const std::string& payload)
{
    return RawFrame(routing, payload, std::uint32_t(routing.size()));
}

int FrameErrorCode(const std::function<void()>& f)
{
    try {
        f();
    } catch (const EMCError& e) {
        return e.ErrorCode();
    }
    return 0;
}

TMCMessageInfo SampleMessage()
{
    TMCMessageInfo info;
    info.Created = 45123.5;
    info.TransferIDLo = 0x11223344;
    info.TransferIDHi = 0x55667788;
    info.IsSync = 0xFFFFFFFF;
    info.DestQueue = "SendNote";
    for (std::size_t i = 0; i < info.Credentials.size(); ++i)
        info.Credentials[i] = static_cast<std::uint8_t>(i + 1);
    info.ErrorCode = -3;
    info.Kind = mkSending;
    info.Message.MsgIDLo = 0xA1A2A3A4;
    info.Message.MsgIDHi = 0xB1B2B3B4;
    info.Message.Reserved1 = 0xC1;
    info.Message.Reserved2 = 0xD2D1;
    info.Message.Priority = -7;
    info.Message.MsgCode = -123456;
    info.Message.Result = 42;
    info.Message.Param1 = 3;
    info.Message.Param2 = 1;
    info.Message.ReturnData = true;
    info.Message.Data = std::string("ab\0cd", 5);
    info.EchoByte = 0x5A;
    return info;
}

TMCFrameContext ClientContext()
{
    TMCFrameContext c;
    c.ConnectionID = 0;
    c.LocalAddress = "192.0.2.10";
    c.MessengerPort = 7000;
    return c;
}

// Test transformers with identifiers; each leaves a mark so the order shows.
template <typename Base, std::int32_t ID, char Mark> class MarkTransformer : public Base
{
public:
    std::int32_t Identifier() const override { return ID; }
    void Encode(std::string& data) override { data.push_back(Mark); }
    void Decode(std::string& data) override
    {
        if (data.empty() || data.back() != Mark)
            throw std::runtime_error("decoded in the wrong order");
        data.pop_back();
    }
};
using TestCompressor = MarkTransformer<TMCBaseCompression, 3, 'C'>;
using TestEncryptor = MarkTransformer<TMCBaseEncryption, 5, 'E'>;
using TestSealer = MarkTransformer<TMCBaseSealing, 7, 'S'>;

// ---------------------------------------------------------------------------

TEST(Hello, OurClientHelloIsExactlyTheseBytes)
{
    std::string expected = Bytes({0x45, 0x49, 0x44, 0x50, 0x18, 0, 0, 0}) + std::string(16, '\0');
    EXPECT_EQ(MCBuildHello(MCOwnIdentifiers({})), expected);

    auto ids = MCParseHello(MCBuildHello({3, -1, 7}));
    EXPECT_EQ(ids, (TMCTransformerIDs{3, -1, 7}));
    EXPECT_EQ(FrameErrorCode([] { MCParseHello(std::string(24, '\0')); }), 12);
    EXPECT_EQ(FrameErrorCode([] { MCParseHello(MCBuildHello({}) + "x"); }), 12);
}

TEST(Hello, ClientRefusesWhatItCannotMatch)
{
    TMCTransformers none;
    EXPECT_EQ(MCCheckPeerHello({0, 0, 0}, none, false), TMCHelloVerdict::Accepted);
    EXPECT_EQ(MCCheckPeerHello({0, 5, 0}, none, false), TMCHelloVerdict::NoTransformer);
    EXPECT_EQ(MCCheckPeerHello({0, -1, 0}, none, false), TMCHelloVerdict::PeerRefused);

    TestEncryptor enc;
    TMCTransformers withEnc;
    withEnc.Encryptor = &enc;
    EXPECT_EQ(MCCheckPeerHello({0, 5, 0}, withEnc, false), TMCHelloVerdict::Accepted);
    EXPECT_EQ(MCCheckPeerHello({0, 6, 0}, withEnc, false), TMCHelloVerdict::NoTransformer);
    // Our encryptor unused by the peer: fine, unless we insist on it.
    EXPECT_EQ(MCCheckPeerHello({0, 0, 0}, withEnc, false), TMCHelloVerdict::Accepted);
    EXPECT_EQ(MCCheckPeerHello({0, 0, 0}, withEnc, true), TMCHelloVerdict::NoTransformer);
    EXPECT_EQ(MCCheckPeerHello({0, -1, 0}, withEnc, false), TMCHelloVerdict::PeerRefused);
}

TEST(Hello, AcceptingSideAnswers)
{
    TestCompressor comp;
    TMCTransformers ours;
    ours.Compressor = &comp;
    // Equal: its own; different with fallback and a transformer: -1; else 0.
    EXPECT_EQ(MCAnswerHello({3, 0, 0}, ours, false), (TMCTransformerIDs{3, 0, 0}));
    EXPECT_EQ(MCAnswerHello({4, 0, 0}, ours, false), (TMCTransformerIDs{0, 0, 0}));
    EXPECT_EQ(MCAnswerHello({4, 0, 0}, ours, true), (TMCTransformerIDs{-1, 0, 0}));
    EXPECT_EQ(MCAnswerHello({0, 5, 0}, ours, true), (TMCTransformerIDs{-1, 0, 0}));
}

// ---------------------------------------------------------------------------

TEST(MessageHeader, FieldsSitAtTheirOffsetsAndComeBack)
{
    TMCMessageInfo info = SampleMessage();
    std::string h;
    MCWriteMessageHeader(info, mkMessage, h);
    ASSERT_EQ(h.size(), MCMessageHeaderSize);
    EXPECT_EQ(At32(h, 8), 0x11223344u);
    EXPECT_EQ(At32(h, 16), 0xFFFFFFFFu);
    EXPECT_EQ(h.substr(20, 32), "SendNote" + std::string(24, '\0'));
    EXPECT_EQ(static_cast<unsigned char>(h[52]), 1);
    EXPECT_EQ(static_cast<unsigned char>(h[83]), 32);
    EXPECT_EQ(At32(h, 88), 1u); // the remembered kind, not mkSending
    EXPECT_EQ(static_cast<unsigned char>(h[92]), 0xC1);
    EXPECT_EQ(h.substr(93, 2), Bytes({0xD1, 0xD2}));
    EXPECT_EQ(static_cast<signed char>(h[95]), -7);
    EXPECT_EQ(At32(h, 96), 0xA1A2A3A4u);
    EXPECT_EQ(At32(h, 104), static_cast<std::uint32_t>(-123456));
    EXPECT_EQ(At32(h, 120), 1u);
    EXPECT_EQ(At32(h, 124), 5u);

    TMCMessageInfo back;
    EXPECT_EQ(MCReadMessageHeader(h, back), 5u);
    EXPECT_EQ(back.Created, info.Created);
    EXPECT_EQ(back.TransferIDHi, info.TransferIDHi);
    EXPECT_EQ(back.DestQueue, "SendNote");
    EXPECT_EQ(back.Credentials, info.Credentials);
    EXPECT_EQ(back.ErrorCode, -3);
    EXPECT_EQ(back.Kind, mkMessage);
    EXPECT_EQ(back.Message.Reserved2, 0xD2D1);
    EXPECT_EQ(back.Message.Priority, -7);
    EXPECT_EQ(back.Message.MsgIDHi, info.Message.MsgIDHi);
    EXPECT_EQ(back.Message.MsgCode, -123456);
    EXPECT_EQ(back.Message.Result, 42);
    EXPECT_EQ(back.Message.Param1, 3);
    EXPECT_EQ(back.Message.Param2, 1);
    EXPECT_TRUE(back.Message.ReturnData);
}

TEST(MessageHeader, QueueNameAndKindLimits)
{
    TMCMessageInfo info;
    info.DestQueue = std::string(40, 'q');
    std::string h;
    MCWriteMessageHeader(info, mkReply, h);
    EXPECT_EQ(h[20 + 30], 'q');
    EXPECT_EQ(h[20 + 31], '\0'); // always terminated

    // A peer's unterminated 32-byte name is cut at 31; a kind above a byte is no kind.
    std::fill(h.begin() + 20, h.begin() + 52, 'z');
    h.replace(88, 4, Le32(0x104));
    TMCMessageInfo back;
    MCReadMessageHeader(h, back);
    EXPECT_EQ(back.DestQueue, std::string(31, 'z'));
    EXPECT_FALSE(MCIsWireKind(back.Kind));
    EXPECT_TRUE(MCIsWireKind(mkPollEmpty));
    EXPECT_FALSE(MCIsWireKind(mkTimedOut));

    EXPECT_EQ(FrameErrorCode([&] { MCReadMessageHeader(h.substr(0, 127), back); }), 12);
}

// ---------------------------------------------------------------------------

TEST(Frame, GatewayMessageHasTheDocumentedLengths)
{
    TMCMessageInfo info;
    info.DestQueue = "SendNote";
    info.Message.Data = "hello";
    std::string f = MCBuildMessageFrame(info, mkMessage, ClientContext());
    ASSERT_EQ(f.size(), 196u);
    EXPECT_EQ(f.substr(0, 4), "EIDP");
    EXPECT_EQ(At32(f, 4), 196u);
    EXPECT_EQ(At32(f, 20), 39u);
    EXPECT_EQ(MCRoutingBlockLength("0:192.0.2.10:7000", "", "", "SendNote"), 39u);
    std::string routing = "0:192.0.2.10:7000" + Bytes({0, 0}) + Le32(0) + Le32(0) + Le32(8) + "SendNote";
    EXPECT_EQ(f.substr(24, 39), routing);
    EXPECT_EQ(f.substr(24 + 39 + 128), "hello");
}

TEST(Frame, RoundTripKeepsEveryField)
{
    TMCMessageInfo info = SampleMessage();
    info.ReturnRoute = "back";
    info.ForwardRoute = "fwd|on";
    TMCFrameContext c = ClientContext();
    c.ConnectionID = 17;
    std::string f = MCBuildMessageFrame(info, mkReply, c);

    TMCReceivedFrame parsed = MCParseFrame(f);
    EXPECT_TRUE(parsed.RoutingBlockRead);
    EXPECT_EQ(parsed.SourceAddress, "17:192.0.2.10:7000");
    EXPECT_EQ(parsed.EchoByte, 0x5A);
    EXPECT_EQ(parsed.ReturnRoute, "back");
    EXPECT_EQ(parsed.ForwardRoute, "fwd|on");
    EXPECT_EQ(parsed.QueueName, "SendNote");

    TMCReceivedPayload p = MCReadPayload(parsed, {});
    EXPECT_FALSE(p.ShortData);
    EXPECT_EQ(p.Info->Kind, mkReply);
    EXPECT_EQ(p.Info->Message.Data, info.Message.Data);
    EXPECT_EQ(p.Info->TransferIDLo, info.TransferIDLo);
    EXPECT_EQ(p.Info->EchoByte, 0x5A);
    EXPECT_EQ(p.Info->ReturnRoute, "back");
    EXPECT_EQ(p.Info->DestAddress, "17:192.0.2.10:7000");

    // The parsed frame owns its bytes: parsing a temporary is safe (a fuzz finding).
    TMCFrameReader reader;
    reader.Feed(f);
    TMCReceivedFrame owned = MCParseFrame(reader.TakeFrame());
    EXPECT_EQ(MCReadPayload(owned, {}).Info->Message.Data, info.Message.Data);
}

TEST(Frame, TransformersApplyInOrderAndMustExist)
{
    TestCompressor comp;
    TestEncryptor enc;
    TestSealer seal;
    TMCFrameContext c = ClientContext();
    c.IDs = {3, 5, 7};
    c.Transformers = {&comp, &enc, &seal};
    TMCMessageInfo info = SampleMessage();
    std::string f = MCBuildMessageFrame(info, mkMessage, c);
    EXPECT_EQ(f.substr(f.size() - 3), "CSE"); // compression, sealing, encryption
    EXPECT_EQ(At32(f, 4), f.size());
    EXPECT_EQ(At32(f, 12), 5u);

    TMCReceivedFrame parsed = MCParseFrame(f);
    EXPECT_EQ(parsed.IDs, c.IDs);
    EXPECT_EQ(MCReadPayload(parsed, c.Transformers).Info->Message.Data, info.Message.Data);
    EXPECT_EQ(FrameErrorCode([&] { MCReadPayload(parsed, {&comp, nullptr, &seal}); }), 9);

    c.Transformers = {};
    EXPECT_EQ(FrameErrorCode([&] { MCBuildMessageFrame(info, mkMessage, c); }), 10);
    c.IDs = MCNotNegotiated; // a frame before the hello is a programming slip, refused
    EXPECT_EQ(FrameErrorCode([&] { MCBuildMessageFrame(info, mkMessage, c); }), 10);
}

TEST(Frame, TooLargeForThePeerIsRefused)
{
    TMCMessageInfo info;
    info.DestQueue = "SendNote";
    info.Message.Data = std::string(1000, 'x');
    TMCFrameContext c = ClientContext();
    c.MaxFrameSize = 24 + 39 + 128 + 999;
    EXPECT_EQ(FrameErrorCode([&] { MCBuildMessageFrame(info, mkMessage, c); }), 8);
    c.MaxFrameSize += 1;
    EXPECT_EQ(MCBuildMessageFrame(info, mkMessage, c).size(), c.MaxFrameSize);
}

// ---------------------------------------------------------------------------

TEST(FrameReader, CollectsFramesWhateverTheChunking)
{
    TMCMessageInfo info = SampleMessage();
    std::string a = MCBuildMessageFrame(info, mkMessage, ClientContext());
    info.Message.Data = "second";
    std::string b = MCBuildMessageFrame(info, mkPoll, ClientContext());

    // Byte by byte: the header phase never asks for more than 8 bytes.
    TMCFrameReader r;
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_LE(r.Wanted(), i < 8 ? 8 - i : a.size() - i);
        ASSERT_FALSE(r.HasFrame());
        ASSERT_EQ(r.Feed(&a[i], 1), 1u);
    }
    ASSERT_TRUE(r.HasFrame());
    EXPECT_EQ(r.Wanted(), 0u);
    EXPECT_EQ(r.Feed(b), 0u); // nothing taken while a frame waits
    EXPECT_EQ(r.TakeFrame(), a);
    EXPECT_FALSE(r.InsideFrame());

    // Two frames in one buffer: the reader stops at the first frame's end.
    std::string both = a + b;
    std::size_t used = r.Feed(both);
    EXPECT_EQ(used, a.size());
    EXPECT_EQ(r.TakeFrame(), a);
    EXPECT_EQ(r.Feed(std::string_view(both).substr(used)), b.size());
    EXPECT_EQ(r.TakeFrame(), b);
}

TEST(FrameReader, CutFrameWaitsForTheRest)
{
    std::string f = MCBuildMessageFrame(SampleMessage(), mkMessage, ClientContext());
    TMCFrameReader r;
    std::size_t half = f.size() / 2;
    EXPECT_EQ(r.Feed(f.substr(0, half)), half);
    EXPECT_FALSE(r.HasFrame());
    EXPECT_TRUE(r.InsideFrame());
    EXPECT_EQ(r.Wanted(), f.size() - half);
    EXPECT_TRUE(r.TakeFrame().empty()); // the partial frame is kept
    EXPECT_EQ(r.Feed(f.substr(half)), f.size() - half);
    EXPECT_EQ(r.TakeFrame(), f);

    // A broken link drops the partial frame.
    r.Feed(f.substr(0, 10));
    r.Reset();
    EXPECT_FALSE(r.InsideFrame());
    EXPECT_EQ(r.Feed(f), f.size());
    EXPECT_TRUE(r.HasFrame());
}

TEST(FrameReader, BrokenStreamsFail)
{
    auto feed = [](TMCFrameReader& r, const std::string& s) { return FrameErrorCode([&] { r.Feed(s); }); };
    TMCFrameReader bad;
    EXPECT_EQ(feed(bad, "EIDQ" + Le32(100)), 12);
    EXPECT_TRUE(bad.Failed());
    EXPECT_EQ(feed(bad, "EIDP"), 12); // stays failed
    bad.Reset();
    EXPECT_FALSE(bad.Failed());

    TMCFrameReader small(1000);
    EXPECT_EQ(feed(small, "EIDP" + Le32(1001)), 12);
    TMCFrameReader huge;
    EXPECT_EQ(feed(huge, "EIDP" + Le32(0x7FFFE000)), 12);

    for (std::uint32_t n : {0u, 8u, 23u}) {
        TMCFrameReader under;
        EXPECT_EQ(feed(under, "EIDP" + Le32(n)), 12) << n;
    }
    TMCFrameReader minimal;
    EXPECT_EQ(minimal.Feed("EIDP" + Le32(24) + std::string(16, '\0')), 24u);
    EXPECT_TRUE(minimal.HasFrame());
}

TEST(FrameReader, ClaimedLengthIsNotAllocatedUpFront)
{
    TMCFrameReader r;
    r.Feed("EIDP" + Le32(0x7FFF0000) + std::string(100, 'x'));
    EXPECT_EQ(r.Wanted(), 0x7FFF0000u - 108);
    TMCFrameReader hello(MCHelloLength);
    EXPECT_EQ(FrameErrorCode([&] { hello.Feed("EIDP" + Le32(0x7FFF0000)); }), 12);
    EXPECT_EQ(hello.Failed(), true);
    TMCFrameReader good(MCHelloLength);
    good.Feed(MCBuildHello({}));
    EXPECT_EQ(MCParseHello(good.TakeFrame()), (TMCTransformerIDs{}));
}

// ---------------------------------------------------------------------------

TEST(FrameParse, RoutingBlockEdgeCases)
{
    std::string payload(128, '\0');
    // Without any 0x00 the whole block is the source address.
    auto whole = MCParseFrame(RawFrame("5:10.0.0.1:7000", payload));
    EXPECT_EQ(whole.SourceAddress, "5:10.0.0.1:7000");
    EXPECT_EQ(whole.EchoByte, 0);
    EXPECT_TRUE(whole.QueueName.empty());
    EXPECT_EQ(whole.Payload().size(), 128u);

    // Route lengths that run past the block, or a block that stops early.
    std::string head = "a" + Bytes({0, 9});
    for (const std::string& block : {head + Le32(100), head + Le32(0) + Le32(0) + Bytes({3, 0}),
                                     std::string("a") + Bytes({0}), head + Le32(0xFFFFFFFF)}) {
        EXPECT_EQ(FrameErrorCode([&] { MCParseFrame(RawFrame(block, payload)); }), 12);
    }
    // L beyond the frame but below the bound is malformed...
    EXPECT_EQ(FrameErrorCode([&] { MCParseFrame(RawFrame("", payload, 500)); }), 12);
    // ...an absurd L means no routing block: the payload starts after the header.
    auto absurd = MCParseFrame(RawFrame("", payload, 0x7FFFFFFF));
    EXPECT_FALSE(absurd.RoutingBlockRead);
    EXPECT_EQ(absurd.Payload().size(), 128u);
    auto smallMax = MCParseFrame(RawFrame("", payload, 1000 + 8192), 1000);
    EXPECT_FALSE(smallMax.RoutingBlockRead);

    EXPECT_EQ(FrameErrorCode([] { MCParseFrame("EIDP"); }), 12);
    std::string lying = RawFrame("", payload);
    lying.replace(4, 4, Le32(1000));
    EXPECT_EQ(FrameErrorCode([&] { MCParseFrame(lying); }), 12);
}

TEST(FrameParse, PayloadTooShortOrDataShort)
{
    EXPECT_EQ(FrameErrorCode([] { MCReadPayload(MCParseFrame(RawFrame("", std::string(127, '\0'))), {}); }),
              12);

    TMCMessageInfo info;
    info.DestQueue = "SendNote";
    info.Message.Data = "0123456789";
    std::string f = MCBuildMessageFrame(info, mkMessage, ClientContext());
    f.resize(f.size() - 6); // DataSize 10, only 4 bytes follow
    f.replace(4, 4, Le32(std::uint32_t(f.size())));
    auto p = MCReadPayload(MCParseFrame(f), {});
    EXPECT_TRUE(p.ShortData);
    EXPECT_EQ(p.DataSize, 10u);
    EXPECT_EQ(p.Info->Message.Data, "0123");

    // Bytes after the data are not part of it.
    std::string longer = MCBuildMessageFrame(info, mkMessage, ClientContext()) + "tail";
    longer.replace(4, 4, Le32(std::uint32_t(longer.size())));
    auto q = MCReadPayload(MCParseFrame(longer), {});
    EXPECT_FALSE(q.ShortData);
    EXPECT_EQ(q.Info->Message.Data, "0123456789");
}

// ---------------------------------------------------------------------------

struct Counter
{
    std::uint32_t Value = 0;
    TMCNextNumber Next()
    {
        return [this] { return ++Value; };
    }
};

TEST(ConnectionNumbers, AdoptThenRejectAContradiction)
{
    Counter counter;
    TMCConnectionNumbers c{0, 1, "gw.example:7000", false};
    EXPECT_EQ(MCApplySourceAddress(c, "17:192.0.2.7:7001", counter.Next()), "17:192.0.2.7:7001");
    EXPECT_EQ(c.ConnectionID, 17u);
    EXPECT_EQ(c.RemoteAddress, "17:192.0.2.7:7001");

    EXPECT_EQ(FrameErrorCode([&] { MCApplySourceAddress(c, "18:192.0.2.8:7001", counter.Next()); }), 12);
    EXPECT_EQ(c.ConnectionID, 17u);
    EXPECT_EQ(c.RemoteAddress, "17:192.0.2.7:7001");

    // The same number, or none at all, is fine once numbered; the counter is not touched.
    EXPECT_EQ(MCApplySourceAddress(c, "17:192.0.2.7:7001", counter.Next()), "17:192.0.2.7:7001");
    EXPECT_EQ(MCApplySourceAddress(c, "0:192.0.2.9:7002", counter.Next()), "17:192.0.2.9:7002");
    EXPECT_EQ(counter.Value, 0u);
}

TEST(ConnectionNumbers, HostFallbacksAndAssignment)
{
    Counter counter{40};
    TMCConnectionNumbers c{0, 1, "gw.example:7000", false};
    // "0.0.0.0" keeps the host we know; no number on an unnumbered connection assigns one.
    EXPECT_EQ(MCApplySourceAddress(c, "0:0.0.0.0:7005", counter.Next()), "41:gw.example:7005");
    EXPECT_EQ(c.ConnectionID, 41u);

    // A text that does not parse keeps where we reach the peer now.
    TMCConnectionNumbers d{9, 2, "9:192.0.2.7:7001", false};
    EXPECT_EQ(MCApplySourceAddress(d, "not:an:address", counter.Next()), "9:192.0.2.7:7001");
    TMCConnectionNumbers bare{9, 2, "9", false};
    EXPECT_EQ(MCApplySourceAddress(bare, "garbage", counter.Next()), "9");
}

TEST(ConnectionNumbers, AcceptingSideRewritesTheSource)
{
    Counter counter{6};
    TMCConnectionNumbers c{0, 3, "198.51.100.4:50000", true};
    EXPECT_EQ(MCApplySourceAddress(c, "0:10.1.1.1:7000", counter.Next()), "7\\3:10.1.1.1:7000");
    EXPECT_EQ(c.RemoteAddress, "7:10.1.1.1:7000");

    // A reconnecting client keeps its number.
    TMCConnectionNumbers again{0, 4, "", true};
    EXPECT_EQ(MCApplySourceAddress(again, "7:10.1.1.1:7000", counter.Next()), "7\\4:10.1.1.1:7000");
    TMCConnectionNumbers odd{0, 5, "", true};
    EXPECT_EQ(MCApplySourceAddress(odd, "x", counter.Next()), "8\\5");
}

} // namespace

// Fuzzes the frame reader and the frame and payload parsers with peer bytes.
// Input: one byte that chooses the reader's limit and the chunk sizes, then the stream.
#include "transport/MCWireFormat.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

bool SameHeader(const TMCMessageInfo& a, const TMCMessageInfo& b)
{
    return std::memcmp(&a.Created, &b.Created, sizeof(a.Created)) == 0 && a.TransferIDLo == b.TransferIDLo &&
           a.TransferIDHi == b.TransferIDHi && a.IsSync == b.IsSync && a.DestQueue == b.DestQueue &&
           a.Credentials == b.Credentials && a.ErrorCode == b.ErrorCode && a.Kind == b.Kind &&
           a.Message.Reserved1 == b.Message.Reserved1 && a.Message.Reserved2 == b.Message.Reserved2 &&
           a.Message.Priority == b.Message.Priority && a.Message.MsgIDLo == b.Message.MsgIDLo &&
           a.Message.MsgIDHi == b.Message.MsgIDHi && a.Message.MsgCode == b.Message.MsgCode &&
           a.Message.Result == b.Message.Result && a.Message.Param1 == b.Message.Param1 &&
           a.Message.Param2 == b.Message.Param2 && a.Message.ReturnData == b.Message.ReturnData;
}

// Everything the connection does with one complete frame, plus round trips.
void Exercise(std::string_view bytes, std::uint32_t maxMsgSize)
{
    TMCReceivedFrame frame;
    try {
        frame = MCParseFrame(std::string(bytes), maxMsgSize);
    } catch (const EMCFrameError&) {
        return;
    }
    Check(frame.TotalLength == bytes.size());
    Check(frame.Payload().size() <= bytes.size() - MCFrameHeaderSize);

    std::uint32_t counter = 0;
    TMCConnectionNumbers numbers{0, 1, "gw.example:7000", (bytes.size() & 1) != 0};
    try {
        MCApplySourceAddress(numbers, frame.SourceAddress, [&] { return ++counter; });
        Check(numbers.ConnectionID != 0);
    } catch (const EMCError&) {
        Check(false); // an unnumbered connection never contradicts
    }

    TMCReceivedPayload payload;
    try {
        payload = MCReadPayload(frame, {});
    } catch (const EMCError&) {
        return; // short payload, or transformers we do not have
    }
    const TMCMessageInfo& info = *payload.Info;
    Check(info.DestQueue.size() <= MCQueueNameMax);
    Check(payload.ShortData == (info.Message.Data.size() < payload.DataSize));
    Check(info.Message.Data.size() <= payload.DataSize);

    // Header round trip: what we read, we write and read back the same.
    std::string header;
    MCWriteMessageHeader(info, info.Kind, header);
    TMCMessageInfo again;
    Check(MCReadMessageHeader(header, again) == info.Message.DataSize());
    Check(SameHeader(info, again));

    // Frame round trip through our own builder and the reader.
    TMCFrameContext context;
    context.ConnectionID = numbers.ConnectionID;
    context.LocalAddress = "192.0.2.10";
    context.MessengerPort = 7000;
    std::string built;
    try {
        built = MCBuildMessageFrame(info, info.Kind, context);
    } catch (const EMCError&) {
        Check(false);
    }
    TMCFrameReader reader;
    Check(reader.Feed(built) == built.size() && reader.HasFrame());
    TMCReceivedFrame back = MCParseFrame(reader.TakeFrame());
    Check(back.ReturnRoute == frame.ReturnRoute && back.ForwardRoute == frame.ForwardRoute &&
          back.EchoByte == frame.EchoByte && back.QueueName == info.DestQueue);
    TMCReceivedPayload backPayload = MCReadPayload(back, {});
    Check(!backPayload.ShortData && backPayload.Info->Message.Data == info.Message.Data);
    Check(SameHeader(info, *backPayload.Info));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t control = data[0];
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    static constexpr std::uint32_t Limits[] = {MCDefaultMaxMsgSize, MCHelloLength, 4096, 200};
    const std::uint32_t limit = Limits[control & 3];

    Exercise(input, limit);

    // The same bytes as a stream, in chunks of 1 to 32 bytes.
    TMCFrameReader reader(limit);
    std::uint32_t state = control;
    std::size_t pos = 0;
    try {
        while (pos < input.size()) {
            state = state * 1103515245u + 12345u;
            std::size_t chunk = std::min<std::size_t>(1 + ((state >> 16) & 31), input.size() - pos);
            std::size_t wanted = reader.Wanted();
            std::size_t taken = reader.Feed(input.data() + pos, chunk);
            Check(taken <= chunk && (chunk > wanted || taken == chunk));
            pos += taken;
            if (reader.HasFrame()) {
                std::string frame = reader.TakeFrame();
                Check(frame.size() >= MCFrameHeaderSize && frame.size() <= limit);
                Exercise(frame, limit);
            } else {
                Check(taken == chunk); // an incomplete frame takes all it is given
            }
        }
    } catch (const EMCFrameError&) {
        Check(reader.Failed());
    }
    return 0;
}
